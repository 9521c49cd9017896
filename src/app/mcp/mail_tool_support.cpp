#include "app/mcp/mail_tool_support.h"

#include "app/mcp/mcp_error.h"
#include "store/email_contact.h"
#include "store/email_store_sql.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

std::string text_column(const store::Statement& row, std::string_view column) {
  return row.text(column).value_or("");
}

bool flag_column(const store::Statement& row, std::string_view column) {
  const int i = row.column_index(column);
  return i >= 0 && row.type(i) == store::ColumnType::Integer && row.integer(i) == 1;
}

Json iso_date_column(const store::Statement& row, std::string_view column, Json when_null) {
  auto value = row.real(column);
  if (!value) return when_null;
  return iso8601_utc(*value);
}

namespace {

void append_contact(std::string& out, std::string_view email, std::string_view name) {
  out += R"({"email":)";
  append_json_string(out, email);
  out += R"(,"name":)";
  append_json_string(out, name);
  out.push_back('}');
}

void append_contact_list(std::string& out, const std::optional<std::string>& stored) {
  out.push_back('[');
  bool first = true;
  for (const auto& contact : store::decode_contact_list(stored)) {
    if (!first) out.push_back(',');
    first = false;
    append_contact(out, contact.email, contact.name.value_or(""));
  }
  out.push_back(']');
}

void append_key(std::string& out, std::string_view key) {
  out.push_back(',');
  out.push_back('"');
  out.append(key);
  out += "\":";
}

void append_text_column(std::string& out, const store::Statement& row, std::string_view key,
                        std::string_view column) {
  append_key(out, key);
  append_json_string(out, text_column(row, column));
}

void append_flag(std::string& out, const store::Statement& row, std::string_view key,
                 std::string_view column) {
  append_key(out, key);
  out += flag_column(row, column) ? "true" : "false";
}

}  // namespace

void append_message_summary(std::string& out, const store::Statement& row, bool with_bodies) {
  // Keys in sorted order, as the serialiser of result values writes them.
  out += R"({"accountId":)";
  append_json_string(out, text_column(row, "account_id"));
  if (with_bodies) {
    append_key(out, "bcc");
    append_contact_list(out, row.text("bcc_contacts"));
    append_key(out, "cc");
    append_contact_list(out, row.text("cc_contacts"));
  }
  append_key(out, "date");
  append_json_string(out, iso8601_utc(row.real("date").value_or(0)));
  append_text_column(out, row, "folderId", "folder_id");
  append_key(out, "from");
  append_contact(out, text_column(row, "from_email"), text_column(row, "from_name"));
  if (with_bodies) append_text_column(out, row, "htmlBody", "html_body");
  append_text_column(out, row, "id", "id");
  append_flag(out, row, "isDraft", "is_draft");
  append_flag(out, row, "isRead", "is_read");
  append_flag(out, row, "isStarred", "is_starred");
  append_text_column(out, row, "preview", "preview");
  append_text_column(out, row, "subject", "subject");
  if (with_bodies) append_text_column(out, row, "textBody", "text_body");
  append_key(out, "to");
  append_contact_list(out, row.text("to_contacts"));
  out.push_back('}');
}

namespace {

void bind_value(store::Statement& s, int index, const ColumnValue& value) {
  std::visit([&](const auto& v) { s.bind(index, v); }, value);
}

}  // namespace

void update_all_copies(store::Connection& c, const std::string& message_id,
                       std::string_view set_clause, const ColumnValue& value) {
  auto lookup = c.prepare(
      "SELECT account_id, message_id, subject, from_email, date FROM email_messages WHERE id = ?");
  lookup.bind(1, message_id);
  if (!lookup.step()) throw MCPError("Message not found");
  const std::string account_id = text_column(lookup, "account_id");
  const std::string header_id = text::trim(text_column(lookup, "message_id"));
  const std::string subject = text_column(lookup, "subject");
  const std::string from = text_column(lookup, "from_email");
  const double date = lookup.real("date").value_or(0);
  const double now = now_seconds();
  if (!header_id.empty()) {
    auto update = c.prepare(std::string("UPDATE email_messages SET ") + std::string(set_clause) +
                            ", updated_at = ? " + std::string(store::sql::kCopiesByMessageId));
    bind_value(update, 1, value);
    update.bind(2, now).bind(3, account_id).bind(4, header_id);
    update.run();
    return;
  }
  auto update = c.prepare(std::string("UPDATE email_messages SET ") + std::string(set_clause) +
                          ", updated_at = ? " + std::string(store::sql::kCopiesBySubject));
  bind_value(update, 1, value);
  update.bind(2, now).bind(3, account_id).bind(4, subject).bind(5, from).bind(6, date);
  update.run();
}

std::string required_uuid(const Json& arguments, std::string_view key, std::string_view message) {
  if (arguments.is_object()) {
    auto it = arguments.find(key);
    if (it != arguments.end() && it->is_string())
      if (auto id = parse_uuid(it->get_ref<const std::string&>())) return *id;
  }
  throw MCPError(std::string(message));
}

}  // namespace kestrova::app
