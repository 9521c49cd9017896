// Reads of the mail store: folder pages and counts, the deduplicated cross-folder lists,
// body-fetch resolution, the inbox exclusion and the draft reads.

#include <algorithm>
#include <exception>
#include <map>
#include <set>

#include "store/database.h"
#include "store/email_store.h"
#include "store/email_store_detail.h"
#include "store/email_store_sql.h"
#include "store/folder_message_count_cache.h"
#include "util/log.h"
#include "util/text.h"

namespace kestrova::store {

using detail::kComponent;

// ---- shared helpers ----

bool detail::hasBody(const EmailMessage& m) {
  return m.isBodyLoaded || (m.textBody && !m.textBody->empty()) || (m.htmlBody && !m.htmlBody->empty());
}

bool detail::belongsInFolderList(const EmailFolder& folder, const EmailMessage& m) {
  switch (folder.type) {
    case EmailFolderType::trash:
      return m.accountId == folder.accountId && (m.folderId == folder.id || m.isDeleted);
    case EmailFolderType::spam:
      return m.accountId == folder.accountId && !m.isDeleted && (m.folderId == folder.id || m.isSpam);
    case EmailFolderType::inbox:
    case EmailFolderType::sent:
    case EmailFolderType::drafts:
    case EmailFolderType::archive:
    case EmailFolderType::custom:
      break;
  }
  return m.folderId == folder.id && !m.isDeleted && !m.isSpam;
}

std::vector<EmailAccount> detail::readAccounts(Connection& c) {
  std::vector<EmailAccount> rows;
  auto s = c.prepare(sql::kSelectAccounts);
  while (s.step())
    if (auto account = EmailAccount::from_row(s)) rows.push_back(std::move(*account));
  return rows;
}

std::vector<EmailAttachment> detail::readAttachments(Connection& c, const std::string& messageId) {
  auto s = c.prepare(sql::kSelectAttachments);
  s.bind(1, messageId);
  std::vector<EmailAttachment> attachments;
  while (s.step())
    if (auto a = EmailAttachment::from_row(s)) attachments.push_back(std::move(*a));
  return attachments;
}

std::vector<EmailMessage> detail::readMessages(Connection& c, Statement& s, bool withAttachments) {
  std::vector<EmailMessage> messages;
  while (s.step())
    if (auto m = EmailMessage::from_row(s)) messages.push_back(std::move(*m));
  if (withAttachments)
    for (auto& m : messages) m.attachments = readAttachments(c, m.id);
  return messages;
}

namespace {

void bindFolderCondition(Statement& s, const EmailFolder& folder) {
  if (sql::folderConditionTakesAccount(folder.type))
    s.bind_all(folder.accountId, folder.id);
  else
    s.bind(1, folder.id);
}

int folderConditionArguments(const EmailFolder& folder) {
  return sql::folderConditionTakesAccount(folder.type) ? 2 : 1;
}

std::optional<bool> readAggregate(const Statement& s, std::string_view column) {
  auto value = s.integer(column);
  if (!value) return std::nullopt;
  return *value != 0;
}

// Rows of the deduplicated lists carry the flags of all copies next to the picked row.
std::vector<EmailMessage> readAggregateRows(Statement& s) {
  std::vector<EmailMessage> messages;
  while (s.step()) {
    auto m = EmailMessage::from_row(s);
    if (!m) continue;
    m->isRead = readAggregate(s, "agg_is_read").value_or(m->isRead);
    m->isStarred = readAggregate(s, "agg_is_starred").value_or(m->isStarred);
    m->hasBeenReplied = readAggregate(s, "agg_has_been_replied").value_or(m->hasBeenReplied);
    m->hasAttachments = readAggregate(s, "agg_has_attachments").value_or(m->hasAttachments);
    messages.push_back(std::move(*m));
  }
  return messages;
}

// SQLite's default limit on bound values is 32766; the inbox batches stay far below it in
// chunks of this size.
constexpr size_t kMessageIdsPerQuery = 500;

}  // namespace

// ---- one folder ----

std::vector<EmailMessage> EmailStore::readFolderPage(const EmailFolder& folder, int limit, int offset) {
  return database_.read([&](Connection& c) {
    auto s = c.prepare(sql::folderPage(folder.type));
    bindFolderCondition(s, folder);
    const int next = folderConditionArguments(folder) + 1;
    s.bind(next, limit);
    s.bind(next + 1, offset);
    return detail::readMessages(c, s, true);
  });
}

std::vector<EmailMessage> EmailStore::loadMessages(const EmailFolder& folder, int limit, int offset) {
  try {
    return readFolderPage(folder, limit, offset);
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("加载邮件失败: ") + e.what());
    return {};
  }
}

std::optional<int64_t> EmailStore::countFolder(const EmailFolder& folder) {
  try {
    return database_.read([&](Connection& c) -> int64_t {
      auto s = c.prepare(sql::folderCount(folder.type));
      bindFolderCondition(s, folder);
      return s.step() ? s.integer(0).value_or(0) : 0;
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, std::string("获取文件夹邮件数量失败: ") + e.what());
    return std::nullopt;
  }
}

int64_t EmailStore::getFolderMessageCount(const EmailFolder& folder) {
  if (auto count = countFolder(folder)) {
    countCache_->set(folder.id, *count);
    return *count;
  }
  if (auto cached = countCache_->get(folder.id); cached && *cached > 0) return *cached;
  // The loaded list belongs to the main thread; elsewhere there is nothing more to offer.
  if (onMainThread()) return static_cast<int64_t>(messagesIn(folder.id).size());
  return 0;
}

EmailFolder EmailStore::saveFolderWithCountLocked(Connection& c, const EmailFolder& folder) {
  EmailFolder counted = EmailFolder::make(folder);
  {
    auto s = c.prepare(sql::folderCount(counted.type));
    bindFolderCondition(s, counted);
    counted.totalCount = s.step() ? s.integer(0).value_or(0) : 0;
  }
  writeFoldersLocked(c, {counted});
  return counted;
}

void EmailStore::publishFolderWithCount(const EmailFolder& folder) {
  countCache_->set(folder.id, folder.totalCount);
  publishSavedFolders({folder});
}

FolderMessageCountCache::DeferredWrites EmailStore::deferCountCacheWrites() {
  return FolderMessageCountCache::DeferredWrites(*countCache_);
}

void EmailStore::refreshAllFolderCounts() {
  try {
    auto counts = database_.read([](Connection& c) {
      std::vector<EmailFolder> folders;
      auto s = c.prepare(sql::kSelectFolders);
      while (s.step())
        if (auto f = EmailFolder::from_row(s)) folders.push_back(std::move(*f));
      std::map<std::string, int64_t> result;
      for (const auto& folder : folders) {
        auto count = c.prepare(sql::folderCount(folder.type));
        bindFolderCondition(count, folder);
        result[folder.id] = count.step() ? count.integer(0).value_or(0) : 0;
      }
      return result;
    });
    countCache_->setMany(counts);
    log_line(log_kind::kStatistics, kComponent,
             "已从数据库刷新 " + std::to_string(counts.size()) + " 个文件夹的邮件数量");
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, std::string("刷新文件夹数量失败: ") + e.what());
  }
}

void EmailStore::updateCachedCountOfFolder(const std::optional<std::string>& folderId) {
  if (!folderId) return;
  std::optional<EmailFolder> stored;
  try {
    stored = database_.read([&](Connection& c) -> std::optional<EmailFolder> {
      auto s = c.prepare(sql::kSelectFolder);
      s.bind(1, *folderId);
      if (!s.step()) return std::nullopt;
      return EmailFolder::from_row(s);
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, std::string("获取文件夹邮件数量失败: ") + e.what());
    return;
  }
  if (stored) getFolderMessageCount(*stored);
}

std::future<void> EmailStore::loadFolderMessages(const EmailFolder& folder) {
  std::promise<void> ready;
  auto future = ready.get_future();
  if (const auto& loaded = messagesIn(folder.id); !loaded.empty()) {
    log_line("📦", kComponent, "文件夹 " + folder.name + " 已有 " + std::to_string(loaded.size()) +
                                   " 封邮件，跳过加载");
    ready.set_value();
    return future;
  }
  std::vector<EmailMessage> first;
  try {
    first = readFolderPage(folder, kFirstPageSize, 0);
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("加载邮件失败: ") + e.what());
    ready.set_value();
    return future;
  }
  const auto total = countFolder(folder);
  if (total) countCache_->set(folder.id, *total);
  const size_t firstCount = first.size();
  const bool more = total ? *total > static_cast<int64_t>(firstCount)
                          : firstCount == static_cast<size_t>(kFirstPageSize);
  onMain([this, folderId = folder.id, first = std::move(first)]() mutable {
    messages_[folderId] = std::move(first);
    notify(StoreChange::messages, folderId);
  });
  log_line("📦", kComponent,
           "加载完成: " + std::to_string(firstCount) + "，数据库总数: " +
               (total ? std::to_string(*total) : std::string("?")) + "，还有更多: " + (more ? "true" : "false"));
  if (!more) {
    ready.set_value();
    return future;
  }
  auto done = std::make_shared<std::promise<void>>(std::move(ready));
  runInBackground([this, folder, done] {
    try {
      auto rest = readFolderPage(folder, kMaxMessagesInMemory - kFirstPageSize, kFirstPageSize);
      onMain([this, folderId = folder.id, rest = std::move(rest)]() mutable {
        auto& list = messages_[folderId];
        std::set<std::string, std::less<>> present;
        for (const auto& m : list) present.insert(m.id);
        size_t added = 0;
        for (auto& m : rest) {
          if (list.size() >= static_cast<size_t>(kMaxMessagesInMemory)) break;
          if (present.contains(m.id)) continue;
          list.push_back(std::move(m));
          ++added;
        }
        log_line("📦", kComponent, "后台加载完成，新增: " + std::to_string(added));
        if (added > 0) notify(StoreChange::messages, folderId);
      });
    } catch (const std::exception& e) {
      log_line(log_kind::kFailure, kComponent, std::string("后台加载剩余邮件失败: ") + e.what());
    }
    done->set_value();
  });
  return future;
}

// ---- deduplicated lists ----

std::vector<EmailMessage> EmailStore::fetchAggregateMessagesFromDatabase(const std::string& accountId,
                                                                        int limit) {
  try {
    return database_.read([&](Connection& c) {
      auto s = c.prepare(sql::aggregateList(std::nullopt));
      s.bind_all(accountId, limit);
      return readAggregateRows(s);
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, std::string("fetchAggregateMessagesFromDatabase 失败: ") + e.what());
    return {};
  }
}

std::vector<EmailMessage> EmailStore::fetchVirtualFolderMessagesFromDatabase(EmailVirtualFolderKind kind,
                                                                            const std::string& accountId,
                                                                            int limit) {
  try {
    return database_.read([&](Connection& c) {
      auto s = c.prepare(sql::aggregateList(kind));
      s.bind_all(accountId, limit);
      return readAggregateRows(s);
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent,
             std::string("fetchVirtualFolderMessagesFromDatabase 失败: ") + e.what());
    return {};
  }
}

std::future<int64_t> EmailStore::getTotalMessageCountAsync(const std::string& accountId) {
  return std::async(std::launch::async, [this, accountId]() -> int64_t {
    try {
      return database_.read([&](Connection& c) -> int64_t {
        auto s = c.prepare(sql::aggregateCount(std::nullopt));
        s.bind(1, accountId);
        return s.step() ? s.integer(0).value_or(0) : 0;
      });
    } catch (const std::exception& e) {
      log_line(log_kind::kWarning, kComponent, std::string("getTotalMessageCountAsync 失败: ") + e.what());
      return 0;
    }
  });
}

int64_t EmailStore::getVirtualFolderMessageCount(EmailVirtualFolderKind kind, const std::string& accountId) {
  try {
    return database_.read([&](Connection& c) -> int64_t {
      auto s = c.prepare(sql::aggregateCount(kind));
      s.bind(1, accountId);
      return s.step() ? s.integer(0).value_or(0) : 0;
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, std::string("getVirtualFolderMessageCount 失败: ") + e.what());
    return 0;
  }
}

// ---- body download ----

std::optional<EmailMessage> EmailStore::resolveMessageForBodyFetch(const EmailMessage& message) {
  auto first = [](Connection& c, Statement& s) -> std::optional<EmailMessage> {
    auto rows = detail::readMessages(c, s, true);
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front());
  };
  try {
    return database_.read([&](Connection& c) -> std::optional<EmailMessage> {
      {
        auto s = c.prepare(sql::kBodyFetchById);
        s.bind_all(message.id, message.accountId);
        if (auto found = first(c, s)) return found;
      }
      const std::string messageId = message.messageId ? text::trim(*message.messageId) : std::string();
      if (!messageId.empty()) {
        auto s = c.prepare(sql::kBodyFetchByMessageId);
        s.bind_all(message.accountId, messageId);
        return first(c, s);
      }
      auto s = c.prepare(sql::kBodyFetchBySubject);
      s.bind_all(message.accountId, sql::identitySubject(message.subject),
                 sql::identitySender(message.from.email), message.date);
      return first(c, s);
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, std::string("resolveMessageForBodyFetch 失败: ") + e.what());
    return std::nullopt;
  }
}

// ---- inbox fetch ----

std::vector<EmailMessage> EmailStore::excludeMessagesStoredInOtherFolders(const std::string& accountId,
                                                                          const std::string& inboxFolderId,
                                                                          std::vector<EmailMessage> fetched) {
  std::vector<std::string> ids;
  for (const auto& m : fetched)
    if (m.messageId && !m.messageId->empty()) ids.push_back(*m.messageId);
  if (ids.empty()) return fetched;
  std::set<std::string, std::less<>> elsewhere;
  try {
    database_.read([&](Connection& c) {
      for (size_t start = 0; start < ids.size(); start += kMessageIdsPerQuery) {
        const size_t count = std::min(kMessageIdsPerQuery, ids.size() - start);
        auto s = c.prepare(sql::messageIdsInOtherFolders(count));
        s.bind(1, accountId);
        s.bind(2, inboxFolderId);
        for (size_t i = 0; i < count; ++i) s.bind(static_cast<int>(i) + 3, ids[start + i]);
        while (s.step())
          if (auto id = s.text(0)) elsewhere.insert(std::move(*id));
      }
    });
  } catch (const std::exception& e) {
    // Without the answer nothing is left out: showing a message twice beats losing it.
    log_line(log_kind::kWarning, kComponent, std::string("收件箱拉取剔除检查失败: ") + e.what());
    return fetched;
  }
  if (elsewhere.empty()) return fetched;
  const size_t before = fetched.size();
  std::erase_if(fetched, [&](const EmailMessage& m) { return m.messageId && elsewhere.contains(*m.messageId); });
  log_line("🚫", kComponent,
           "收件箱拉取剔除 " + std::to_string(before - fetched.size()) + " 封已归档到其它文件夹的邮件");
  return fetched;
}

// ---- drafts ----

std::vector<EmailMessage> EmailStore::fetchDrafts(const std::string& accountId) {
  try {
    return database_.read([&](Connection& c) {
      auto s = c.prepare(sql::kSelectDrafts);
      s.bind_all(accountId, raw_value(EmailFolderType::drafts), EmailFolder::kLocalDraftsPath);
      return detail::readMessages(c, s, true);
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("获取草稿列表失败: ") + e.what());
    return {};
  }
}

std::optional<EmailMessage> EmailStore::loadDraft(const std::string& draftId) {
  try {
    return database_.read([&](Connection& c) -> std::optional<EmailMessage> {
      auto s = c.prepare(sql::kSelectDraft);
      s.bind_all(draftId, raw_value(EmailFolderType::drafts), EmailFolder::kLocalDraftsPath);
      auto rows = detail::readMessages(c, s, true);
      if (rows.empty()) return std::nullopt;
      return std::move(rows.front());
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("加载草稿失败: ") + e.what());
    return std::nullopt;
  }
}

bool EmailStore::isDraftsFolder(const std::string& folderId) {
  try {
    return database_.read([&](Connection& c) {
      auto s = c.prepare(sql::kSelectFolderTypeAndPath);
      s.bind(1, folderId);
      if (!s.step()) return false;
      return s.text("type") == raw_value(EmailFolderType::drafts) ||
             s.text("path") == EmailFolder::kLocalDraftsPath;
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, std::string("读取文件夹类型失败: ") + e.what());
    return false;
  }
}

}  // namespace kestrova::store
