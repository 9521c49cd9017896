#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "store/email_enums.h"

namespace kestrova::store {
class Connection;
}

namespace kestrova::app {

// The changes a person or an agent makes to the local copy of a message, each together with
// the entry of the server-change journal that the service replays later. Every function
// takes the connection of a write block of EmailDatabase, so the row and its journal entry
// are written in one transaction. Used by the tool server and by the desktop window.

// Changes every local copy of one message: the copies share the trimmed Message-ID, or,
// without one, the subject, sender (ignoring case) and date within a millisecond.
// `set_clause` is one of the fixed "column = ?" texts. Nothing when there is no row
// `message_id`; otherwise the ids of the copies changed.
using ColumnValue = std::variant<std::nullopt_t, int64_t, double, std::string>;
std::optional<std::vector<std::string>> update_copies(store::Connection& c,
                                                      const std::string& message_id,
                                                      std::string_view set_clause,
                                                      const ColumnValue& value);

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
