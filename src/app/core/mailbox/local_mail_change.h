#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/core/mailbox/journalled_message_change.h"
#include "store/email_enums.h"

namespace kestrova::store {
class Connection;
}

namespace kestrova::app {

// The desktop window's forms of the journalled changes (app/core/mailbox/journalled_message_change.h):
// a message that has gone meanwhile is skipped instead of failing the whole action, and a
// move answers where the message was, so that it can be undone. Every function takes the
// connection of a write block of EmailDatabase, so the row and its journal entry are written
// in one transaction.

// Read or starred on every copy, each copy journalled. Nothing when the message is unknown.
std::optional<std::vector<std::string>> set_read_on_all_copies(store::Connection& c,
                                                               const std::string& message_id,
                                                               bool is_read);
std::optional<std::vector<std::string>> set_starred_on_all_copies(store::Connection& c,
                                                                  const std::string& message_id,
                                                                  bool is_starred);

// Where a message was before a move, so that the move can be taken back.
struct MessagePlacement {
  std::string messageId;
  std::optional<std::string> folderId;
  bool isSpam = false;
};

// Files the row under `target_folder_id` (journalled as a server move) and, when `spam` is
// given, sets its spam mark to it. The folder must belong to the message's account. Nothing when
// the message is unknown; otherwise where it was.
std::optional<MessagePlacement> move_message_locally(store::Connection& c,
                                                     const std::string& message_id,
                                                     const std::string& target_folder_id,
                                                     std::optional<bool> spam = std::nullopt);

// Puts a moved message back where `placement` says (journalled; a move back to where the
// server still has it cancels the pending move).
void restore_placement(store::Connection& c, const MessagePlacement& placement);

// The account's folder of `type` (the first by name), if it has one.
std::optional<std::string> folder_of_type(store::Connection& c, const std::string& account_id,
                                          store::EmailFolderType type);

}  // namespace kestrova::app
