#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "store/database.h"

namespace kestrova::mail {
class EmailService;
}

namespace kestrova::app {

// Changes of a stored message that the mail server has to follow: read, starred, moved,
// deleted. Each changes the local row (or every local copy) and, in the same transaction,
// adds the journal entry that the replay sends to the server later
// (store/server_change_journal.h). The tool server's write tools and the command line's
// `mark`, `move`, `delete` and `spam` go through these, so both take one road: the change
// is made locally at once, survives being offline, and reaches the server through the
// replay's identity checks. Each function takes the connection of a write block of
// EmailDatabase and joins its transaction. A message id that names no row throws
// "Message not found".

// Changes every local copy of one message: the copies share the trimmed Message-ID, or,
// without one, the subject, sender (ignoring case) and date within a millisecond.
// `set_clause` is one of the fixed "column = ?" texts. Returns the ids of the copies changed.
using ColumnValue = std::variant<std::nullopt_t, int64_t, double, std::string>;
std::vector<std::string> update_all_copies(store::Connection& c, const std::string& message_id,
                                           std::string_view set_clause, const ColumnValue& value);
// The same, answering nothing instead of throwing when there is no row `message_id`.
std::optional<std::vector<std::string>> update_copies(store::Connection& c,
                                                      const std::string& message_id,
                                                      std::string_view set_clause,
                                                      const ColumnValue& value);

// Read or unread, starred or not, on every copy; returns the copies changed.
std::vector<std::string> set_read_journalled(store::Connection& c, const std::string& message_id,
                                             bool read);
std::vector<std::string> set_starred_journalled(store::Connection& c, const std::string& message_id,
                                                bool starred);

enum class MoveMark { none, spam };

// Moves the one row into `target_folder_id` of its own account (else throws "Target folder
// not found or belongs to a different account"); `MoveMark::spam` also marks it as spam.
void move_journalled(store::Connection& c, const std::string& message_id,
                     const std::string& target_folder_id, MoveMark mark = MoveMark::none);

// Marks every copy deleted (the lists no longer show it) and journals its removal from the
// server; returns the copies changed.
std::vector<std::string> delete_journalled(store::Connection& c, const std::string& message_id);

// How many of the journal's entries for `row_ids` still wait for the server, and the last
// error one of them met.
struct PendingChanges {
  size_t count = 0;
  std::optional<std::string> lastError;
};
PendingChanges pending_changes_of(store::EmailDatabase& database,
                                  const std::set<std::string>& row_ids);

// A command that journalled changes and ends soon: replays the due entries of `account_ids`
// now, waiting at most `wait`, and answers what of `row_ids` is still waiting. The entries
// stay in the journal whatever happens, for the service or the next command. When the wait
// runs out the replay goes on in the background; the caller then ends the process without
// running destructors (std::_Exit), as the replay may still use the shared services.
struct ReplayOutcome {
  PendingChanges pending;
  bool finished = true;  // false when the wait ran out
};
ReplayOutcome replay_before_exit(store::EmailDatabase& database, const mail::EmailService& service,
                                 const std::set<std::string>& account_ids,
                                 const std::set<std::string>& row_ids,
                                 std::chrono::milliseconds wait);

}  // namespace kestrova::app
