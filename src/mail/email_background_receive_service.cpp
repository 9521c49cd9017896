#include "mail/email_background_receive_service.h"

#include <chrono>

#include "mail/email_service.h"
#include "mail/email_sync_flow.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::mail {

namespace {

using store::EmailAccount;
using store::EmailFolder;
using store::EmailMessage;

void log(std::string_view emoji, const std::string& message) {
  log_line(emoji, EmailBackgroundReceiveService::kComponent, message);
}

std::optional<EmailFolder> inbox_of(store::EmailStore& store, const std::string& accountId) {
  for (const auto& folder : store.foldersOf(accountId))
    if (folder.type == store::EmailFolderType::inbox && !folder.isLocalPseudoFolder())
      return folder;
  return std::nullopt;
}

std::set<std::string> known_keys(store::EmailDatabase& database, const std::string& accountId,
                                 const std::string& folderId) {
  return database.read([&](store::Connection& c) {
    std::set<std::string> keys;
    auto s = c.prepare(
        "SELECT message_id, uid, subject, from_email, date FROM email_messages WHERE account_id = "
        "? "
        "AND folder_id = ?");
    s.bind_all(accountId, folderId);
    while (s.step())
      keys.insert(
          EmailBackgroundReceiveService::messageKey(s.text(0), s.integer(1), s.text(2).value_or(""),
                                                    s.text(3).value_or(""), s.real(4).value_or(0)));
    return keys;
  });
}

}  // namespace

std::string EmailBackgroundReceiveService::messageKey(const std::optional<std::string>& messageId,
                                                      std::optional<int64_t> uid,
                                                      const std::string& subject,
                                                      const std::string& fromEmail, double date) {
  if (messageId && !messageId->empty()) return "mid:" + text::lower(*messageId);
  if (uid) return "uid:" + std::to_string(*uid);
  return "fallback:" + subject + "|" + text::lower(fromEmail) + "|" +
         std::to_string(static_cast<int64_t>(date));
}

EmailBackgroundReceiveService::EmailBackgroundReceiveService(EmailService& service,
                                                             RoadFactory road,
                                                             AccountsProvider accounts,
                                                             NewMessagesHandler onNewMessages,
                                                             Options options)
    : service_(service),
      roadFactory_(std::move(road)),
      accounts_(std::move(accounts)),
      onNewMessages_(std::move(onNewMessages)),
      options_(std::move(options)) {}

EmailBackgroundReceiveService::~EmailBackgroundReceiveService() { stop(); }

double EmailBackgroundReceiveService::now() const {
  return options_.clock ? options_.clock() : now_seconds();
}

void EmailBackgroundReceiveService::start() {
  std::lock_guard lock(lock_);
  if (running_) return;
  running_ = true;
  receiveTask_ = std::thread([this] { loop(); });
}

void EmailBackgroundReceiveService::stop() {
  {
    std::lock_guard lock(lock_);
    if (!running_) return;
    running_ = false;
  }
  wake_.notify_all();
  if (receiveTask_.joinable()) receiveTask_.join();
}

void EmailBackgroundReceiveService::receiveNow(const std::string& accountId) {
  {
    std::lock_guard lock(lock_);
    if (paused_) return;
    requested_.insert(accountId);
  }
  wake_.notify_all();
}

void EmailBackgroundReceiveService::pause() {
  std::lock_guard lock(lock_);
  paused_ = true;
  requested_.clear();
}

void EmailBackgroundReceiveService::resume() {
  {
    std::lock_guard lock(lock_);
    paused_ = false;
    lastAccountPollAt_.clear();  // every account is due at once
  }
  wake_.notify_all();
}

void EmailBackgroundReceiveService::loop() {
  std::unique_ptr<Road> road;
  try {
    road = roadFactory_();
  } catch (const std::exception& e) {
    log("❌", std::string("无法准备收信: ") + e.what());
    return;
  }
  auto receiveEach = [&](const std::vector<EmailAccount>& accounts) {
    for (const auto& account : accounts) {
      {
        std::lock_guard lock(lock_);
        if (!running_ || paused_) return;
      }
      receive(*road, account);
    }
  };
  std::unique_lock lock(lock_);
  auto nextRound = std::chrono::steady_clock::now();  // the first round runs at once
  while (running_) {
    if (!paused_ && !requested_.empty()) {
      const std::set<std::string> ids = std::move(requested_);
      requested_.clear();
      lock.unlock();
      std::vector<EmailAccount> due;
      for (auto& account : accounts_())
        if (ids.contains(account.id)) due.push_back(std::move(account));
      receiveEach(due);
      lock.lock();
      continue;
    }
    const bool anyDue = lastAccountPollAt_.empty();
    if (!paused_ && (anyDue || std::chrono::steady_clock::now() >= nextRound)) {
      nextRound = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(options_.pollInterval));
      const auto polled = lastAccountPollAt_;
      lock.unlock();
      std::vector<EmailAccount> due;
      const double at = now();
      for (auto& account : accounts_()) {
        auto it = polled.find(account.id);
        if (it == polled.end() || at - it->second >= options_.pollInterval)
          due.push_back(std::move(account));
      }
      receiveEach(due);
      lock.lock();
      // An account list that is empty now must not make the loop spin.
      if (lastAccountPollAt_.empty()) lastAccountPollAt_[""] = at;
      continue;
    }
    wake_.wait_until(
        lock, paused_ ? std::chrono::steady_clock::now() + std::chrono::hours(1) : nextRound, [&] {
          return !running_ || (!paused_ && (!requested_.empty() || lastAccountPollAt_.empty()));
        });
  }
}

void EmailBackgroundReceiveService::syncOtherFolders(Road& road, const EmailAccount& account,
                                                     const std::optional<std::string>& password,
                                                     const std::string& inboxId) {
  for (const auto& folder : road.flow().syncFolders(account, password)) {
    if (folder.id == inboxId || folder.isLocalPseudoFolder() || !road.flow().isSelectable(folder))
      continue;
    {
      std::lock_guard lock(lock_);
      if (!running_) return;
    }
    try {
      road.flow().syncFolder(account, password, folder, std::nullopt, 0, true);
      road.afterSync();
    } catch (const std::exception& e) {
      log("❌",
          "账号 " + account.emailAddress + " 文件夹 " + folder.name + " 同步失败: " + e.what());
    }
  }
}

void EmailBackgroundReceiveService::receive(Road& road, const EmailAccount& account) {
  const double startedAt = now();
  {
    std::lock_guard lock(lock_);
    lastAccountPollAt_[account.id] = startedAt;
  }
  bool ok = false;
  try {
    const auto password = service_.storedPassword(account);
    auto& store = road.store();
    store.loadFolders();
    auto inbox = inbox_of(store, account.id);
    if (!inbox) {
      road.flow().syncFolders(account, password);
      inbox = inbox_of(store, account.id);
    }
    if (!inbox) throw Error(localized("idle.error.no_inbox"));
    const auto known = known_keys(store.database(), account.id, inbox->id);
    // The first sync of an account loads whole folders (the first kInitialLoadLimit at once,
    // the rest through the background loader), the inbox first; later ones the newest mail.
    const bool first = !inbox->lastSyncDate;
    auto result = road.flow().syncFolder(account, password, *inbox, std::nullopt,
                                         first ? 0 : kReceiveLimit, true);
    road.afterSync();
    if (first) syncOtherFolders(road, account, password, inbox->id);
    std::vector<EmailMessage> arrived;
    // The first sync of an inbox brings what was there before: nothing of it is news.
    if (inbox->lastSyncDate) {
      for (auto& message : result.newMessages) {
        const auto key = messageKey(
            message.messageId, message.uid ? std::optional<int64_t>(*message.uid) : std::nullopt,
            message.subject, message.from.email, message.date);
        if (!known.contains(key) && !message.isSpam) arrived.push_back(std::move(message));
      }
    }
    if (!arrived.empty()) {
      log("📧", account.emailAddress + " 收到新邮件 " + std::to_string(arrived.size()) + " 封");
      if (onNewMessages_) onNewMessages_(account, arrived);
    }
    ok = true;
  } catch (const std::exception& e) {
    log("❌", "账号 " + account.emailAddress + " 收信失败: " + e.what());
  }
  if (options_.received) options_.received(account, now(), ok);
}

}  // namespace kestrova::mail
