#include "store/server_change_journal.h"

#include <algorithm>
#include <array>
#include <utility>

#include "store/database.h"
#include "store/email_folder.h"
#include "util/time.h"

namespace kestrova::store {

namespace {

constexpr std::array<std::pair<ServerChangeKind, std::string_view>, 4> kKindNames = {{
    {ServerChangeKind::read, "read"},
    {ServerChangeKind::starred, "starred"},
    {ServerChangeKind::move, "move"},
    {ServerChangeKind::remove, "delete"},
}};

constexpr double kFirstBackoffSeconds = 30;
constexpr double kLongestBackoffSeconds = 3600;

constexpr std::string_view kColumns =
    "seq, account_id, message_row_id, kind, value, source_path, uid, header_message_id, "
    "target_path, payload, attempts, last_error, next_attempt_at, started_at, created_at, revision";

ServerChange change_from_row(const Statement& s) {
  ServerChange change;
  change.seq = s.integer("seq").value_or(0);
  change.accountId = s.text("account_id").value_or("");
  change.messageRowId = s.text("message_row_id").value_or("");
  change.kind =
      server_change_kind_named(s.text("kind").value_or("")).value_or(ServerChangeKind::read);
  change.value = s.integer("value").value_or(0) != 0;
  change.source.folderPath = s.text("source_path").value_or("");
  if (auto uid = s.integer("uid")) change.source.uid = static_cast<uint32_t>(*uid);
  change.source.messageId = s.text("header_message_id");
  change.targetPath = s.text("target_path").value_or("");
  change.payload = s.text("payload");
  change.attempts = s.integer("attempts").value_or(0);
  change.lastError = s.text("last_error");
  change.nextAttemptAt = s.real("next_attempt_at");
  change.startedAt = s.real("started_at");
  change.createdAt = s.real("created_at").value_or(0);
  change.revision = s.integer("revision").value_or(0);
  return change;
}

std::vector<ServerChange> pending_for_row(Connection& c, const std::string& messageRowId) {
  auto s = c.prepare("SELECT " + std::string(kColumns) +
                     " FROM pending_server_changes WHERE message_row_id = ? ORDER BY seq");
  s.bind(1, messageRowId);
  std::vector<ServerChange> out;
  while (s.step()) out.push_back(change_from_row(s));
  return out;
}

bool account_has_server(Connection& c, const std::string& accountId) {
  auto s = c.prepare("SELECT imap_host FROM email_accounts WHERE id = ?");
  s.bind(1, accountId);
  return s.step() && !s.text(0).value_or("").empty();
}

std::optional<std::string> folder_path(Connection& c, const std::string& folderId) {
  auto s = c.prepare("SELECT path FROM email_folders WHERE id = ?");
  s.bind(1, folderId);
  if (!s.step()) return std::nullopt;
  return s.text(0);
}

bool is_server_folder(std::string_view path) {
  return !path.empty() && path != EmailFolder::kLocalSentPath &&
         path != EmailFolder::kLocalDraftsPath;
}

// Changes an entry in place; its revision tells a replay that acted on the older state.
void update_entry(Connection& c, int64_t seq, std::string_view assignments,
                  const std::string& value) {
  auto s = c.prepare("UPDATE pending_server_changes SET " + std::string(assignments) +
                     ", revision = revision + 1, attempts = 0, last_error = NULL, "
                     "next_attempt_at = NULL WHERE seq = ?");
  s.bind_all(value, seq);
  s.run();
}

}  // namespace

std::string_view server_change_kind_name(ServerChangeKind kind) {
  for (const auto& [k, name] : kKindNames)
    if (k == kind) return name;
  return "read";
}

std::optional<ServerChangeKind> server_change_kind_named(std::string_view name) {
  for (const auto& [k, n] : kKindNames)
    if (n == name) return k;
  return std::nullopt;
}

bool record_server_change(Connection& c, const std::string& messageRowId, ServerChangeKind kind,
                          bool value, const std::string& targetFolderId) {
  auto s =
      c.prepare("SELECT account_id, folder_id, uid, message_id FROM email_messages WHERE id = ?");
  s.bind(1, messageRowId);
  if (!s.step()) return false;
  const std::string accountId = s.text("account_id").value_or("");
  const auto folderId = s.text("folder_id");
  ServerLocation location;
  if (auto uid = s.integer("uid")) location.uid = static_cast<uint32_t>(*uid);
  location.messageId = s.text("message_id");
  if (!folderId) return false;
  location.folderPath = folder_path(c, *folderId).value_or("");
  std::string targetPath;
  if (kind == ServerChangeKind::move) {
    targetPath = folder_path(c, targetFolderId).value_or("");
    if (!is_server_folder(targetPath)) return false;
  }
  return record_server_change_at(c, accountId, messageRowId, location, kind, value, targetPath);
}

bool record_server_change_at(Connection& c, const std::string& accountId,
                             const std::string& messageRowId, const ServerLocation& location,
                             ServerChangeKind kind, bool value, const std::string& targetPath) {
  const auto pending = pending_for_row(c, messageRowId);
  auto find = [&](ServerChangeKind k) -> const ServerChange* {
    auto it = std::find_if(pending.begin(), pending.end(),
                           [k](const ServerChange& p) { return p.kind == k; });
    return it == pending.end() ? nullptr : &*it;
  };
  const ServerChange* move = find(ServerChangeKind::move);
  const ServerChange* removal = find(ServerChangeKind::remove);
  // Until a pending move is replayed the server still has the message where it started.
  const ServerLocation where = move ? move->source : removal ? removal->source : location;
  const bool known = is_server_folder(where.folderPath) &&
                     (where.uid || (where.messageId && !where.messageId->empty()));
  if (!known || !account_has_server(c, accountId)) return false;

  switch (kind) {
    case ServerChangeKind::read:
    case ServerChangeKind::starred:
      if (const ServerChange* same = find(kind)) {
        update_entry(c, same->seq, "value = ?", value ? "1" : "0");
        return true;
      }
      break;
    case ServerChangeKind::move:
      if (removal) return true;
      if (move) {
        if (targetPath == move->source.folderPath) {
          remove_server_change(c, move->seq);
          return false;
        }
        update_entry(c, move->seq, "target_path = ?", targetPath);
        return true;
      }
      if (targetPath == where.folderPath) return false;
      break;
    case ServerChangeKind::remove:
      if (removal) return true;
      if (move) {
        update_entry(c, move->seq, "kind = ?, target_path = NULL", "delete");
        return true;
      }
      break;
  }
  ServerChange change;
  change.accountId = accountId;
  change.messageRowId = messageRowId;
  change.kind = kind;
  change.value = value;
  change.source = where;
  if (kind == ServerChangeKind::move) change.targetPath = targetPath;
  add_server_change(c, change);
  return true;
}

int64_t add_server_change(Connection& c, const ServerChange& change) {
  auto s = c.prepare(
      "INSERT INTO pending_server_changes (account_id, message_row_id, kind, value, source_path, "
      "uid, header_message_id, target_path, payload, created_at) "
      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  s.bind_all(
      change.accountId, change.messageRowId, server_change_kind_name(change.kind), change.value,
      change.source.folderPath, change.source.uid, change.source.messageId,
      change.targetPath.empty() ? std::nullopt : std::optional<std::string>(change.targetPath),
      change.payload, change.createdAt > 0 ? change.createdAt : now_seconds());
  s.run();
  auto id = c.prepare("SELECT last_insert_rowid()");
  return id.step() ? id.integer(0).value_or(0) : 0;
}

std::vector<ServerChange> due_server_changes(Connection& c, const std::string& accountId,
                                             double now, int64_t limit) {
  auto s = c.prepare("SELECT " + std::string(kColumns) +
                     " FROM pending_server_changes WHERE account_id = ? AND "
                     "(next_attempt_at IS NULL OR next_attempt_at <= ?) ORDER BY seq LIMIT ?");
  s.bind_all(accountId, now, limit);
  std::vector<ServerChange> out;
  while (s.step()) out.push_back(change_from_row(s));
  return out;
}

std::vector<std::string> accounts_with_due_server_changes(Connection& c, double now) {
  auto s = c.prepare(
      "SELECT DISTINCT account_id FROM pending_server_changes "
      "WHERE next_attempt_at IS NULL OR next_attempt_at <= ? ORDER BY account_id");
  s.bind(1, now);
  std::vector<std::string> out;
  while (s.step()) out.push_back(s.text(0).value_or(""));
  return out;
}

std::vector<ServerChange> all_server_changes(Connection& c) {
  auto s =
      c.prepare("SELECT " + std::string(kColumns) + " FROM pending_server_changes ORDER BY seq");
  std::vector<ServerChange> out;
  while (s.step()) out.push_back(change_from_row(s));
  return out;
}

void remove_server_change(Connection& c, int64_t seq) {
  auto s = c.prepare("DELETE FROM pending_server_changes WHERE seq = ?");
  s.bind(1, seq);
  s.run();
}

void complete_server_change(Connection& c, const ServerChange& applied) {
  auto s = c.prepare("DELETE FROM pending_server_changes WHERE seq = ? AND revision = ?");
  s.bind_all(applied.seq, applied.revision);
  s.run();
  if (c.changes() > 0 || applied.kind != ServerChangeKind::move) return;
  // Changed while the move ran (moved on again, or deleted): what remains starts from where
  // the message is now, under a UID nobody has read yet.
  auto moved = c.prepare(
      "UPDATE pending_server_changes SET source_path = ?, uid = NULL, started_at = NULL "
      "WHERE seq = ?");
  moved.bind_all(applied.targetPath, applied.seq);
  moved.run();
}

void mark_server_changes_started(Connection& c, const std::vector<int64_t>& seqs, double now) {
  for (int64_t seq : seqs) {
    auto s = c.prepare("UPDATE pending_server_changes SET started_at = ? WHERE seq = ?");
    s.bind_all(now, seq);
    s.run();
  }
}

void record_server_change_failure(Connection& c, int64_t seq, const std::string& error,
                                  double now) {
  auto s = c.prepare(
      "UPDATE pending_server_changes SET attempts = attempts + 1, last_error = ?, "
      "next_attempt_at = ? + MIN(?, ? * (1 << MIN(attempts, 16))) WHERE seq = ?");
  s.bind_all(error, now, kLongestBackoffSeconds, kFirstBackoffSeconds, seq);
  s.run();
}

std::vector<ServerChange> pending_server_changes_of_row(Connection& c,
                                                        const std::string& messageRowId) {
  return pending_for_row(c, messageRowId);
}

bool has_pending_server_change(Connection& c, const std::string& messageRowId) {
  auto s = c.prepare("SELECT 1 FROM pending_server_changes WHERE message_row_id = ? LIMIT 1");
  s.bind(1, messageRowId);
  return s.step();
}

}  // namespace kestrova::store
