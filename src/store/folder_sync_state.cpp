#include "store/folder_sync_state.h"

#include "store/database.h"
#include "util/time.h"

namespace kestrova::store {

namespace {

constexpr double kMovedStateKeptSeconds = 30 * 24 * 3600;

// Journal entries that take a row's message out of a folder.
constexpr std::string_view kLeaving = "p.kind IN ('move', 'delete')";

}  // namespace

std::optional<FolderSyncState> folder_sync_state(Connection& c, const std::string& accountId,
                                                 const std::string& path) {
  auto s = c.prepare(
      "SELECT uid_validity, highest_modseq FROM folder_sync_state WHERE account_id = ? AND "
      "folder_path = ?");
  s.bind_all(accountId, path);
  if (!s.step()) return std::nullopt;
  FolderSyncState state;
  state.uidValidity = static_cast<uint32_t>(s.integer(0).value_or(0));
  state.highestModSeq = static_cast<uint64_t>(s.integer(1).value_or(0));
  return state;
}

void save_folder_sync_state(Connection& c, const std::string& accountId, const std::string& path,
                            const FolderSyncState& state) {
  auto s = c.prepare(
      "INSERT INTO folder_sync_state (account_id, folder_path, uid_validity, highest_modseq) "
      "VALUES (?, ?, ?, ?) ON CONFLICT (account_id, folder_path) DO UPDATE SET "
      "uid_validity = excluded.uid_validity, highest_modseq = excluded.highest_modseq");
  s.bind_all(accountId, path, static_cast<int64_t>(state.uidValidity),
             static_cast<int64_t>(state.highestModSeq));
  s.run();
}

std::vector<HeldRow> rows_held_in(Connection& c, const std::string& accountId,
                                  const std::string& folderId, const std::string& path) {
  const std::string leaving(kLeaving);
  auto s = c.prepare(
      "SELECT m.id, m.uid, m.message_id, m.subject, m.from_email, m.date, "
      "COALESCE(m.folder_id = ?1, 0), m.rfc822_size FROM email_messages m WHERE m.account_id = ?2 "
      "AND "
      "((m.folder_id = ?1 AND NOT EXISTS (SELECT 1 FROM pending_server_changes p WHERE "
      "p.message_row_id = m.id AND " +
      leaving +
      " AND p.source_path != ?3)) OR "
      "EXISTS (SELECT 1 FROM pending_server_changes p WHERE p.message_row_id = m.id AND " +
      leaving + " AND p.source_path = ?3))");
  s.bind_all(folderId, accountId, path);
  std::vector<HeldRow> rows;
  while (s.step()) {
    HeldRow row;
    row.id = s.text(0).value_or("");
    if (auto uid = s.integer(1)) row.uid = static_cast<uint32_t>(*uid);
    row.messageId = s.text(2);
    row.subject = s.text(3).value_or("");
    row.fromEmail = s.text(4).value_or("");
    row.date = s.real(5).value_or(0);
    row.filedHere = s.integer(6).value_or(0) != 0;
    if (auto size = s.integer(7); size && *size >= 0) row.size = static_cast<uint64_t>(*size);
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<std::pair<std::string, uint32_t>> filed_uids_in(Connection& c,
                                                            const std::string& accountId,
                                                            const std::string& folderId,
                                                            const std::string& path, uint32_t low,
                                                            uint32_t high) {
  const std::string leaving(kLeaving);
  auto s = c.prepare(
      "SELECT m.id, m.uid FROM email_messages m WHERE m.account_id = ? AND m.folder_id = ? AND "
      "m.uid BETWEEN ? AND ? AND NOT EXISTS (SELECT 1 FROM pending_server_changes p WHERE "
      "p.message_row_id = m.id AND " +
      leaving + " AND p.source_path != ?)");
  s.bind_all(accountId, folderId, static_cast<int64_t>(low), static_cast<int64_t>(high), path);
  std::vector<std::pair<std::string, uint32_t>> rows;
  while (s.step())
    rows.emplace_back(s.text(0).value_or(""), static_cast<uint32_t>(s.integer(1).value_or(0)));
  return rows;
}

void forget_folder_uids(Connection& c, const std::string& accountId, const std::string& folderId,
                        const std::string& path) {
  for (const auto& row : rows_held_in(c, accountId, folderId, path)) {
    auto s = c.prepare("UPDATE email_messages SET uid = NULL WHERE id = ?");
    s.bind(1, row.id);
    s.run();
  }
  auto s = c.prepare(
      "UPDATE pending_server_changes SET uid = NULL, revision = revision + 1 WHERE "
      "account_id = ? AND source_path = ?");
  s.bind_all(accountId, path);
  s.run();
}

void assign_folder_uid(Connection& c, const std::string& rowId, const std::string& path,
                       uint32_t uid) {
  auto row = c.prepare("UPDATE email_messages SET uid = ? WHERE id = ?");
  row.bind_all(uid, rowId);
  row.run();
  auto entries = c.prepare(
      "UPDATE pending_server_changes SET uid = ?, revision = revision + 1 WHERE "
      "message_row_id = ? AND source_path = ?");
  entries.bind_all(uid, rowId, path);
  entries.run();
}

std::vector<ServerChange> remove_vanished_rows(Connection& c,
                                               const std::vector<std::string>& rowIds) {
  std::vector<ServerChange> dropped;
  const double now = now_seconds();
  for (const auto& id : rowIds) {
    auto keep = c.prepare(
        "INSERT OR REPLACE INTO vanished_message_state (account_id, message_id, tags, ai_tags, "
        "internal_note, reply_later_until, waiting_since, snoozed_until, vanished_at) "
        "SELECT account_id, TRIM(message_id), tags, ai_tags, internal_note, reply_later_until, "
        "waiting_since, snoozed_until, ? FROM email_messages WHERE id = ? AND message_id IS NOT "
        "NULL AND TRIM(message_id) != '' AND ((tags IS NOT NULL AND tags != '[]') OR "
        "(ai_tags IS NOT NULL AND ai_tags != '[]') OR "
        "internal_note IS NOT NULL OR reply_later_until IS NOT NULL OR waiting_since IS NOT "
        "NULL OR snoozed_until IS NOT NULL)");
    keep.bind_all(now, id);
    keep.run();
    for (auto& change : pending_server_changes_of_row(c, id)) {
      remove_server_change(c, change.seq);
      dropped.push_back(std::move(change));
    }
    auto s = c.prepare("DELETE FROM email_messages WHERE id = ?");
    s.bind(1, id);
    s.run();
  }
  return dropped;
}

size_t restore_moved_state(Connection& c, const std::string& accountId) {
  auto forget = c.prepare("DELETE FROM vanished_message_state WHERE vanished_at < ?");
  forget.bind(1, now_seconds() - kMovedStateKeptSeconds);
  forget.run();
  auto waiting = c.prepare("SELECT 1 FROM vanished_message_state WHERE account_id = ? LIMIT 1");
  waiting.bind(1, accountId);
  if (!waiting.step()) return 0;
  auto s = c.prepare(
      "UPDATE email_messages AS m SET "
      "tags = CASE WHEN m.tags IS NULL OR m.tags = '[]' THEN v.tags ELSE m.tags END, "
      "ai_tags = CASE WHEN m.ai_tags IS NULL OR m.ai_tags = '[]' THEN v.ai_tags ELSE m.ai_tags "
      "END, "
      "internal_note = COALESCE(m.internal_note, v.internal_note), "
      "reply_later_until = COALESCE(m.reply_later_until, v.reply_later_until), "
      "waiting_since = COALESCE(m.waiting_since, v.waiting_since), "
      "snoozed_until = COALESCE(m.snoozed_until, v.snoozed_until) "
      "FROM vanished_message_state AS v WHERE v.account_id = ?1 AND m.account_id = ?1 AND "
      "m.message_id IS NOT NULL AND TRIM(m.message_id) = v.message_id");
  s.bind(1, accountId);
  s.run();
  const auto restored = static_cast<size_t>(c.changes());
  if (restored == 0) return 0;
  auto used = c.prepare(
      "DELETE FROM vanished_message_state WHERE account_id = ?1 AND message_id IN (SELECT "
      "TRIM(message_id) FROM email_messages WHERE account_id = ?1 AND message_id IS NOT NULL)");
  used.bind(1, accountId);
  used.run();
  return restored;
}

}  // namespace kestrova::store
