#include "app/core/agent/tool_answer_json.h"

#include "app/core/agent/mail_tool_sql.h"
#include "store/email_contact.h"
#include "util/localization.h"
#include "util/time.h"

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

Json nullable_text(const store::Statement& row, std::string_view column) {
  const auto value = row.text(column);
  return value ? Json(*value) : Json(nullptr);
}

Json action_item_json(const store::Statement& row) {
  return Json{{"id", text_column(row, "id")},
              {"messageId", text_column(row, "message_id")},
              {"accountId", text_column(row, "account_id")},
              {"title", text_column(row, "title")},
              {"state", row.text("state").value_or("open")},
              {"source", row.text("source").value_or("ai")},
              {"dueAt", iso_date_column(row, "due_at", "")},
              {"snoozedUntil", iso_date_column(row, "snoozed_until", "")},
              {"completedAt", iso_date_column(row, "completed_at", "")},
              {"createdAt", iso_date_column(row, "created_at", "")},
              {"updatedAt", iso_date_column(row, "updated_at", "")}};
}

Json contact_json(const store::Statement& row) {
  return Json{{"id", text_column(row, "id")},
              {"email", text_column(row, "email")},
              {"name", nullable_text(row, "name")},
              {"frequency", row.integer("frequency").value_or(0)},
              {"lastUsed", iso_date_column(row, "last_used", "")},
              {"source", row.text("source").value_or("received")},
              {"category", nullable_text(row, "category")},
              {"note", nullable_text(row, "note")},
              {"trainedAt", iso_date_column(row, "trained_at", "")}};
}

namespace {

// A text column's bytes as SQLite holds them ("" when NULL), written out without a copy.
std::string_view column_text(const store::Statement& row, std::string_view column) {
  return row.text_view(column).value_or(std::string_view());
}

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
  append_json_string(out, column_text(row, column));
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
  append_json_string(out, column_text(row, "account_id"));
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
  append_contact(out, column_text(row, "from_email"), column_text(row, "from_name"));
  if (with_bodies) append_text_column(out, row, "htmlBody", "html_body");
  append_text_column(out, row, "id", "id");
  append_flag(out, row, "isDraft", "is_draft");
  append_flag(out, row, "isRead", "is_read");
  append_flag(out, row, "isStarred", "is_starred");
  append_text_column(out, row, "preview", "preview");
  append_text_column(out, row, "subject", "subject");
  if (with_bodies) {
    // A body not downloaded yet says so instead of looking like an empty message.
    const bool pending = !flag_column(row, "is_body_loaded") &&
                         text_column(row, "text_body").empty() &&
                         text_column(row, "html_body").empty();
    append_key(out, "textBody");
    append_json_string(
        out, pending ? localized("mail.body.notDownloaded") : text_column(row, "text_body"));
  }
  append_key(out, "to");
  append_contact_list(out, row.text("to_contacts"));
  out.push_back('}');
}

Json accounts_json(store::Connection& c) {
  auto s = c.prepare(sql::kListAccounts);
  Json out = Json::array();
  while (s.step()) {
    out.push_back(Json{{"id", text_column(s, "id")},
                       {"email", text_column(s, "email_address")},
                       {"displayName", text_column(s, "display_name")},
                       {"provider", text_column(s, "service_type")},
                       {"isEnabled", s.integer("is_enabled") == 1},
                       {"isDefault", s.integer("is_default") == 1}});
  }
  return out;
}

Json folders_json(store::Connection& c, const std::string& account_id) {
  auto s = c.prepare(sql::kListFolders);
  s.bind(1, account_id);
  Json out = Json::array();
  while (s.step()) {
    out.push_back(Json{{"id", text_column(s, "id")},
                       {"name", text_column(s, "name")},
                       {"type", text_column(s, "type")},
                       {"path", text_column(s, "path")},
                       {"unreadCount", s.integer("unread_count").value_or(0)},
                       {"totalCount", s.integer("total_count").value_or(0)}});
  }
  return out;
}

}  // namespace kestrova::app
