// Message writes of the mail store: the upsert with duplicate detection, the update in
// place, flags on every copy, the background batch save and the draft writes.

#include <algorithm>
#include <exception>
#include <map>
#include <set>

#include "store/database.h"
#include "store/email_contact.h"
#include "store/email_store.h"
#include "store/email_store_detail.h"
#include "store/email_store_sql.h"
#include "store/folder_message_count_cache.h"
#include "store/folder_views.h"
#include "store/json_list.h"
#include "store/message_lookup.h"
#include "store/server_change_journal.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::store {

using detail::kComponent;

namespace {

constexpr std::string_view kSkipSaveWarning = "跳过保存邮件: account_id 不存在于数据库中 (";
constexpr std::string_view kSkipUpdateWarning = "跳过更新邮件: account_id 不存在于数据库中 (";

// The server's size as stored: NULL when unknown.
std::optional<int64_t> sizeColumn(const EmailMessage& m) {
  if (!m.size) return std::nullopt;
  return static_cast<int64_t>(*m.size);
}

std::optional<std::string_view> rawOrNothing(const std::optional<EmailPriority>& value) {
  if (!value) return std::nullopt;
  return raw_value(*value);
}

std::optional<std::string_view> rawOrNothing(const std::optional<EmailCategory>& value) {
  if (!value) return std::nullopt;
  return raw_value(*value);
}

// Binds every column of the full message write after `id`, in the column order shared by
// the INSERT and the UPDATE, starting at `index`; returns the next free index. List columns
// go in as blobs holding the UTF-8 JSON text.
int bindMessageColumns(Statement& s, int index, const EmailMessage& m) {
  const std::string to = encode_contact_list(m.to), cc = encode_contact_list(m.cc),
                    bcc = encode_contact_list(m.bcc), replyTo = encode_contact_list(m.replyTo),
                    tags = encode_string_list(m.tags), aiTags = encode_string_list(m.aiTags),
                    actionItems = encode_string_list(m.aiActionItems);
  s.bind(index++, m.accountId);
  s.bind(index++, m.folderId);
  s.bind(index++, m.uid);
  s.bind(index++, m.messageId);
  s.bind(index++, m.inReplyTo);
  s.bind(index++, m.threadId);
  s.bind(index++, m.subject);
  s.bind(index++, m.from.name);
  s.bind(index++, m.from.email);
  s.bind(index++, Blob{to});
  s.bind(index++, Blob{cc});
  s.bind(index++, Blob{bcc});
  s.bind(index++, Blob{replyTo});
  s.bind(index++, m.textBody);
  s.bind(index++, m.htmlBody);
  s.bind(index++, m.preview);
  s.bind(index++, m.date);
  s.bind(index++, m.receivedDate);
  s.bind(index++, m.isRead);
  s.bind(index++, m.isStarred);
  s.bind(index++, m.isImportant);
  s.bind(index++, m.isNoReply);
  s.bind(index++, m.hasAttachments);
  s.bind(index++, m.isSpam);
  s.bind(index++, m.isDeleted);
  s.bind(index++, m.containsRemoteResources);
  s.bind(index++, Blob{tags});
  s.bind(index++, Blob{aiTags});
  s.bind(index++, m.aiSummary);
  s.bind(index++, rawOrNothing(m.aiPriority));
  s.bind(index++, Blob{actionItems});
  s.bind(index++, rawOrNothing(m.aiCategory));
  s.bind(index++, m.snoozedUntil);
  s.bind(index++, m.replyLaterUntil);
  s.bind(index++, m.waitingSince);
  s.bind(index++, m.internalNote);
  s.bind(index++, m.syncedAt);
  s.bind(index++, m.updatedAt);
  s.bind(index++, m.isBodyLoaded);
  s.bind(index++, m.bodyCachedAt);
  s.bind(index++, m.hasBeenReplied);
  s.bind(index++, m.isDraft);
  s.bind(index++, sizeColumn(m));
  return index;
}

void insertAttachments(Connection& c, const EmailMessage& m) {
  for (const auto& a : m.attachments) {
    auto s = c.prepare(sql::kInsertAttachment);
    s.bind_all(a.id, m.id, a.filename, a.mimeType, a.size, a.contentId, a.isInline, a.localPath,
               a.partPath, a.encoding, a.charset);
    s.run();
  }
}

// A headers-only record takes over the body stored under its id, so that a synchronisation
// pass that only knows headers never erases a body downloaded earlier.
void carryOverStoredBody(Connection& c, EmailMessage& record) {
  if (detail::hasBody(record)) return;
  auto s = c.prepare(sql::kSelectStoredBody);
  s.bind(1, record.id);
  if (!s.step()) return;
  auto text = s.text("text_body");
  auto html = s.text("html_body");
  const bool loaded = s.integer("is_body_loaded").value_or(0) != 0;
  const bool storedHasBody = loaded || (text && !text->empty()) || (html && !html->empty());
  if (!storedHasBody) return;
  record.textBody = std::move(text);
  record.htmlBody = std::move(html);
  record.isBodyLoaded = loaded;
  record.bodyCachedAt = s.real("body_cached_at");
  record.containsRemoteResources = s.integer("contains_remote_resources").value_or(0) != 0;
  record.preview = s.text("preview").value_or("");
}

bool accountExists(Connection& c, const std::string& accountId) {
  auto s = c.prepare(sql::kCountAccount);
  s.bind(1, accountId);
  return s.step() && s.integer(0).value_or(0) > 0;
}

std::optional<std::string> firstId(Connection& c, std::string_view query,
                                   const std::string& accountId) {
  auto s = c.prepare(query);
  s.bind(1, accountId);
  if (!s.step()) return std::nullopt;
  return s.text(0);
}

// A message never gets a folder id that does not exist: its own folder, else the account's
// inbox, else any folder of the account, else none.
std::optional<std::string> resolveFolder(Connection& c, const EmailMessage& record) {
  if (record.folderId) {
    auto s = c.prepare(sql::kCountFolder);
    s.bind(1, *record.folderId);
    if (s.step() && s.integer(0).value_or(0) >= 1) return record.folderId;
  }
  if (auto inbox = firstId(c, sql::kInboxOfAccount, record.accountId)) {
    log_line(log_kind::kWarning, kComponent,
             "folder_id 缺失/失效，已回退到 INBOX, subject=" + record.subject);
    return inbox;
  }
  if (auto any = firstId(c, sql::kAnyFolderOfAccount, record.accountId)) {
    log_line(log_kind::kWarning, kComponent,
             "folder_id 缺失/失效且无 INBOX，已回退到任意文件夹, subject=" + record.subject);
    return any;
  }
  return std::nullopt;
}

// The id of another stored copy of the same logical message in the account.
std::optional<std::string> findStoredCopy(Connection& c, const EmailMessage& record) {
  const std::string messageId = record.messageId ? text::trim(*record.messageId) : std::string();
  if (!messageId.empty()) {
    auto s = c.prepare(sql::kFindCopyByMessageId);
    s.bind_all(record.accountId, messageId, record.id);
    if (s.step()) return s.text(0);
    return std::nullopt;
  }
  // A draft without Message-ID is only ever its own row: two drafts with the same subject
  // written within a second are two drafts.
  if (record.isDraft) return std::nullopt;
  auto s = c.prepare(sql::kFindCopyBySubject);
  s.bind_all(record.accountId, sql::identitySubject(record.subject),
             sql::identitySender(record.from.email), record.date, sizeColumn(record),
             sizeColumn(record), record.id);
  if (s.step()) return s.text(0);
  return std::nullopt;
}

void logSkippedAccount(std::string_view warning, const EmailMessage& record) {
  log_line(log_kind::kWarning, kComponent,
           std::string(warning) + record.accountId + "), subject=" + record.subject);
}

// The copy condition of a message and its arguments.
struct CopyCondition {
  std::string_view where;
  bool byMessageId = false;
  std::string messageId;
};

CopyCondition copyCondition(const EmailMessage& m) {
  CopyCondition condition;
  condition.messageId = m.messageId ? text::trim(*m.messageId) : std::string();
  condition.byMessageId = !condition.messageId.empty();
  condition.where = condition.byMessageId ? sql::kCopiesByMessageId : sql::kCopiesBySubject;
  return condition;
}

// Binds the copy condition's arguments from `index` on.
void bindCopyCondition(Statement& s, int index, const CopyCondition& condition,
                       const EmailMessage& m) {
  s.bind(index++, m.accountId);
  if (condition.byMessageId) {
    s.bind(index, condition.messageId);
    return;
  }
  s.bind(index++, m.subject);
  s.bind(index++, m.from.email);
  s.bind(index++, m.date);
  s.bind(index++, sizeColumn(m));
  s.bind(index, sizeColumn(m));
}

void copyFlags(EmailMessage& target, const EmailMessage& source) {
  target.isRead = source.isRead;
  target.isStarred = source.isStarred;
  target.isImportant = source.isImportant;
  target.isNoReply = source.isNoReply;
  target.isSpam = source.isSpam;
  target.isDeleted = source.isDeleted;
  target.hasBeenReplied = source.hasBeenReplied;
  target.tags = source.tags;
  target.aiTags = source.aiTags;
  target.aiSummary = source.aiSummary;
  target.aiPriority = source.aiPriority;
  target.snoozedUntil = source.snoozedUntil;
  target.replyLaterUntil = source.replyLaterUntil;
  target.waitingSince = source.waitingSince;
  target.internalNote = source.internalNote;
  target.updatedAt = source.updatedAt;
}

bool newerFirst(const EmailMessage& a, const EmailMessage& b) { return a.date > b.date; }

bool rowExists(Connection& c, const std::string& id) {
  auto s = c.prepare("SELECT 1 FROM email_messages WHERE id = ?");
  s.bind(1, id);
  return s.step();
}

// Trims the Message-ID as the identity lookup compares it, so that the row is found again.
// False (logged) when the record's account is not stored.
bool admitForSave(Connection& c, EmailMessage& record) {
  if (record.messageId) record.messageId = text::trim(*record.messageId);
  if (accountExists(c, record.accountId)) return true;
  logSkippedAccount(kSkipSaveWarning, record);
  return false;
}

// A record of a known account that has neither a stored copy nor a row under its id.
SavedMessage insertNew(Connection& c, EmailMessage record) {
  record.folderId = resolveFolder(c, record);
  auto s = c.prepare(sql::kInsertMessage);
  s.bind(1, record.id);
  bindMessageColumns(s, 2, record);
  s.run();
  insertAttachments(c, record);
  return SavedMessage{std::move(record), false};
}

}  // namespace

// ---- upsert and update in place ----

std::optional<SavedMessage> EmailStore::upsertLocked(Connection& c, EmailMessage record) {
  if (!admitForSave(c, record)) return std::nullopt;
  carryOverStoredBody(c, record);
  if (auto existing = findStoredCopy(c, record)) {
    // The first stored copy keeps its id; everything else comes from the new record.
    record.id = std::move(*existing);
    auto updated = updateInPlaceLocked(c, std::move(record), kSkipUpdateWarning);
    if (!updated) return std::nullopt;
    return SavedMessage{std::move(*updated), true};
  }
  if (rowExists(c, record.id)) {
    // A row that is already stored is rewritten in place rather than replaced: a REPLACE
    // deletes the row first, and the cascades would take its label links, action items and
    // translations with it, and clear rule_applied_at.
    auto updated = updateInPlaceLocked(c, std::move(record), kSkipUpdateWarning);
    if (!updated) return std::nullopt;
    return SavedMessage{std::move(*updated), false};
  }
  return insertNew(c, std::move(record));
}

std::optional<EmailMessage> EmailStore::updateInPlaceLocked(Connection& c, EmailMessage record,
                                                            std::string_view skipWarning) {
  carryOverStoredBody(c, record);
  if (!accountExists(c, record.accountId)) {
    logSkippedAccount(skipWarning, record);
    return std::nullopt;
  }
  record.folderId = resolveFolder(c, record);
  auto s = c.prepare(sql::kUpdateMessage);
  const int idIndex = bindMessageColumns(s, 1, record);
  s.bind(idIndex, record.id);
  s.run();
  auto drop = c.prepare(sql::kDeleteAttachments);
  drop.bind(1, record.id);
  drop.run();
  insertAttachments(c, record);
  return record;
}

std::optional<SavedMessage> EmailStore::syncServerStateLocked(Connection& c, EmailMessage fetched) {
  auto id = findStoredCopy(c, fetched);
  if (!id && rowExists(c, fetched.id)) id = fetched.id;
  if (!id) {
    // Neither a copy nor a row under its id: the upsert would ask both again and find no
    // stored body to carry over, so the record goes straight to the insert.
    if (!admitForSave(c, fetched)) return std::nullopt;
    return insertNew(c, std::move(fetched));
  }
  // A local change the server has not confirmed yet wins over what the server still says.
  if (has_pending_server_change(c, *id)) {
    auto stored = read_stored_message(c, *id);
    if (!stored) return std::nullopt;
    return SavedMessage{std::move(*stored), true};
  }
  auto folderId = resolveFolder(c, fetched);
  auto uid = fetched.uid;
  // A view (Gmail's All Mail) never takes a message away from the real folder it is in.
  if (folderId && is_view_folder(c, *folderId)) {
    auto current = c.prepare("SELECT folder_id, uid FROM email_messages WHERE id = ?");
    current.bind(1, *id);
    if (current.step())
      if (auto real = current.text(0); real && !is_view_folder(c, *real)) {
        folderId = real;
        uid.reset();
        if (auto stored = current.integer(1)) uid = static_cast<uint32_t>(*stored);
      }
  }
  auto s = c.prepare(sql::kUpdateServerState);
  s.bind_all(folderId, uid, fetched.isRead, fetched.isStarred, fetched.threadId, fetched.inReplyTo,
             fetched.syncedAt, sizeColumn(fetched), *id);
  s.run();
  auto stored = read_stored_message(c, *id);
  if (!stored) return std::nullopt;
  return SavedMessage{std::move(*stored), true};
}

std::optional<SavedMessage> EmailStore::saveMessage(const EmailMessage& message) {
  auto saved = database_.write([&](Connection& c) { return upsertLocked(c, message); });
  if (saved && saved->merged) replaceInMemory(saved->message);
  return saved;
}

std::vector<std::optional<EmailMessage>> EmailStore::storedCopies(
    const std::vector<EmailMessage>& batch) {
  try {
    return database_.read_snapshot([&](Connection& c) {
      std::vector<std::optional<EmailMessage>> stored;
      stored.reserve(batch.size());
      for (const auto& message : batch) {
        const auto id = findStoredCopy(c, message);
        stored.push_back(id ? read_stored_message(c, *id) : std::nullopt);
      }
      return stored;
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("检查已存储邮件失败: ") + e.what());
    return std::vector<std::optional<EmailMessage>>(batch.size());
  }
}

std::vector<bool> EmailStore::hasStoredCopies(const std::vector<EmailMessage>& batch) {
  try {
    return database_.read_snapshot([&](Connection& c) {
      std::vector<bool> stored;
      stored.reserve(batch.size());
      // A row whose ids are not UUIDs does not read back as a message, so it counts as not
      // stored, as in storedCopies.
      for (const auto& message : batch) {
        const auto id = findStoredCopy(c, message);
        stored.push_back(id && parse_uuid(*id) && parse_uuid(message.accountId));
      }
      return stored;
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("检查已存储邮件失败: ") + e.what());
    return std::vector<bool>(batch.size());
  }
}

std::optional<EmailMessage> EmailStore::updateMessage(const EmailMessage& message) {
  auto updated = database_.write(
      [&](Connection& c) { return updateInPlaceLocked(c, message, kSkipUpdateWarning); });
  if (updated) replaceInMemory(*updated);
  return updated;
}

void EmailStore::replaceInMemory(const EmailMessage& message) {
  onMain([this, message] {
    std::vector<std::string> changed;
    for (auto& [folderId, list] : messages_) {
      for (auto& m : list)
        if (m.id == message.id) {
          m = message;
          changed.push_back(folderId);
        }
    }
    if (changed.empty()) {
      log_line(log_kind::kWarning, kComponent, "无法更新邮件（未找到）: " + message.id);
      return;
    }
    log_line(log_kind::kSuccess, kComponent,
             "更新内存中的邮件: " + message.subject +
                 ", folderId=" + message.folderId.value_or("nil") +
                 ", hasBody=" + (detail::hasBody(message) ? "true" : "false") +
                 ", htmlLength=" + std::to_string(message.htmlBody ? message.htmlBody->size() : 0));
    for (const auto& folderId : changed) notify(StoreChange::messages, folderId);
  });
}

// ---- flags on every copy ----

std::vector<std::string> EmailStore::copyIdsLocked(Connection& c, const EmailMessage& message) {
  const CopyCondition condition = copyCondition(message);
  auto s = c.prepare(std::string(sql::kSelectIds) + " " + std::string(condition.where));
  bindCopyCondition(s, 1, condition, message);
  std::vector<std::string> ids;
  while (s.step())
    if (auto id = s.text(0)) ids.push_back(std::move(*id));
  return ids;
}

std::vector<std::string> EmailStore::updateFlagsOnAllCopies(const EmailMessage& message) {
  EmailMessage source = message;
  source.updatedAt = now_seconds();
  auto ids = database_.write([&](Connection& c) {
    auto ids = copyIdsLocked(c, source);
    const CopyCondition condition = copyCondition(source);
    auto s = c.prepare(std::string(sql::kUpdateFlags) + " " + std::string(condition.where));
    const std::string tags = encode_string_list(source.tags),
                      aiTags = encode_string_list(source.aiTags);
    s.bind_all(source.isRead, source.isStarred, source.isImportant, source.isNoReply, source.isSpam,
               source.isDeleted, source.hasBeenReplied, Blob{tags}, Blob{aiTags}, source.aiSummary,
               rawOrNothing(source.aiPriority), source.snoozedUntil, source.replyLaterUntil,
               source.waitingSince, source.internalNote, source.updatedAt);
    bindCopyCondition(s, 17, condition, source);
    s.run();
    return ids;
  });
  onMain([this, ids, source] {
    applyFlagsInMemory(ids, [&](EmailMessage& m) { copyFlags(m, source); });
  });
  return ids;
}

std::vector<std::string> EmailStore::setOnAllCopies(const EmailMessage& message,
                                                    std::string_view update, bool value,
                                                    std::function<void(EmailMessage&)> apply) {
  const double updatedAt = now_seconds();
  auto ids = database_.write([&](Connection& c) {
    auto ids = copyIdsLocked(c, message);
    const CopyCondition condition = copyCondition(message);
    auto s = c.prepare(std::string(update) + " " + std::string(condition.where));
    s.bind_all(value, updatedAt);
    bindCopyCondition(s, 3, condition, message);
    s.run();
    return ids;
  });
  onMain([this, ids, updatedAt, apply = std::move(apply)] {
    applyFlagsInMemory(ids, [&](EmailMessage& m) {
      apply(m);
      m.updatedAt = updatedAt;
    });
  });
  return ids;
}

std::vector<std::string> EmailStore::markRead(const EmailMessage& message, bool isRead) {
  return setOnAllCopies(message, sql::kUpdateReadState, isRead,
                        [isRead](EmailMessage& m) { m.isRead = isRead; });
}

std::vector<std::string> EmailStore::markStarred(const EmailMessage& message, bool isStarred) {
  return setOnAllCopies(message, sql::kUpdateStarredState, isStarred,
                        [isStarred](EmailMessage& m) { m.isStarred = isStarred; });
}

std::optional<EmailMessage> EmailStore::recordServerMove(const std::string& messageId,
                                                         const std::string& folderId,
                                                         bool markSpam) {
  auto moved = database_.write([&](Connection& c) {
    auto s = c.prepare(sql::kRecordServerMove);
    s.bind_all(folderId, markSpam, now_seconds(), messageId);
    s.run();
    return read_stored_message(c, messageId);
  });
  if (moved) replaceInMemory(*moved);
  return moved;
}

void EmailStore::applyFlagsInMemory(const std::vector<std::string>& ids,
                                    const std::function<void(EmailMessage&)>& apply) {
  const std::set<std::string, std::less<>> wanted(ids.begin(), ids.end());
  std::vector<std::string> changed;
  for (auto& [folderId, list] : messages_) {
    bool touched = false;
    for (auto& m : list) {
      if (!wanted.contains(m.id)) continue;
      apply(m);
      touched = true;
    }
    if (touched) changed.push_back(folderId);
  }
  for (const auto& folderId : changed) notify(StoreChange::messages, folderId);
}

// ---- background batch save ----

std::future<size_t> EmailStore::saveMessagesInBackground(std::vector<EmailMessage> batch) {
  return saveBatchInBackground(std::move(batch), BatchKind::fetched);
}

std::future<size_t> EmailStore::saveSyncedMessagesInBackground(
    std::vector<EmailMessage> batch, std::function<void(Connection&)> alongside) {
  return saveBatchInBackground(std::move(batch), BatchKind::synced, std::move(alongside));
}

std::future<size_t> EmailStore::saveBatchInBackground(std::vector<EmailMessage> batch,
                                                      BatchKind kind,
                                                      std::function<void(Connection&)> alongside) {
  auto promise = std::make_shared<std::promise<size_t>>();
  auto future = promise->get_future();
  runInBackground([this, batch = std::move(batch), promise, kind,
                   alongside = std::move(alongside)]() mutable {
    try {
      if (applyTrainedSenderCategories) applyTrainedSenderCategories(batch);
      // One transaction: a batch is stored whole or not at all.
      auto saved = database_.write([&](Connection& c) {
        std::vector<SavedMessage> written;
        written.reserve(batch.size());
        for (auto& message : batch) {
          auto s = kind == BatchKind::synced ? syncServerStateLocked(c, std::move(message))
                                             : upsertLocked(c, std::move(message));
          if (s) written.push_back(std::move(*s));
        }
        if (alongside) alongside(c);
        return written;
      });
      const size_t count = saved.size();
      log_line(
          log_kind::kSuccess, kComponent,
          "后台保存了 " + std::to_string(count) + " 封新邮件到数据库（已应用规则引擎和深度去重）");
      // The batch is ordered here so that the main thread only merges two sorted lists.
      log_line(log_kind::kStatistics, kComponent, "开始后台排序，数量: " + std::to_string(count));
      std::stable_sort(saved.begin(), saved.end(),
                       [](const SavedMessage& a, const SavedMessage& b) {
                         return newerFirst(a.message, b.message);
                       });
      onMain([this, saved = std::move(saved)]() mutable { mergeSavedIntoLists(std::move(saved)); });
      promise->set_value(count);
    } catch (const std::exception& e) {
      log_line(log_kind::kFailure, kComponent, std::string("后台保存邮件失败: ") + e.what());
      promise->set_exception(std::current_exception());
    }
  });
  return future;
}

// `saved` is ordered newest first. Each stored message is put into (or kept in) every loaded
// list of its account whose query would show it, and taken out of loaded lists that would
// no longer show it (a copy merged into another folder moves with its row).
void EmailStore::mergeSavedIntoLists(std::vector<SavedMessage> saved) {
  std::map<std::string, std::vector<EmailMessage>> additions;  // folder id -> newest first
  std::set<std::string> changed;
  std::map<std::string, int64_t> countDeltas;
  for (const auto& entry : saved) {
    const EmailMessage& m = entry.message;
    if (entry.merged) log_line(log_kind::kSync, kComponent, "发现重复邮件，已合并: " + m.subject);
    for (const auto& folder : foldersOf(m.accountId)) {
      const bool belongs = detail::belongsInFolderList(folder, m);
      if (belongs && !entry.merged) ++countDeltas[folder.id];
      auto listIt = messages_.find(folder.id);
      if (listIt == messages_.end()) continue;  // not loaded
      auto& list = listIt->second;
      auto it = std::find_if(list.begin(), list.end(),
                             [&](const EmailMessage& x) { return x.id == m.id; });
      if (it != list.end()) {
        if (belongs)
          *it = m;
        else
          list.erase(it);
        changed.insert(folder.id);
      } else if (belongs) {
        additions[folder.id].push_back(m);
      }
    }
  }
  for (auto& [folderId, added] : additions) {
    auto& list = messages_[folderId];
    std::vector<EmailMessage> merged;
    merged.reserve(list.size() + added.size());
    std::merge(std::make_move_iterator(list.begin()), std::make_move_iterator(list.end()),
               std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()),
               std::back_inserter(merged), newerFirst);
    if (merged.size() > static_cast<size_t>(kMaxMessagesInMemory))
      merged.resize(kMaxMessagesInMemory);
    list = std::move(merged);
    changed.insert(folderId);
  }
  // New rows raise the cached counts of the folders that show them; merged copies may have
  // moved between folders and are left to the next count.
  std::map<std::string, int64_t> counts;
  for (const auto& [folderId, delta] : countDeltas)
    if (auto cached = countCache_->get(folderId)) counts[folderId] = *cached + delta;
  countCache_->setMany(counts);
  log_line(log_kind::kSuccess, kComponent, "后台排序完成，通知UI更新");
  for (const auto& folderId : changed) notify(StoreChange::messages, folderId);
}

// ---- drafts ----

std::optional<SavedMessage> EmailStore::saveDraft(EmailMessage draft) {
  draft.isDraft = true;
  auto saved = saveMessage(draft);
  {
    std::lock_guard lock(draftsMutex_);
    deletedDraftIds_.erase(draft.id);
  }
  if (!saved) return saved;
  updateCachedCountOfFolder(saved->message.folderId);
  log_line(log_kind::kSuccess, kComponent,
           "草稿已保存: " + saved->message.subject + ", draftId=" + saved->message.id);
  return saved;
}

bool EmailStore::deleteDraft(const std::string& draftId) {
  const int64_t removed = database_.write([&](Connection& c) {
    auto s = c.prepare(sql::kDeleteDraft);
    s.bind_all(draftId, raw_value(EmailFolderType::drafts), EmailFolder::kLocalDraftsPath);
    s.run();
    return c.changes();
  });
  {
    std::lock_guard lock(draftsMutex_);
    deletedDraftIds_.insert(draftId);
  }
  log_line(log_kind::kSuccess, kComponent, "草稿已删除: draftId=" + draftId);
  if (removed > 0) {
    onMain([this, draftId] {
      std::vector<std::string> changed;
      for (auto& [folderId, list] : messages_)
        if (std::erase_if(list, [&](const EmailMessage& m) { return m.id == draftId; }) > 0)
          changed.push_back(folderId);
      for (const auto& folderId : changed) notify(StoreChange::messages, folderId);
    });
  }
  return removed > 0;
}

bool EmailStore::isDraftDeleted(const std::string& draftId) const {
  std::lock_guard lock(draftsMutex_);
  return deletedDraftIds_.contains(draftId);
}

std::set<std::string> EmailStore::deletedDraftIds() const {
  std::lock_guard lock(draftsMutex_);
  return deletedDraftIds_;
}

}  // namespace kestrova::store
