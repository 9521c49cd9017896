#include "app/mcp/mail_tool_support.h"

#include "app/mcp/mcp_error.h"
#include "store/email_contact.h"
#include "store/email_store_sql.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

void bind_value(store::Statement& s, int index, const ColumnValue& value) {
  std::visit([&](const auto& v) { s.bind(index, v); }, value);
}

}  // namespace

std::vector<std::string> update_all_copies(store::Connection& c, const std::string& message_id,
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
  std::vector<std::string> ids;
  auto collect = [&](store::Statement& select) {
    while (select.step()) ids.push_back(select.text(0).value_or(""));
  };
  if (!header_id.empty()) {
    auto select =
        c.prepare("SELECT id FROM email_messages " + std::string(store::sql::kCopiesByMessageId));
    select.bind_all(account_id, header_id);
    collect(select);
    auto update = c.prepare(std::string("UPDATE email_messages SET ") + std::string(set_clause) +
                            ", updated_at = ? " + std::string(store::sql::kCopiesByMessageId));
    bind_value(update, 1, value);
    update.bind(2, now).bind(3, account_id).bind(4, header_id);
    update.run();
    return ids;
  }
  auto select =
      c.prepare("SELECT id FROM email_messages " + std::string(store::sql::kCopiesBySubject));
  select.bind_all(account_id, subject, from, date);
  collect(select);
  auto update = c.prepare(std::string("UPDATE email_messages SET ") + std::string(set_clause) +
                          ", updated_at = ? " + std::string(store::sql::kCopiesBySubject));
  bind_value(update, 1, value);
  update.bind(2, now).bind(3, account_id).bind(4, subject).bind(5, from).bind(6, date);
  update.run();
  return ids;
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
