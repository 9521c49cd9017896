#include "app/core/local_mail_change.h"

#include "store/database.h"
#include "store/email_store_sql.h"
#include "store/server_change_journal.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::app {

namespace {

void bind_value(store::Statement& s, int index, const ColumnValue& value) {
  std::visit([&](const auto& v) { s.bind(index, v); }, value);
}

std::optional<std::vector<std::string>> journalled_flag(store::Connection& c,
                                                        const std::string& message_id,
                                                        std::string_view set_clause,
                                                        store::ServerChangeKind kind, bool value) {
  // A flag leaves the row's folder and UID as they are, so the entry may follow the change.
  auto ids = update_copies(c, message_id, set_clause, int64_t{value ? 1 : 0});
  if (ids)
    for (const auto& copy : *ids) store::record_server_change(c, copy, kind, value);
  return ids;
}

}  // namespace

std::optional<std::vector<std::string>> update_copies(store::Connection& c,
                                                      const std::string& message_id,
                                                      std::string_view set_clause,
                                                      const ColumnValue& value) {
  auto lookup = c.prepare(
      "SELECT account_id, message_id, subject, from_email, date FROM email_messages WHERE id = ?");
  lookup.bind(1, message_id);
  if (!lookup.step()) return std::nullopt;
  const std::string account_id = lookup.text("account_id").value_or("");
  const std::string header_id = text::trim(lookup.text("message_id").value_or(""));
  const std::string subject = lookup.text("subject").value_or("");
  const std::string from = lookup.text("from_email").value_or("");
  const double date = lookup.real("date").value_or(0);
  const double now = now_seconds();
  std::vector<std::string> ids;
  auto collect = [&](store::Statement& select) {
    while (select.step()) ids.push_back(select.text(0).value_or(""));
  };
  const bool byHeader = !header_id.empty();
  const std::string where(byHeader ? store::sql::kCopiesByMessageId : store::sql::kCopiesBySubject);
  auto select = c.prepare("SELECT id FROM email_messages " + where);
  auto update = c.prepare(std::string("UPDATE email_messages SET ") + std::string(set_clause) +
                          ", updated_at = ? " + where);
  bind_value(update, 1, value);
  update.bind(2, now);
  const int next = 3;
  if (byHeader) {
    select.bind_all(account_id, header_id);
    update.bind(next, account_id).bind(next + 1, header_id);
  } else {
    select.bind_all(account_id, subject, from, date);
    update.bind(next, account_id).bind(next + 1, subject).bind(next + 2, from).bind(next + 3, date);
  }
  collect(select);
  update.run();
  return ids;
}

std::optional<std::vector<std::string>> set_read_on_all_copies(store::Connection& c,
                                                               const std::string& message_id,
                                                               bool is_read) {
  return journalled_flag(c, message_id, "is_read = ?", store::ServerChangeKind::read, is_read);
}

std::optional<std::vector<std::string>> set_starred_on_all_copies(store::Connection& c,
                                                                  const std::string& message_id,
                                                                  bool is_starred) {
  return journalled_flag(c, message_id, "is_starred = ?", store::ServerChangeKind::starred,
                         is_starred);
}

std::optional<MessagePlacement> move_message_locally(store::Connection& c,
                                                     const std::string& message_id,
                                                     const std::string& target_folder_id,
                                                     std::optional<bool> spam) {
  MessagePlacement before;
  before.messageId = message_id;
  {
    auto s = c.prepare("SELECT folder_id, is_spam FROM email_messages WHERE id = ?");
    s.bind(1, message_id);
    if (!s.step()) return std::nullopt;
    before.folderId = s.text("folder_id");
    before.isSpam = s.integer("is_spam").value_or(0) != 0;
  }
  if (before.folderId != target_folder_id)
    store::record_server_change(c, message_id, store::ServerChangeKind::move, false,
                                target_folder_id);
  auto s = c.prepare(
      "UPDATE email_messages SET folder_id = ?, is_spam = COALESCE(?, is_spam), updated_at = ? "
      "WHERE id = ?");
  std::optional<int64_t> spamValue;
  if (spam) spamValue = *spam ? 1 : 0;
  s.bind_all(target_folder_id, spamValue, now_seconds(), message_id);
  s.run();
  return before;
}

void restore_placement(store::Connection& c, const MessagePlacement& placement) {
  if (placement.folderId) {
    move_message_locally(c, placement.messageId, *placement.folderId, placement.isSpam);
    return;
  }
  auto s = c.prepare("UPDATE email_messages SET is_spam = ?, updated_at = ? WHERE id = ?");
  s.bind_all(int64_t{placement.isSpam ? 1 : 0}, now_seconds(), placement.messageId);
  s.run();
}

std::optional<std::string> folder_of_type(store::Connection& c, const std::string& account_id,
                                          store::EmailFolderType type) {
  auto s = c.prepare(
      "SELECT id FROM email_folders WHERE account_id = ? AND type = ? ORDER BY name LIMIT 1");
  s.bind_all(account_id, store::raw_value(type));
  if (!s.step()) return std::nullopt;
  return s.text(0);
}

}  // namespace kestrova::app
