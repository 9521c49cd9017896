// Maintenance passes of the mail store: the duplicate clean-up, the one-time orphan
// migration, the Gmail SMTP preset migration, the daily maintenance and the preload.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <map>
#include <set>
#include <tuple>

#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/email_store_detail.h"
#include "store/email_store_sql.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::store {

using detail::CleanupResult;
using detail::kComponent;

namespace {

// One stored row that may be a copy of another.
struct Candidate {
  std::string id;
  std::string accountId;
  std::string key;     // trimmed Message-ID, or the subject as stored
  std::string sender;  // from_email as stored
  double date = 0;
  bool isRead = false, isStarred = false, hasBeenReplied = false;
  bool hasBody = false, inFolder = false;

  // The row that stays: one with a body in an existing folder, else one in an existing
  // folder, else the smallest id.
  int rank() const { return inFolder ? (hasBody ? 0 : 1) : 2; }
};

bool keepFirst(const Candidate* a, const Candidate* b) {
  if (a->rank() != b->rank()) return a->rank() < b->rank();
  return a->id < b->id;
}

std::vector<Candidate> readCandidates(Connection& c, std::string_view query) {
  std::vector<Candidate> rows;
  auto s = c.prepare(query);
  while (s.step()) {
    Candidate r;
    r.id = s.text("id").value_or("");
    r.accountId = s.text("account_id").value_or("");
    r.key = s.text("dedup_key").value_or("");
    r.sender = s.text("from_email").value_or("");
    r.date = s.real("date").value_or(0);
    r.isRead = s.integer("is_read").value_or(0) != 0;
    r.isStarred = s.integer("is_starred").value_or(0) != 0;
    r.hasBeenReplied = s.integer("has_been_replied").value_or(0) != 0;
    r.hasBody = s.integer("has_body").value_or(0) != 0;
    r.inFolder = s.integer("in_folder").value_or(0) != 0;
    rows.push_back(std::move(r));
  }
  return rows;
}

using Group = std::vector<const Candidate*>;

// Rows with one trimmed Message-ID in one account (the query returns only repeated ones).
std::vector<Group> groupByMessageId(const std::vector<Candidate>& rows) {
  std::map<std::pair<std::string_view, std::string_view>, Group> groups;
  for (const auto& r : rows) groups[{r.accountId, r.key}].push_back(&r);
  std::vector<Group> out;
  for (auto& [key, group] : groups)
    if (group.size() > 1) out.push_back(std::move(group));
  return out;
}

// Rows without Message-ID: same account, trimmed lower-cased subject and lower-cased sender,
// and dates less than one second after the first row of the run.
std::vector<Group> groupBySubjectSenderAndDate(const std::vector<Candidate>& rows) {
  std::map<std::tuple<std::string, std::string, std::string>, Group> buckets;
  for (const auto& r : rows)
    buckets[{r.accountId, text::lower(text::trim(r.key)), text::lower(r.sender)}].push_back(&r);
  std::vector<Group> out;
  for (auto& [key, bucket] : buckets) {
    if (bucket.size() < 2) continue;
    std::sort(bucket.begin(), bucket.end(), [](const Candidate* a, const Candidate* b) {
      return std::tie(a->date, a->id) < std::tie(b->date, b->id);
    });
    Group run;
    for (const Candidate* r : bucket) {
      if (!run.empty() && r->date - run.front()->date >= 1) {
        if (run.size() > 1) out.push_back(run);
        run.clear();
      }
      run.push_back(r);
    }
    if (run.size() > 1) out.push_back(std::move(run));
  }
  return out;
}

// Keeps the best row of a group with the flags of all and a body if any copy had one, and
// deletes the others.
void settleGroup(Connection& c, Group group, CleanupResult& result) {
  std::sort(group.begin(), group.end(), keepFirst);
  const Candidate& kept = *group.front();
  CleanupResult::MergedFlags flags{kept.isRead, kept.isStarred, kept.hasBeenReplied};
  const Candidate* bodySource = nullptr;
  for (size_t i = 1; i < group.size(); ++i) {
    flags.isRead = flags.isRead || group[i]->isRead;
    flags.isStarred = flags.isStarred || group[i]->isStarred;
    flags.hasBeenReplied = flags.hasBeenReplied || group[i]->hasBeenReplied;
    if (!bodySource && group[i]->hasBody) bodySource = group[i];
  }
  if (flags.isRead != kept.isRead || flags.isStarred != kept.isStarred ||
      flags.hasBeenReplied != kept.hasBeenReplied) {
    auto s = c.prepare(sql::kMergeFlagsIntoKept);
    s.bind_all(flags.isRead, flags.isStarred, flags.hasBeenReplied, kept.id);
    s.run();
  }
  if (!kept.hasBody && bodySource) {
    auto s = c.prepare(sql::kTakeBodyFromCopy);
    s.bind_all(bodySource->id, kept.id);
    s.run();
  }
  result.keptFlags[kept.id] = flags;
  for (size_t i = 1; i < group.size(); ++i) {
    auto s = c.prepare(sql::kDeleteMessage);
    s.bind(1, group[i]->id);
    s.run();
    result.removed += c.changes();
    result.removedIds.insert(group[i]->id);
  }
}

}  // namespace

// ---- duplicate clean-up ----

CleanupResult EmailStore::cleanupDuplicatesLocked(Connection& c) {
  CleanupResult result;
  const auto byMessageId = readCandidates(c, sql::kDuplicateCandidatesByMessageId);
  const auto withoutMessageId = readCandidates(c, sql::kDuplicateCandidatesWithoutMessageId);
  for (auto& group : groupByMessageId(byMessageId)) settleGroup(c, std::move(group), result);
  for (auto& group : groupBySubjectSenderAndDate(withoutMessageId)) settleGroup(c, std::move(group), result);
  return result;
}

void EmailStore::applyCleanupInMemory(const CleanupResult& result) {
  if (result.removedIds.empty()) return;
  onMain([this, result] {
    std::vector<std::string> changed;
    for (auto& [folderId, list] : messages_) {
      const size_t before = list.size();
      std::erase_if(list, [&](const EmailMessage& m) { return result.removedIds.contains(m.id); });
      bool touched = list.size() != before;
      for (auto& m : list) {
        auto it = result.keptFlags.find(m.id);
        if (it == result.keptFlags.end()) continue;
        m.isRead = it->second.isRead;
        m.isStarred = it->second.isStarred;
        m.hasBeenReplied = it->second.hasBeenReplied;
        touched = true;
      }
      if (touched) changed.push_back(folderId);
    }
    for (const auto& folderId : changed) notify(StoreChange::messages, folderId);
  });
}

int64_t EmailStore::cleanupDuplicateMessages() {
  auto result = database_.write([this](Connection& c) { return cleanupDuplicatesLocked(c); });
  applyCleanupInMemory(result);
  return result.removed;
}

// ---- one-time orphan migration ----

bool EmailStore::migrateOrphanMessagesIfNeeded() {
  if (settings_.boolean(kDidMigrateOrphanMessagesKey).value_or(false)) return true;
  try {
    int64_t deleted = 0, moved = 0;
    auto cleanup = database_.write([&](Connection& c) {
      c.prepare(sql::kDeletePlacedTwinsOfOrphans).run();
      deleted = c.changes();
      c.prepare(sql::kMoveOrphansToInbox).run();
      moved = c.changes();
      return cleanupDuplicatesLocked(c);
    });
    applyCleanupInMemory(cleanup);
    settings_.set(kDidMigrateOrphanMessagesKey, true);
    log_line(log_kind::kSuccess, kComponent,
             "孤儿邮件迁移完成：删除重复 " + std::to_string(deleted) + " 封，归位 INBOX " +
                 std::to_string(moved) + " 封，二次去重 " + std::to_string(cleanup.removed));
    return true;
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("孤儿邮件迁移失败: ") + e.what());
    return false;
  }
}

// ---- Gmail SMTP preset ----

int EmailStore::migrateGmailSmtpPresets() {
  log_line("🔧", kComponent, "开始检查 Gmail SMTP 配置迁移...");
  std::vector<EmailAccount> accounts;
  try {
    accounts = database_.read(detail::readAccounts);
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("Gmail 账号迁移失败: ") + e.what());
    return 0;
  }
  const auto preset = smtp_preset(EmailServiceType::gmail);
  if (!preset) return 0;
  std::vector<EmailAccount> due;
  for (const auto& a : accounts) {
    log_line("🔧", kComponent,
             "检查账号: " + a.emailAddress + ", serviceType=" + std::string(raw_value(a.serviceType)) +
                 ", smtpHost=" + a.smtpHost + ", smtpPort=" + std::to_string(a.smtpPort));
    if (a.serviceType == EmailServiceType::gmail && a.smtpHost == preset->host && a.smtpPort == 587) {
      log_line("🔧", kComponent, "发现需要迁移的 Gmail 账号: " + a.emailAddress);
      due.push_back(a);
    }
  }
  log_line("🔧", kComponent, "需要迁移的账号数量: " + std::to_string(due.size()));
  int migrated = 0;
  for (const auto& before : due) {
    try {
      EmailAccount account = before;
      account.smtpPort = preset->port;
      account.smtpEncryption = preset->encryption;
      account.updatedAt = now_seconds();
      saveAccount(account);
      ++migrated;
      log_line(log_kind::kSuccess, kComponent,
               "Gmail 账号 SMTP 配置已迁移: " + account.emailAddress + " serviceType=" +
                   std::string(raw_value(account.serviceType)) + ", smtpHost=" + account.smtpHost +
                   ", smtpPort=" + std::to_string(before.smtpPort) + ", smtpEncryption=" +
                   std::string(raw_value(before.smtpEncryption)) + " -> 465+SSL");
    } catch (const std::exception& e) {
      log_line(log_kind::kFailure, kComponent, std::string("Gmail 账号迁移失败: ") + e.what());
    }
  }
  if (migrated > 0) {
    loadAccounts();
    log_line(log_kind::kSuccess, kComponent, "账号列表已重新加载");
  }
  return migrated;
}

// ---- daily maintenance ----

void EmailStore::runDailyMaintenanceIfDue() {
  auto due = [&](std::string_view key) {
    auto last = settings_.real(key);
    return !last || now_seconds() - *last > kMaintenanceInterval;
  };
  if (due(kLastDuplicateCleanupDateKey)) {
    try {
      const int64_t removed = cleanupDuplicateMessages();
      settings_.set(kLastDuplicateCleanupDateKey, now_seconds());
      log_line("🧹", kComponent, "后台已清理 " + std::to_string(removed) + " 封重复邮件");
    } catch (const std::exception& e) {
      log_line(log_kind::kWarning, kComponent, std::string("后台清理重复邮件失败: ") + e.what());
    }
  }
  if (due(kLastSqliteVacuumDateKey)) {
    try {
      database_.vacuum();
      settings_.set(kLastSqliteVacuumDateKey, now_seconds());
    } catch (const std::exception& e) {
      log_line(log_kind::kWarning, kComponent, std::string("后台压缩数据库失败: ") + e.what());
    }
  }
}

// ---- preload ----

void EmailStore::preloadMessageCaches() {
  log_line("📦", kComponent, "开始预加载邮件缓存...");
  const auto start = std::chrono::steady_clock::now();
  std::vector<EmailFolder> inboxes;
  try {
    inboxes = database_.read([](Connection& c) {
      std::vector<EmailFolder> rows;
      auto s = c.prepare(sql::kSelectFolders);
      while (s.step())
        if (auto f = EmailFolder::from_row(s); f && f->type == EmailFolderType::inbox)
          rows.push_back(std::move(*f));
      return rows;
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("加载文件夹失败: ") + e.what());
  }
  for (const auto& inbox : inboxes) {
    auto page = loadMessages(inbox, kFirstPageSize, 0);
    log_line("📦", kComponent, "预加载 [" + inbox.name + "] " + std::to_string(page.size()) + " 封邮件");
    onMain([this, folderId = inbox.id, page = std::move(page)]() mutable {
      // A folder the interface loaded in the meantime keeps its list.
      auto& list = messages_[folderId];
      if (!list.empty()) return;
      list = std::move(page);
      notify(StoreChange::messages, folderId);
    });
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.2f", seconds);
  log_line("📦", kComponent, std::string("邮件缓存预加载完成，总计: ") + elapsed + "s");
}

}  // namespace kestrova::store
