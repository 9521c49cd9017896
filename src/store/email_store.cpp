#include "store/email_store.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <set>
#include <unordered_map>

#include "platform/main_queue.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store_detail.h"
#include "store/email_store_sql.h"
#include "store/folder_message_count_cache.h"
#include "util/log.h"

namespace kestrova::store {

using detail::kComponent;

namespace {

const std::vector<EmailFolder> kNoFolders;
const std::vector<EmailMessage> kNoMessages;

}  // namespace

// A background thread of the store, joined when it has finished or when the store goes.
struct EmailStore::BackgroundTask {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> finished = std::make_shared<std::atomic<bool>>(false);
};

// ---- construction ----

EmailStore& EmailStore::shared() {
  static EmailStore* instance = [] {
    auto* store = new EmailStore(EmailDatabase::shared(), platform::SettingsStore::shared(),
                                 &FolderMessageCountCache::shared());  // lives until exit
    store->start();
    return store;
  }();
  return *instance;
}

EmailStore::EmailStore(EmailDatabase& database, platform::SettingsStore& settings)
    : EmailStore(database, settings, nullptr) {}

EmailStore::EmailStore(EmailDatabase& database, platform::SettingsStore& settings,
                       FolderMessageCountCache* sharedCache)
    : database_(database),
      settings_(settings),
      ownCountCache_(sharedCache ? nullptr : std::make_unique<FolderMessageCountCache>(settings)),
      countCache_(sharedCache ? sharedCache : ownCountCache_.get()),
      mainThread_(std::this_thread::get_id()) {}

EmailStore::~EmailStore() {
  alive_.reset();  // main-queue tasks still pending now do nothing
  // A task may start another one while we wait, so take turns until none is left.
  while (true) {
    std::vector<std::unique_ptr<BackgroundTask>> tasks;
    {
      std::lock_guard lock(tasksMutex_);
      tasks.swap(tasks_);
    }
    if (tasks.empty()) break;
    for (auto& task : tasks)
      if (task->thread.joinable()) task->thread.join();
  }
}

std::future<void> EmailStore::start() {
  // Ready when both the start-up task and the maintenance it starts have finished.
  struct Progress {
    std::atomic<int> running{2};
    std::promise<void> done;
  };
  // Counts one part as finished when it goes out of scope, also when the part failed.
  struct PartDone {
    std::shared_ptr<Progress> progress;
    ~PartDone() {
      if (--progress->running == 0) progress->done.set_value();
    }
  };
  auto progress = std::make_shared<Progress>();
  auto future = progress->done.get_future();
  runInBackground([this, progress] {
    PartDone startUp{progress};
    loadAccounts();
    loadFolders();
    migrateOrphanMessagesIfNeeded();
    migrateGmailSmtpPresets();
    // Compaction can take a while on a large file; the preload must not wait for it.
    runInBackground([this, progress] {
      PartDone maintenance{progress};
      runDailyMaintenanceIfDue();
    });
    preloadMessageCaches();
  });
  return future;
}

// ---- main-thread plumbing ----

bool EmailStore::onMainThread() const { return std::this_thread::get_id() == mainThread_; }

void EmailStore::onMain(std::function<void()> task) {
  if (onMainThread()) {
    task();
    return;
  }
  platform::MainQueue::post([alive = aliveToken_, task = std::move(task)] {
    if (alive.lock()) task();
  });
}

void EmailStore::notify(StoreChange change, const std::string& key) {
  // Copied, so that an observer may add or remove observers.
  auto observers = observers_;
  for (const auto& [token, observer] : observers) observer(change, key);
}

int EmailStore::addObserver(Observer observer) {
  const int token = nextObserverToken_++;
  observers_.emplace_back(token, std::move(observer));
  return token;
}

void EmailStore::removeObserver(int token) {
  std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void EmailStore::runInBackground(std::function<void()> task) {
  auto entry = std::make_unique<BackgroundTask>();
  std::lock_guard lock(tasksMutex_);
  // Reap the threads that are done, so a long run does not collect them.
  std::erase_if(tasks_, [](std::unique_ptr<BackgroundTask>& t) {
    if (!t->finished->load()) return false;
    t->thread.join();
    return true;
  });
  entry->thread = std::thread([task = std::move(task), finished = entry->finished] {
    try {
      task();
    } catch (const std::exception& e) {
      log_line(log_kind::kFailure, kComponent, std::string("后台任务失败: ") + e.what());
    } catch (...) {
      log_line(log_kind::kFailure, kComponent, "后台任务失败");
    }
    finished->store(true);
  });
  tasks_.push_back(std::move(entry));
}

// ---- observable state ----

const std::vector<EmailFolder>& EmailStore::foldersOf(std::string_view accountId) const {
  auto it = folders_.find(std::string(accountId));
  return it == folders_.end() ? kNoFolders : it->second;
}

std::optional<EmailFolder> EmailStore::folder(std::string_view folderId) const {
  for (const auto& [accountId, list] : folders_)
    for (const auto& f : list)
      if (f.id == folderId) return f;
  return std::nullopt;
}

const std::vector<EmailMessage>& EmailStore::messagesIn(std::string_view folderId) const {
  auto it = messages_.find(std::string(folderId));
  return it == messages_.end() ? kNoMessages : it->second;
}

void EmailStore::publishAccounts(std::vector<EmailAccount> accounts) {
  onMain([this, accounts = std::move(accounts)]() mutable {
    accounts_ = std::move(accounts);
    notify(StoreChange::accounts, "");
  });
}

void EmailStore::publishFolders(FolderLists folders) {
  onMain([this, folders = std::move(folders)]() mutable {
    std::vector<std::string> changed;
    for (const auto& [accountId, list] : folders_) changed.push_back(accountId);
    for (const auto& [accountId, list] : folders)
      if (!folders_.contains(accountId)) changed.push_back(accountId);
    folders_ = std::move(folders);
    for (const auto& accountId : changed) notify(StoreChange::folders, accountId);
  });
}

// ---- accounts ----

namespace {

void bindAccount(Statement& s, const EmailAccount& a) {
  s.bind_all(a.id, a.emailAddress, a.displayName, raw_value(a.serviceType), a.imapHost,
             a.imapPort, raw_value(a.imapEncryption), a.smtpHost, a.smtpPort,
             raw_value(a.smtpEncryption), a.isEnabled, a.isDefault, a.requiresBiometricUnlock,
             a.isPrivacyModeEnabled, a.lastSyncDate, raw_value(a.connectionStatus),
             a.passwordKeychainIdentifier, a.createdAt, a.updatedAt);
}

void bindFolder(Statement& s, const EmailFolder& f) {
  s.bind_all(f.id, f.accountId, f.name, raw_value(f.type), f.path, f.unreadCount, f.totalCount,
             f.lastSyncDate);
}

}  // namespace

void EmailStore::loadAccounts() {
  std::vector<EmailAccount> accounts;
  try {
    accounts = database_.read(detail::readAccounts);
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("加载账号失败: ") + e.what());
    accounts.clear();
  }
  publishAccounts(std::move(accounts));
}

void EmailStore::saveAccount(const EmailAccount& account) {
  database_.write([&](Connection& c) {
    auto s = c.prepare(sql::kSaveAccount);
    bindAccount(s, account);
    s.run();
  });
  onMain([this, account] {
    auto it = std::find_if(accounts_.begin(), accounts_.end(),
                           [&](const EmailAccount& a) { return a.id == account.id; });
    if (it == accounts_.end())
      accounts_.push_back(account);
    else
      *it = account;
    notify(StoreChange::accounts, "");
  });
}

void EmailStore::recordAccountSync(const std::string& accountId, double date) {
  database_.write([&](Connection& c) {
    auto s = c.prepare(sql::kSetAccountSyncDate);
    s.bind_all(date, accountId);
    s.run();
  });
  onMain([this, accountId, date] {
    for (auto& a : accounts_)
      if (a.id == accountId) a.lastSyncDate = date;
    notify(StoreChange::accounts, "");
  });
}

void EmailStore::deleteAccount(const std::string& accountId) {
  database_.write([&](Connection& c) {
    auto s = c.prepare(sql::kDeleteAccount);
    s.bind(1, accountId);
    s.run();
  });
  onMain([this, accountId] {
    std::erase_if(accounts_, [&](const EmailAccount& a) { return a.id == accountId; });
    std::vector<std::string> droppedLists;
    bool hadFolders = false;
    if (auto it = folders_.find(accountId); it != folders_.end()) {
      for (const auto& f : it->second)
        if (messages_.erase(f.id) > 0) droppedLists.push_back(f.id);
      folders_.erase(it);
      hadFolders = true;
    }
    notify(StoreChange::accounts, "");
    if (hadFolders) notify(StoreChange::folders, accountId);
    for (const auto& folderId : droppedLists) notify(StoreChange::messages, folderId);
  });
}

// ---- folders ----

void EmailStore::loadFolders() {
  FolderLists folders;
  try {
    folders = database_.read([](Connection& c) {
      FolderLists grouped;
      auto s = c.prepare(sql::kSelectFolders);
      while (s.step())
        if (auto f = EmailFolder::from_row(s)) grouped[f->accountId].push_back(std::move(*f));
      return grouped;
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("加载文件夹失败: ") + e.what());
    folders.clear();
  }
  publishFolders(std::move(folders));
}

void EmailStore::saveFolder(const EmailFolder& folder) { saveFolders({folder}); }

void EmailStore::saveFolders(const std::vector<EmailFolder>& folders) {
  if (folders.empty()) return;
  std::vector<EmailFolder> stored;
  stored.reserve(folders.size());
  for (const auto& folder : folders) stored.push_back(EmailFolder::make(folder));
  database_.write([&](Connection& c) { writeFoldersLocked(c, stored); });
  publishSavedFolders(std::move(stored));
}

void EmailStore::writeFoldersLocked(Connection& c, const std::vector<EmailFolder>& folders) {
  for (const auto& folder : folders) {
    auto s = c.prepare(sql::kSaveFolder);
    bindFolder(s, folder);
    s.run();
  }
}

void EmailStore::publishSavedFolders(std::vector<EmailFolder> stored) {
  onMain([this, stored = std::move(stored)]() mutable {
    std::set<std::string> changedAccounts;
    // Account -> folder id -> index in the account's list, built when first needed.
    std::map<std::string, std::unordered_map<std::string, size_t>> positions;
    for (auto& folder : stored) {
      auto& list = folders_[folder.accountId];
      auto& index = positions[folder.accountId];
      if (index.empty())
        for (size_t i = 0; i < list.size(); ++i) index.emplace(list[i].id, i);
      changedAccounts.insert(folder.accountId);
      if (auto it = index.find(folder.id); it != index.end()) {
        list[it->second] = std::move(folder);
        continue;
      }
      index.emplace(folder.id, list.size());
      list.push_back(std::move(folder));
    }
    for (const auto& accountId : changedAccounts) notify(StoreChange::folders, accountId);
  });
}

void EmailStore::deleteFolder(const std::string& folderId) {
  database_.write([&](Connection& c) {
    auto s = c.prepare(sql::kDeleteFolder);
    s.bind(1, folderId);
    s.run();
  });
  onMain([this, folderId] {
    std::vector<std::string> changedAccounts, changedLists;
    for (auto& [accountId, list] : folders_)
      if (std::erase_if(list, [&](const EmailFolder& f) { return f.id == folderId; }) > 0)
        changedAccounts.push_back(accountId);
    if (messages_.erase(folderId) > 0) changedLists.push_back(folderId);
    // Copies listed elsewhere (trash and spam show mail of any folder) lose their folder, as
    // the rows do.
    for (auto& [listId, list] : messages_) {
      bool changed = false;
      for (auto& m : list)
        if (m.folderId == folderId) {
          m.folderId.reset();
          changed = true;
        }
      if (changed) changedLists.push_back(listId);
    }
    for (const auto& accountId : changedAccounts) notify(StoreChange::folders, accountId);
    for (const auto& listId : changedLists) notify(StoreChange::messages, listId);
  });
}

}  // namespace kestrova::store
