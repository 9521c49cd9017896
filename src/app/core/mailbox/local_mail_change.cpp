#include "app/core/mailbox/local_mail_change.h"

#include "store/database.h"
#include "store/server_change_journal.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::app {

namespace {

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
