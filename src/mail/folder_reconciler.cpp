#include "mail/folder_reconciler.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <set>
#include <unordered_set>

#include "mail/email_message_conversion.h"
#include "mail/email_service.h"
#include "store/database.h"
#include "store/folder_sync_state.h"
#include "store/server_change_journal.h"
#include "util/log.h"
#include "util/text.h"

namespace kestrova::mail {

namespace {

constexpr std::string_view kComponent = "FolderReconciler";
constexpr size_t kHeaderBatch = 500;

void log(std::string_view emoji, std::string_view message) { log_line(emoji, kComponent, message); }

std::string identityOf(const std::optional<std::string>& messageId) {
  return messageId ? comparableMessageId(*messageId) : std::string();
}

// Pairs the rows that share one envelope with the server's messages of that envelope, only
// where the pairing is exact: rows of one size take the messages of that size when there are
// as many of each, and rows whose size is unknown take the messages left when those number
// the same. Rows of an ambiguous group stay unpaired (not found again).
std::map<std::string, uint32_t> pairByContent(
    const std::vector<const store::HeldRow*>& rows,
    const std::vector<std::pair<uint32_t, std::optional<uint64_t>>>& server) {
  std::map<std::string, uint32_t> paired;
  std::map<uint64_t, std::vector<const store::HeldRow*>> rowsBySize;
  std::vector<const store::HeldRow*> sizeless;
  for (const auto* row : rows) (row->size ? rowsBySize[*row->size] : sizeless).push_back(row);
  std::map<uint64_t, std::vector<uint32_t>> serverBySize;
  std::vector<uint32_t> left;
  for (const auto& [uid, size] : server) (size ? serverBySize[*size] : left).push_back(uid);
  for (auto& [size, uids] : serverBySize) {
    auto sized = rowsBySize.find(size);
    if (sized != rowsBySize.end() && sized->second.size() == uids.size()) {
      for (size_t i = 0; i < uids.size(); ++i) paired.emplace(sized->second[i]->id, uids[i]);
    } else {
      left.insert(left.end(), uids.begin(), uids.end());
    }
  }
  if (!sizeless.empty() && sizeless.size() == left.size())
    for (size_t i = 0; i < left.size(); ++i) paired.emplace(sizeless[i]->id, left[i]);
  return paired;
}

}  // namespace

std::string messageContentKey(std::string_view subject, std::string_view fromEmail, double date) {
  return text::lower(text::trim(subject)) + '\x1f' + text::lower(text::trim(fromEmail)) + '\x1f' +
         std::to_string(std::llround(date));
}

bool MessageContent::matches(const MessageContent& other) const {
  return key == other.key && (!size || !other.size || *size == *other.size);
}

MessageContent messageContent(const store::EmailMessage& message) {
  return {messageContentKey(message.subject, message.from.email, message.date), message.size};
}

FolderReconciler::FolderReconciler(store::EmailDatabase& database, store::EmailAccount account,
                                   store::EmailFolder folder)
    : database_(database), account_(std::move(account)), folder_(std::move(folder)) {}

bool FolderReconciler::followNumbering(LibEtPanIMAPSession& session,
                                       const std::optional<store::FolderSyncState>& known,
                                       const ImapSelectedFolder& selected, LibEtPanError* error) {
  if (!known || known->uidValidity == 0 || selected.uidValidity == 0 ||
      known->uidValidity == selected.uidValidity)
    return true;
  // One renumbering of a folder at a time in the process: sessions that noticed the change
  // together wait for the first, which keeps the new value before letting them on.
  static std::mutex renumbering;
  std::lock_guard lock(renumbering);
  const auto now = database_.read(
      [&](store::Connection& c) { return store::folder_sync_state(c, account_.id, folder_.path); });
  if (now && now->uidValidity == selected.uidValidity) return true;
  log(log_kind::kSync, "文件夹 " + folder_.path + " 的 UIDVALIDITY 已变化 (" +
                           std::to_string(known->uidValidity) + " → " +
                           std::to_string(selected.uidValidity) + ")，忘记旧 UID 并重新查找邮件");
  report_.renumbered = true;
  if (!renumber(session, error)) return false;
  database_.write([&](store::Connection& c) {
    store::save_folder_sync_state(c, account_.id, folder_.path, {selected.uidValidity, 0});
  });
  return true;
}

std::optional<ImapSelectedFolder> FolderReconciler::selectForUids(LibEtPanIMAPSession& session,
                                                                  LibEtPanError* error) {
  const auto known = database_.read(
      [&](store::Connection& c) { return store::folder_sync_state(c, account_.id, folder_.path); });
  // A plain SELECT: these commands run on the user's threads too, and nothing is
  // resynchronised here.
  if (!session.selectFolder(folder_.path, error)) return std::nullopt;
  auto selected = session.selectedFolder();
  if (!selected || !followNumbering(session, known, *selected, error)) return std::nullopt;
  // No mod-sequence from this SELECT: the next sync takes the server's as a new folder's.
  if (report_.renumbered)
    database_.write([&](store::Connection& c) {
      store::save_folder_sync_state(c, account_.id, folder_.path, {selected->uidValidity, 0});
    });
  return selected;
}

std::optional<ImapSelectedFolder> FolderReconciler::select(LibEtPanIMAPSession& session,
                                                           LibEtPanError* error) {
  const auto known = database_.read(
      [&](store::Connection& c) { return store::folder_sync_state(c, account_.id, folder_.path); });
  auto selected = session.selectFolderResyncing(folder_.path, known ? known->uidValidity : 0,
                                                known ? known->highestModSeq : 0, error);
  if (!selected) return std::nullopt;
  if (!followNumbering(session, known, *selected, error)) return std::nullopt;
  // A renumbered folder is never resynchronised: the server ignored the known state.
  if (selected->resynchronised && !selected->vanished.empty()) {
    const std::unordered_set<uint32_t> gone(selected->vanished.begin(), selected->vanished.end());
    const auto range = std::minmax_element(selected->vanished.begin(), selected->vanished.end());
    const uint32_t low = *range.first, high = *range.second;
    std::vector<std::string> rows;
    database_.read([&](store::Connection& c) {
      for (auto& [id, uid] :
           store::filed_uids_in(c, account_.id, folder_.id, folder_.path, low, high))
        if (gone.contains(uid)) rows.push_back(std::move(id));
    });
    remove(rows);
  } else if (selected->resynchronised && selected->highestModSeq != known->highestModSeq) {
    // Under QRESYNC every expunge raises the mod-sequence (RFC 7162 §3.2.10). The folder
    // changed but no VANISHED list came with the SELECT: one UID SEARCH ALL tells which
    // stored UIDs are gone. An unchanged mod-sequence means nothing was expunged.
    const auto all = session.fetchMessagesFromUID(1, 0, error);
    if (!all) return std::nullopt;
    std::vector<uint32_t> held;
    held.reserve(all->size());
    for (const auto& entry : *all) held.push_back(entry.uid);
    listed(1, UINT32_MAX, held);
  }
  report_.resynchronised = selected->resynchronised && !report_.renumbered;
  if (selected->uidValidity != 0) {
    // The mod-sequence moves on only when the expunges up to it are known here: from
    // VANISHED, or because the store starts afresh (a new folder or a new numbering). A
    // session without QRESYNC leaves it where it was for the next one that has it.
    uint64_t modSeq = known ? known->highestModSeq : 0;
    // A numbering another session already followed counts as new here too.
    const bool renumberedElsewhere = known && known->uidValidity != selected->uidValidity;
    if (report_.resynchronised || report_.renumbered || renumberedElsewhere || modSeq == 0)
      modSeq = selected->highestModSeq;
    const store::FolderSyncState state{selected->uidValidity, modSeq};
    if (!known && deferFirstState_) {
      firstState_ = state;
    } else {
      database_.write([&](store::Connection& c) {
        store::save_folder_sync_state(c, account_.id, folder_.path, state);
      });
    }
  }
  return selected;
}

void FolderReconciler::writeFirstState(store::Connection& c) {
  if (!firstState_) return;
  store::save_folder_sync_state(c, account_.id, folder_.path, *firstState_);
  firstState_.reset();
}

void FolderReconciler::listed(uint32_t low, uint32_t high, const std::vector<uint32_t>& held) {
  const std::unordered_set<uint32_t> present(held.begin(), held.end());
  std::vector<std::string> rows;
  database_.read([&](store::Connection& c) {
    for (auto& [id, uid] :
         store::filed_uids_in(c, account_.id, folder_.id, folder_.path, low, high))
      if (!present.contains(uid)) rows.push_back(std::move(id));
  });
  remove(rows);
}

bool FolderReconciler::renumber(LibEtPanIMAPSession& session, LibEtPanError* error) {
  // Nothing may use an old UID from here on, whatever happens next.
  database_.write([&](store::Connection& c) {
    store::forget_folder_uids(c, account_.id, folder_.id, folder_.path);
  });
  const auto listing = session.fetchMessagesFromUID(1, 0, error);
  if (!listing) return false;
  std::vector<uint32_t> uids;
  for (const auto& entry : *listing) uids.push_back(entry.uid);
  // Where each identity lives in the new numbering.
  std::map<std::string, std::vector<uint32_t>> byMessageId;
  std::map<std::string, std::vector<std::pair<uint32_t, std::optional<uint64_t>>>> byContent;
  for (size_t start = 0; start < uids.size(); start += kHeaderBatch) {
    const std::vector<uint32_t> batch(uids.begin() + start,
                                      uids.begin() + std::min(uids.size(), start + kHeaderBatch));
    const auto records = session.fetchBatchMessageHeadersWithUIDs(batch, error);
    if (!records) return false;
    for (const auto& record : *records) {
      const auto message = message_from_header_record(record, account_.id, folder_.id);
      const std::string id = identityOf(message.messageId);
      if (!id.empty())
        byMessageId[id].push_back(record.uid);
      else
        byContent[messageContentKey(message.subject, message.from.email, message.date)]
            .emplace_back(record.uid, record.size);
    }
  }

  const auto rows = database_.read([&](store::Connection& c) {
    return store::rows_held_in(c, account_.id, folder_.id, folder_.path);
  });
  std::vector<std::pair<std::string, uint32_t>> found;
  std::vector<std::string> lost, leaving;
  std::map<std::string, std::vector<const store::HeldRow*>> withoutId;
  for (const auto& row : rows) {
    const std::string id = identityOf(row.messageId);
    if (id.empty()) {
      withoutId[messageContentKey(row.subject, row.fromEmail, row.date)].push_back(&row);
      continue;
    }
    auto it = byMessageId.find(id);
    if (it != byMessageId.end() && !it->second.empty()) {
      found.emplace_back(row.id, it->second.back());
      it->second.pop_back();
    } else {
      (row.filedHere ? lost : leaving).push_back(row.id);
    }
  }
  for (const auto& [key, group] : withoutId) {
    const auto paired = pairByContent(group, byContent[key]);
    for (const auto* row : group) {
      if (auto uid = paired.find(row->id); uid != paired.end())
        found.emplace_back(row->id, uid->second);
      else
        (row->filedHere ? lost : leaving).push_back(row->id);
    }
  }

  std::vector<store::ServerChange> dropped;
  database_.write([&](store::Connection& c) {
    for (const auto& [rowId, uid] : found) store::assign_folder_uid(c, rowId, folder_.path, uid);
    // Rows waiting to leave the folder whose message is no longer in it: the waiting change
    // has nothing left to act on.
    for (const auto& rowId : leaving)
      for (const auto& change : store::pending_server_changes_of_row(c, rowId))
        if (change.source.folderPath == folder_.path) {
          store::remove_server_change(c, change.seq);
          dropped.push_back(change);
        }
  });
  report_.refound = found.size();
  for (const auto& change : dropped)
    log(log_kind::kWarning, "文件夹已重新编号，找不到这封邮件，放弃待同步的更改 (" +
                                std::string(store::server_change_kind_name(change.kind)) + ", " +
                                folder_.path + ", Message-ID " +
                                change.source.messageId.value_or("无") + ")");
  report_.droppedChanges += dropped.size();
  log(log_kind::kSync, "文件夹 " + folder_.path + " 重新编号后找回 " +
                           std::to_string(found.size()) + " 封，找不到 " +
                           std::to_string(lost.size()) + " 封");
  remove(lost);
  return true;
}

void FolderReconciler::remove(const std::vector<std::string>& rowIds) {
  if (rowIds.empty()) return;
  std::vector<store::ServerChange> dropped;
  size_t restored = 0;
  database_.write([&](store::Connection& c) {
    dropped = store::remove_vanished_rows(c, rowIds);
    restored = store::restore_moved_state(c, account_.id);
  });
  report_.removed += rowIds.size();
  report_.droppedChanges += dropped.size();
  log(log_kind::kSync,
      "文件夹 " + folder_.path + " 中已被其他客户端删除或移走的邮件: " +
          std::to_string(rowIds.size()) + " 封，已从本地移除" +
          (restored ? "（" + std::to_string(restored) + " 封移走的邮件保留了本地状态）"
                    : std::string()));
  for (const auto& change : dropped)
    log(log_kind::kWarning, "服务器上已没有这封邮件，放弃待同步的更改 (" +
                                std::string(store::server_change_kind_name(change.kind)) + ", " +
                                folder_.path + ", Message-ID " +
                                change.source.messageId.value_or("无") + ")");
}

}  // namespace kestrova::mail
