#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::store {

class Connection;

// The changes made locally that the mail server still has to learn about. The tool server
// and `kestrova tool` never talk to a server: they change the local row and, in the same
// transaction, add an entry here; the service replays the entries in order and removes each
// one only after the server confirmed it. Every function takes the connection of a read or
// write block of EmailDatabase, so an entry joins the caller's transaction.

enum class ServerChangeKind {
  read,     // \Seen set (value true) or cleared
  starred,  // \Flagged set or cleared
  move,     // to targetPath
  remove,   // \Deleted and expunged from sourcePath
};

std::string_view server_change_kind_name(ServerChangeKind kind);
std::optional<ServerChangeKind> server_change_kind_named(std::string_view name);

// Where the server holds a message: the folder path, the UID there (absent when unknown,
// e.g. after a replayed move) and the Message-ID header as stored.
struct ServerLocation {
  std::string folderPath;
  std::optional<uint32_t> uid;
  std::optional<std::string> messageId;
};

// One entry of the journal (a row of pending_server_changes).
struct ServerChange {
  int64_t seq = 0;  // order of recording; replay goes by it
  std::string accountId;
  std::string messageRowId;  // email_messages.id of the changed copy
  ServerChangeKind kind = ServerChangeKind::read;
  bool value = false;                  // read and starred: the wanted state
  ServerLocation source;               // where the server held the message when the change was made
  std::string targetPath;              // move: the destination folder path
  std::optional<std::string> payload;  // kinds that carry more than a flag or a path
  int64_t attempts = 0;
  std::optional<std::string> lastError;
  std::optional<double> nextAttemptAt;  // failed entries wait for their backoff to pass
  // Set when a replay began acting on the entry; an entry found with it set was interrupted
  // and may already be applied on the server.
  std::optional<double> startedAt;
  double createdAt = 0;
  // Raised whenever coalescing changes the entry; a replay completes only what it read.
  int64_t revision = 0;
};

// Records a change of the copy `messageRowId` as the row is NOW, before the caller changes
// it locally (the row's folder and UID say where the server has it). Coalesces with what is
// pending for the same row: a flag replaces the earlier value of the same flag; a second
// move changes the target of the first (dropped when it leads back to where the server has
// the message); a delete replaces a pending move. Records nothing for a row that the server
// does not know (no folder, a local-only folder, no UID and no Message-ID) or whose account
// has no IMAP server. Returns whether an entry now stands for the change.
bool record_server_change(Connection& c, const std::string& messageRowId, ServerChangeKind kind,
                          bool value = false, const std::string& targetFolderId = {});

// The same for a message known by its server location rather than by its row's current
// state (the rules hand over the message as fetched). `targetPath` for moves.
bool record_server_change_at(Connection& c, const std::string& accountId,
                             const std::string& messageRowId, const ServerLocation& location,
                             ServerChangeKind kind, bool value, const std::string& targetPath);

// Appends `change` as it is (no coalescing, no check of the account); returns its seq.
int64_t add_server_change(Connection& c, const ServerChange& change);

// The entries of one account whose time has come (no backoff, or its end passed), oldest
// first, at most `limit`.
std::vector<ServerChange> due_server_changes(Connection& c, const std::string& accountId,
                                             double now, int64_t limit = 10000);
// Accounts with at least one due entry.
std::vector<std::string> accounts_with_due_server_changes(Connection& c, double now);
// Every entry, oldest first (for status listings).
std::vector<ServerChange> all_server_changes(Connection& c);

// Drops the entry whatever it holds now.
void remove_server_change(Connection& c, int64_t seq);
// The server confirmed `applied` (as a replay read it): the entry goes, unless it changed
// meanwhile; a move changed meanwhile stays, starting from the target just reached.
void complete_server_change(Connection& c, const ServerChange& applied);
// A replay is about to act on the entries.
void mark_server_changes_started(Connection& c, const std::vector<int64_t>& seqs, double now);
// The server refused or could not be reached: the entry stays with the error text and waits
// twice as long after each failure (30 s, 1 min, ... at most one hour).
void record_server_change_failure(Connection& c, int64_t seq, const std::string& error, double now);

// The row's waiting entries, oldest first.
std::vector<ServerChange> pending_server_changes_of_row(Connection& c,
                                                        const std::string& messageRowId);

// Whether the row has a change the server has not confirmed yet (a sync then keeps the
// row's read, starred and folder as they are).
bool has_pending_server_change(Connection& c, const std::string& messageRowId);

}  // namespace kestrova::store
