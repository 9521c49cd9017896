// `kestrova run`: opens the database, loads the accounts, registers the notification
// category, and starts the background services of the interactive application (badge,
// IDLE watchers and background receive for every enabled account, the action-item wake-up,
// follow-up scans, snooze expiry, scheduled sending, automatic replies, sleep and wake
// handling) on a GLib main loop.

#include "app/core/service/mail_service_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "app/core/ai_mail_services.h"
#include "app/core/service/body_prefetch_worker.h"
#include "app/core/writing/draft_upload.h"
#include "app/core/service/email_auto_reply_service.h"
#include "app/core/email_deep_link.h"
#include "app/core/service/email_dock_badge_service.h"
#include "app/core/service/email_notification_service.h"
#include "app/core/service/email_scheduled_send_service.h"
#include "app/core/mailbox/id_prefix.h"
#include "app/core/service/incoming_mail_filter.h"
#include "app/core/service/notification_center.h"
#include "app/core/service/server_change_replayer.h"
#include "app/core/service/service_files.h"
#include "app/core/user_preferences.h"
#include "mail/email_background_receive_service.h"
#include "mail/email_idle_service.h"
#include "mail/email_service.h"
#include "mail/email_sync_flow.h"
#include "platform/cancellation.h"
#include "platform/desktop_notifier.h"
#include "platform/desktop_open.h"
#include "platform/launcher_entry.h"
#include "platform/main_loop_sources.h"
#include "platform/main_queue.h"
#include "platform/paths.h"
#include "platform/repeating_timer.h"
#include "platform/settings_store.h"
#include "platform/sleep_wake_notifier.h"
#include "rules/email_rule_engine.h"
#include "store/database.h"
#include "store/email_action_store.h"
#include "store/email_follow_up_service.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "store/snooze_service.h"
#include "util/json.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/time.h"
#include "util/work_group.h"

namespace kestrova::app {

namespace {

using store::EmailAccount;
using store::EmailFolder;
using IdleStatus = mail::EmailIdleService::IdleStatus;

constexpr std::string_view kComponent = "MailService";
// How often the service looks for changes other processes made: accounts added, removed,
// enabled or disabled through the command line, mail read by the tool server, the badge
// switch. Each look is one small query and one stat of the settings file.
constexpr std::chrono::seconds kReconcileInterval{2};
// At exit, the longest wait for server moves started by the rules.
constexpr std::chrono::milliseconds kServerMoveWait{1000};

std::filesystem::path lock_path() { return service_state_directory() / "service.lock"; }
std::filesystem::path status_path() { return service_state_directory() / "service-status.json"; }

// The pid of the process holding the service lock on `fd`, or nothing. An open-file-
// description lock does not tell its owner: the holder wrote its pid into the file.
std::optional<int> lock_holder(int fd) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) return std::nullopt;
  if (probe.l_pid > 0) return static_cast<int>(probe.l_pid);  // a process-owned record lock
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  const int pid = n > 0 ? std::atoi(text) : 0;
  return pid > 0 ? std::optional<int>(pid) : std::optional<int>(-1);
}

std::vector<EmailAccount> read_accounts(store::EmailDatabase& database) {
  return database.read([](store::Connection& c) {
    std::vector<EmailAccount> accounts;
    auto s = c.prepare("SELECT * FROM email_accounts");
    while (s.step())
      if (auto account = EmailAccount::from_row(s)) accounts.push_back(std::move(*account));
    return accounts;
  });
}

std::vector<EmailFolder> read_folders(store::EmailDatabase& database,
                                      const std::string& accountId) {
  return database.read([&](store::Connection& c) {
    std::vector<EmailFolder> folders;
    auto s = c.prepare("SELECT * FROM email_folders WHERE account_id = ?");
    s.bind_all(accountId);
    while (s.step())
      if (auto folder = EmailFolder::from_row(s)) folders.push_back(std::move(*folder));
    return folders;
  });
}

// What `kestrova run` prints on standard output: one short line per event (started, an
// account connected or failing, new mail, stopped). Accounts are named by their short id,
// and by their address only with -v (the diagnostic log then goes to standard error); no
// subject or body is ever printed. The full log is in the log file. Main thread only.
class ServiceEvents {
 public:
  ServiceEvents(bool verbose, bool printing) : verbose_(verbose), printing_(printing) {}

  void print(const std::string& line) const {
    if (printing_) std::cout << line << std::endl;
  }
  std::string accountName(const EmailAccount& account) const {
    return verbose_ ? escaped_log_value(account.emailAddress) : short_id(account.id);
  }
  // Prints a connected or failed line when the account's state changed.
  void accountReached(const EmailAccount& account, bool ok) {
    auto [it, added] = reached_.try_emplace(account.id, ok);
    if (!added && it->second == ok) return;
    it->second = ok;
    print(localized_format(ok ? "service.event.account_connected" : "service.event.account_failed",
                           accountName(account)));
  }

 private:
  bool verbose_;
  bool printing_;
  std::map<std::string, bool> reached_;  // account id → last outcome
};

// SQLite's count of commits made by other connections to the file.
int64_t data_version(store::EmailDatabase& database) {
  return database.read([](store::Connection& c) {
    auto s = c.prepare("PRAGMA data_version");
    s.step();
    return s.integer(0).value_or(0);
  });
}

// The road of new mail for the background receiver, built on its thread: a mail store of
// that thread, the sync flow, and the same incoming-mail filter as `kestrova sync`. Once a
// sync has stored its batches, the messages that were new to the store are offered to the
// background AI analysis as they are stored now.
class IncomingRoad : public mail::EmailBackgroundReceiveService::Road {
 public:
  IncomingRoad(store::EmailDatabase& database, mail::EmailService& service,
               UserPreferences& preferences, ai::EmailAIBackgroundService& analysis)
      : store_(database, platform::SettingsStore::shared()),
        flow_(store_, service),
        filter_(store_, preferences),
        analysis_(analysis) {
    filter_.attachTo(flow_);
    // After the filter: a message it dropped never reaches the store.
    flow_.incomingHooks.push_back(
        [this](const EmailAccount&, std::vector<store::EmailMessage>& batch) {
          for (const auto& message : batch) arrived_.push_back(message.id);
        });
    scripts_.start();
  }
  store::EmailStore& store() override { return store_; }
  mail::EmailSyncFlow& flow() override { return flow_; }
  void afterSync() override {
    filter_.startServerMoves();
    offerForAnalysis();
  }

 private:
  void offerForAnalysis() {
    if (arrived_.empty()) return;
    std::vector<store::EmailMessage> stored;
    try {
      stored = store_.database().read([&](store::Connection& c) {
        std::vector<store::EmailMessage> messages;
        for (const auto& id : arrived_)
          if (auto message = store::read_stored_message(c, id))
            messages.push_back(std::move(*message));
        return messages;
      });
    } catch (const std::exception& e) {
      log_line(log_kind::kWarning, kComponent, std::string("读取新邮件失败: ") + e.what());
    }
    arrived_.clear();
    analysis_.enqueue(stored);
  }

  store::EmailStore store_;
  mail::EmailSyncFlow flow_;
  IncomingMailFilter filter_;
  ai::EmailAIBackgroundService& analysis_;
  std::vector<std::string> arrived_;  // ids of the messages new to the store since the last sync
  rules::EmailRuleEngine scripts_;
};

// Who runs the service: the command (`kestrova run`, stopped by its signals, printing its
// events) or another program on a thread of its own (stopped by its owner, printing nothing).
enum class ServiceHost { command, thread };

class MailServiceRunner {
 public:
  MailServiceRunner(bool verbose, ServiceHost host)
      : events_(verbose, host == ServiceHost::command),
        host_(host),
        database_(store::EmailDatabase::shared()),
        store_(store::EmailStore::shared()),
        preferences_(UserPreferences::shared()),
        service_(mail::EmailService::shared()),
        notifications_(preferences_, notifier_),
        badge_(preferences_, database_, launcher_),
        prefetch_(database_, service_, preferences_),
        idle_(service_, [this](const EmailAccount& account) { return inboxOf(account); },
              {.post = [](std::string_view name,
                          const Json& info) { NotificationCenter::shared().post(name, info); },
               .sleep = {}}),
        analysis_(background_analysis_environment(store_, preferences_)),
        receiver_(
            service_,
            [this] {
              return std::make_unique<IncomingRoad>(database_, service_, preferences_, analysis_);
            },
            [this] {
              std::lock_guard lock(accountsLock_);
              return enabled_;
            },
            [this](const EmailAccount& account, const std::vector<store::EmailMessage>& arrived) {
              platform::MainQueue::post([this, account, arrived] {
                if (!arrived.empty())
                  events_.print(localized_format("service.event.new_messages",
                                                 events_.accountName(account),
                                                 static_cast<int64_t>(arrived.size())));
                for (const auto& message : arrived) notifications_.notify(message);
              });
            },
            {.clock = {},
             .pollInterval = mail::EmailBackgroundReceiveService::kPollInterval,
             .received = [this](const EmailAccount& account, double at, bool ok) {
               if (ok) prefetch_.request(account);
               platform::MainQueue::post([this, account, at, ok] {
                 const std::string& id = account.id;
                 events_.accountReached(account, ok);
                 if (ok) lastReceive_[id] = at;
                 // A watcher waiting to retry (a new account's inbox was not stored yet)
                 // starts over now that the receive has stored the folders.
                 if (ok && !asleep_ && watched_.contains(id) &&
                     idle_.status(id) == IdleStatus::reconnecting) {
                   idle_.stopWatching(id);
                   idle_.startWatching(account);
                 }
                 badge_.storeChanged();
                 writeStatus();
                 if (ok && autoReply_) autoReply_->process("poll");
               });
             }}) {}

  int run();

 private:
  std::optional<EmailFolder> inboxOf(const EmailAccount& account) {
    for (auto& folder : read_folders(database_, account.id))
      if (folder.type == store::EmailFolderType::inbox && !folder.isLocalPseudoFolder())
        return folder;
    return std::nullopt;
  }
  void reconcile();
  void uploadDrafts();
  void startWatchers();
  void writeStatus();
  void onAction(const EmailNotificationService::ActionChoice& choice);
  void markReadEverywhere(const std::string& messageId);

  ServiceEvents events_;  // main thread only
  ServiceHost host_;
  store::EmailDatabase& database_;
  store::EmailStore& store_;
  UserPreferences& preferences_;
  mail::EmailService& service_;
  // Before the services whose threads read them, so that they outlive those threads.
  std::mutex accountsLock_;
  std::vector<EmailAccount> enabled_;  // guarded by accountsLock_; read by the receiver
  platform::DesktopNotifier notifier_;
  platform::LauncherEntry launcher_;
  EmailNotificationService notifications_;
  EmailDockBadgeService badge_;
  BodyPrefetchWorker prefetch_;
  mail::EmailIdleService idle_;
  // Before the receiver, whose road feeds it.
  ai::EmailAIBackgroundService analysis_;
  mail::EmailBackgroundReceiveService receiver_;
  platform::SleepWakeNotifier sleepWake_;

  // Main thread only:
  std::map<std::string, EmailAccount> watched_;
  std::map<std::string, double> lastReceive_;
  // Automatic replies after each receive; set while run() runs (main thread only).
  EmailAutoReplyService* autoReply_ = nullptr;
  std::optional<int64_t> dataVersion_;
  bool asleep_ = false;
  // Set while a thread files drafts on the servers; one pass at a time.
  std::shared_ptr<std::atomic<bool>> uploadingDrafts_ = std::make_shared<std::atomic<bool>>(false);
};

// Drafts written since the last pass (by the tool server or the command line) go to their
// servers on a thread of their own, so the main loop never waits on the network.
void MailServiceRunner::uploadDrafts() {
  if (asleep_ || uploadingDrafts_->exchange(true)) return;
  size_t pending = 0;
  try {
    pending = pending_draft_uploads(database_);
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("读取待上传草稿失败: ") + e.what());
  }
  if (pending == 0) {
    *uploadingDrafts_ = false;
    return;
  }
  auto guard = std::make_shared<WorkGroupGuard>(WorkGroup::shared());
  std::thread([&database = database_, &service = service_, busy = uploadingDrafts_, guard] {
    try {
      upload_marked_drafts(database, service);
    } catch (const std::exception& e) {
      log_line(log_kind::kFailure, kComponent, std::string("上传草稿失败: ") + e.what());
    }
    *busy = false;
  }).detach();
}

void MailServiceRunner::startWatchers() {
  std::lock_guard lock(accountsLock_);
  for (const auto& account : enabled_) idle_.startWatching(account);
}

// Accounts changed by another process are picked up here: a new or re-enabled account gets
// its watcher, a removed or disabled one loses it, a changed one is restarted.
void MailServiceRunner::reconcile() {
  std::vector<EmailAccount> enabled;
  try {
    for (auto& account : read_accounts(database_))
      // Local-only accounts have no server to watch or receive from.
      if (account.isEnabled && !account.isLocalOnly()) enabled.push_back(std::move(account));
    const int64_t version = data_version(database_);
    if (dataVersion_ && *dataVersion_ != version) badge_.storeChanged();
    dataVersion_ = version;
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("读取账号失败: ") + e.what());
    return;
  }
  badge_.checkSetting();
  uploadDrafts();
  std::map<std::string, EmailAccount> now;
  for (const auto& account : enabled) now[account.id] = account;
  if (now == watched_) return;
  for (const auto& [id, account] : watched_) {
    auto it = now.find(id);
    if (it != now.end() && it->second == account) continue;
    idle_.stopWatching(id);
    lastReceive_.erase(id);
  }
  {
    std::lock_guard lock(accountsLock_);
    enabled_ = enabled;
  }
  for (const auto& [id, account] : now) {
    auto it = watched_.find(id);
    if (it != watched_.end() && it->second == account) continue;
    log_line(log_kind::kConnection, kComponent, "开始接收账号 " + account.emailAddress);
    if (!asleep_) idle_.startWatching(account);
    receiver_.receiveNow(id);
  }
  watched_ = std::move(now);
  store_.loadAccounts();
  writeStatus();
}

void MailServiceRunner::writeStatus() {
  Json accounts = Json::array();
  const auto statuses = idle_.statuses();
  for (const auto& [id, account] : watched_) {
    auto status = statuses.find(id);
    Json entry{{"id", id},
               {"emailAddress", account.emailAddress},
               {"idleStatus",
                mail::raw_value(status == statuses.end() ? IdleStatus::stopped : status->second)}};
    if (auto at = lastReceive_.find(id); at != lastReceive_.end())
      entry["lastReceiveAt"] = at->second;
    accounts.push_back(std::move(entry));
  }
  const Json status{{"pid", ::getpid()}, {"accounts", std::move(accounts)}};
  const auto path = status_path();
  const auto temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << status.dump() << "\n";
    if (!out) return;
  }
  std::error_code ignored;
  std::filesystem::rename(temporary, path, ignored);
}

void MailServiceRunner::onAction(const EmailNotificationService::ActionChoice& choice) {
  if (choice.action == EmailNotificationService::kMarkAsReadAction)
    return markReadEverywhere(choice.messageId);
  const auto link = choice.action == EmailNotificationService::kReplyAction
                        ? EmailDeepLink::reply(choice.messageId, false)
                        : EmailDeepLink::message(choice.messageId);
  if (!platform::open_url_on_desktop(link.build()))
    log_line(log_kind::kWarning, kComponent, "无法在桌面打开链接: " + link.build());
}

// Read here at once, then on the server; a server failure is logged and the local mark stays.
void MailServiceRunner::markReadEverywhere(const std::string& messageId) {
  auto guard = std::make_shared<WorkGroupGuard>(WorkGroup::shared());
  // The thread may outlive the runner: it holds only the process-wide stores and services.
  std::thread([&database = database_, &mailStore = store_, &service = service_,
               badgeChanged = badge_.changeTrigger(), messageId, guard] {
    try {
      auto message = database.read(
          [&](store::Connection& c) { return store::read_stored_message(c, messageId); });
      if (!message) return;
      mailStore.markRead(*message, true);
      badgeChanged();  // the store announces only changes to the messages it holds in memory
      std::optional<EmailAccount> account;
      for (auto& candidate : read_accounts(database))
        if (candidate.id == message->accountId) account = std::move(candidate);
      if (!account) return;
      service.markAsRead(*account, service.storedPassword(*account), *message,
                         read_folders(database, account->id));
      log_line(log_kind::kSuccess, kComponent, "已标记为已读: " + message->subject);
    } catch (const std::exception& e) {
      log_line(log_kind::kFailure, kComponent, std::string("标记为已读失败: ") + e.what());
    }
  }).detach();
}

int MailServiceRunner::run() {
  // SIGTERM and SIGINT set the process's cancellation token at once: every HTTP request and
  // every IMAP or SMTP wait in flight, on any thread, gives up within about a second, so
  // the stop below never waits for a slow server. A signal that comes before the loop runs
  // is handled by its first iteration.
  if (host_ == ServiceHost::command)
    platform::on_termination_signals([] { platform::MainQueue::quit(); },
                                     &platform::CancellationToken::process());
  // EmailStore::shared() has started loading the accounts and folders on first use.
  notifications_.registerCategories();
  notifications_.setActionHandler([this](const auto& choice) { onAction(choice); });
  const int storeObserver =
      store_.addObserver([this](store::StoreChange, const std::string&) { badge_.storeChanged(); });
  badge_.start();

  auto& center = NotificationCenter::shared();
  const int newMessageObserver = center.observe(
      mail::EmailIdleService::kNewMessageNotice,
      [this](const Json& info) { receiver_.receiveNow(info.value("accountId", "")); });
  const int statusObserver =
      center.observe(mail::EmailIdleService::kStatusChangedNotice, [this](const Json& info) {
        const std::string id = info.value("accountId", ""), status = info.value("status", "");
        platform::MainQueue::post([this, id, status] {
          if (auto it = watched_.find(id); it != watched_.end())
            log_line(log_kind::kConnection, mail::EmailIdleService::kComponent,
                     "账号 " + it->second.emailAddress + " IDLE 状态: " + status);
          writeStatus();
        });
      });

  analysis_.start();
  // Automatic replies (at start and after each receive) take their measure of the inbox
  // before the first receive can store anything: mail that arrives from now on is new.
  EmailAutoReplyService autoReply(store_, preferences_);
  autoReply_ = &autoReply;
  autoReply.start();
  reconcile();
  prefetch_.start();
  receiver_.start();

  // Timers of the follow-up queues, snoozed messages and action items.
  store::EmailActionStore actions(database_);
  store::EmailFollowUpService followUps(database_, store_, platform::SettingsStore::shared());
  followUps.start();
  store::SnoozeService snooze(database_, store_);
  snooze.start();
  // Scheduled messages, checked every 30 s; they send on this thread, as automatic replies do.
  EmailScheduledSendService scheduled(database_, store_, store::desktop_notification_poster());
  scheduled.start();

  sleepWake_.onSystemWillSleep = [this] {
    asleep_ = true;
    idle_.stopAll();
    receiver_.pause();
  };
  sleepWake_.onSystemDidWake = [this] {
    asleep_ = false;
    startWatchers();
    receiver_.resume();
  };
  sleepWake_.startListening();

  // The changes the tool server and the command line journalled go to the servers.
  ServerChangeReplayer replayer(database_, service_);
  replayer.start();

  platform::RepeatingTimer reconcileTimer(kReconcileInterval, [this] { reconcile(); });
  try {
    apply_launch_at_login(
        preferences_.get(settings::launchAtLogin));  // the entry follows the setting
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, std::string("无法更新登录时启动项: ") + e.what());
  }
  log_line(log_kind::kSuccess, kComponent, "服务已启动 (pid " + std::to_string(::getpid()) + ")");
  const auto logFile = log_file_path();
  events_.print(
      localized_format("service.event.started", static_cast<int64_t>(::getpid()),
                       log_target() == LogTarget::File ? logFile.string() : std::string("stderr")));
  platform::MainQueue::run();

  log_line(log_kind::kConnection, kComponent, "正在停止服务");
  autoReply_ = nullptr;
  scheduled.stop();
  sleepWake_.stopListening();
  center.remove_observer(newMessageObserver);
  idle_.stopAll();
  prefetch_.stop();  // after the batch in progress is stored
  receiver_.stop();  // the receive in progress stores its batch first
  replayer.stop();   // the round in progress ends; what it has not confirmed stays
  analysis_.stop();  // the batch in progress finishes; the destructor waits for it
  center.remove_observer(statusObserver);
  store_.removeObserver(storeObserver);
  badge_.stop();
  WorkGroup::shared().wait_for(kServerMoveWait);
  std::error_code ignored;
  std::filesystem::remove(status_path(), ignored);
  log_line(log_kind::kSuccess, kComponent, "服务已停止");
  events_.print(localized("service.event.stopped"));
  return 0;
}

}  // namespace

std::filesystem::path service_state_directory() { return platform::data_home() / "kestrova"; }

ServiceStatus read_service_status() {
  ServiceStatus status;
  const int fd = ::open(lock_path().c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return status;
  status.pid = lock_holder(fd);
  ::close(fd);
  if (!status.pid) return status;
  std::ifstream in(status_path());
  const Json saved = Json::parse(in, nullptr, false);
  if (!saved.is_object() || !saved.contains("accounts") || !saved["accounts"].is_array())
    return status;
  for (const auto& entry : saved["accounts"]) {
    if (!entry.is_object()) continue;
    ServiceStatus::Account account{entry.value("id", ""), entry.value("emailAddress", ""),
                                   entry.value("idleStatus", ""), std::nullopt};
    if (entry.contains("lastReceiveAt") && entry["lastReceiveAt"].is_number())
      account.lastReceiveAt = entry["lastReceiveAt"].get<double>();
    status.accounts.push_back(std::move(account));
  }
  return status;
}

int run_mail_service() {
  // The diagnostic log stays where the command line put it: the log file, or standard
  // error with -v. Standard output gets the short event lines only.
  const bool verbose = log_target() == LogTarget::StandardError;
  std::optional<int> holder;
  const auto lock = ServiceLock::take(&holder);
  if (!lock) {
    std::cerr << localized("service.error.running")
              << (holder && *holder > 0 ? " (pid " + std::to_string(*holder) + ")" : std::string())
              << "\n";
    return 1;
  }
  if (!store::EmailDatabase::shared().is_open()) {
    std::cerr << localized_format("service.error.database",
                                  store::EmailDatabase::default_path().string())
              << "\n";
    return 1;
  }
  // The profiles and scenario bindings are migrated and created before the first analysis.
  ai_configuration();
  MailServiceRunner runner(verbose, ServiceHost::command);
  return runner.run();
}

std::optional<ServiceLock> ServiceLock::take(std::optional<int>* holder) {
  std::filesystem::create_directories(service_state_directory());
  const int fd = ::open(lock_path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) throw Error(localized_format("service.error.lock", lock_path().string()));
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
    if (holder) *holder = lock_holder(fd);
    ::close(fd);
    return std::nullopt;
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 ||
      ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size()))
    log_line(log_kind::kWarning, kComponent, "无法写入服务锁文件");
  return ServiceLock(fd);
}

ServiceLock::~ServiceLock() {
  if (fd_ >= 0) ::close(fd_);  // the last descriptor of the description: the lock goes
}

struct BackgroundMailService::Work {
  explicit Work(ServiceLock held) : lock(std::move(held)) {}
  ServiceLock lock;
  std::thread thread;
  // Lives as long as this work: a quit posted for it and left unrun (the loop had stopped)
  // must not end the loop of a later start.
  std::shared_ptr<int> alive = std::make_shared<int>(0);
};

BackgroundMailService::BackgroundMailService(std::unique_ptr<Work> work) : work_(std::move(work)) {}

std::unique_ptr<BackgroundMailService> BackgroundMailService::start(ServiceLock lock) {
  if (!store::EmailDatabase::shared().is_open()) return nullptr;
  ai_configuration();
  auto work = std::make_unique<Work>(std::move(lock));
  work->thread = std::thread([] {
    const bool verbose = log_target() == LogTarget::StandardError;
    MailServiceRunner runner(verbose, ServiceHost::thread);
    runner.run();
  });
  return std::unique_ptr<BackgroundMailService>(new BackgroundMailService(std::move(work)));
}

BackgroundMailService::~BackgroundMailService() {
  // A quit before the loop runs would be lost: the posted one is seen by its first turn.
  platform::MainQueue::post([alive = std::weak_ptr(work_->alive)] {
    if (alive.lock()) platform::MainQueue::quit();
  });
  platform::MainQueue::quit();
  if (work_->thread.joinable()) work_->thread.join();
}

}  // namespace kestrova::app
