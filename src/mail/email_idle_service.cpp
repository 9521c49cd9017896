#include "mail/email_idle_service.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "mail/email_service.h"
#include "mail/libetpan_imap_session.h"
#include "util/localization.h"
#include "util/log.h"

namespace kestrova::mail {

namespace {

using Kind = EmailIdleService::IdleError::Kind;

std::string describe(Kind kind, const std::string& cause) {
  switch (kind) {
    case Kind::connectFailed:
      return localized_format("idle.error.connect", cause);
    case Kind::selectFolderFailed:
      return localized_format("idle.error.select", cause);
    case Kind::idleStartFailed:
      return localized_format("idle.error.start", cause);
    case Kind::idleDoneFailed:
      return localized_format("idle.error.done", cause);
    case Kind::pollFailed:
      return localized_format("idle.error.poll", cause);
    case Kind::missingPassword:
      return localized("idle.error.no_password");
    case Kind::cannotCreateSession:
      return localized("mail.error.no_imap_session");
    case Kind::noIdleCapability:
      return localized("idle.error.no_idle");
    case Kind::inboxNotFound:
      return localized("idle.error.no_inbox");
    case Kind::invalidFd:
      return localized("idle.error.bad_fd");
  }
  return {};
}

void log(std::string_view emoji, const std::string& message) {
  log_line(emoji, EmailIdleService::kComponent, message);
}

// The session is disconnected on every way out of a session.
struct Disconnect {
  LibEtPanIMAPSession* session;
  ~Disconnect() {
    if (session) session->disconnect();
  }
};

}  // namespace

EmailIdleService::IdleError::IdleError(Kind kind, const std::string& cause)
    : Error(describe(kind, cause)), kind_(kind) {}

std::string_view raw_value(EmailIdleService::IdleStatus status) {
  using S = EmailIdleService::IdleStatus;
  switch (status) {
    case S::idle:
      return "idle";
    case S::connecting:
      return "connecting";
    case S::reconnecting:
      return "reconnecting";
    case S::unsupported:
      return "unsupported";
    case S::stopped:
      return "stopped";
  }
  return {};
}

EmailIdleService::EmailIdleService(EmailService& service, InboxLookup inboxOf, Options options)
    : service_(service), inboxOf_(std::move(inboxOf)), options_(std::move(options)) {}

EmailIdleService::~EmailIdleService() { stopAll(); }

std::chrono::seconds EmailIdleService::backoff(int failures) {
  const int exponent = std::min(std::max(failures, 0), 5) + 1;
  return std::chrono::seconds(std::min(5 * (1 << exponent), 300));
}

void EmailIdleService::startWatching(const store::EmailAccount& account) {
  std::lock_guard lock(lock_);
  if (watchers_.contains(account.id)) return;
  auto watcher = std::make_shared<Watcher>();
  watcher->account = account;
  watchers_[account.id] = watcher;
  watcher->thread = std::thread([this, watcher] { run(*watcher); });
}

void EmailIdleService::stopWatching(const std::string& accountId) {
  std::shared_ptr<Watcher> watcher;
  {
    std::lock_guard lock(lock_);
    auto it = watchers_.find(accountId);
    if (it == watchers_.end()) return;
    watcher = it->second;
    watchers_.erase(it);
  }
  {
    std::lock_guard lock(watcher->lock);
    watcher->cancelled = true;
  }
  watcher->wake.notify_all();
  if (watcher->thread.joinable()) watcher->thread.join();
}

void EmailIdleService::stopAll() {
  std::vector<std::string> ids;
  {
    std::lock_guard lock(lock_);
    for (const auto& [id, watcher] : watchers_) ids.push_back(id);
  }
  // Cancel all first so that the watchers wind down together, then wait for each.
  for (const auto& id : ids) {
    std::lock_guard lock(lock_);
    if (auto it = watchers_.find(id); it != watchers_.end()) {
      std::lock_guard watcherLock(it->second->lock);
      it->second->cancelled = true;
      it->second->wake.notify_all();
    }
  }
  for (const auto& id : ids) stopWatching(id);
}

EmailIdleService::IdleStatus EmailIdleService::status(const std::string& accountId) const {
  std::lock_guard lock(lock_);
  auto it = statuses_.find(accountId);
  return it == statuses_.end() ? IdleStatus::stopped : it->second;
}

std::map<std::string, EmailIdleService::IdleStatus> EmailIdleService::statuses() const {
  std::lock_guard lock(lock_);
  return statuses_;
}

bool EmailIdleService::isWatching(const std::string& accountId) const {
  std::lock_guard lock(lock_);
  return watchers_.contains(accountId);
}

void EmailIdleService::setStatus(const std::string& accountId, IdleStatus status) {
  {
    std::lock_guard lock(lock_);
    auto [it, added] = statuses_.try_emplace(accountId, status);
    if (!added && it->second == status) return;  // renewing IDLE is no change
    it->second = status;
  }
  if (options_.post)
    options_.post(kStatusChangedNotice,
                  Json{{"accountId", accountId}, {"status", raw_value(status)}});
}

bool EmailIdleService::sleep(Watcher& watcher, std::chrono::seconds delay) {
  auto cancelled = [&watcher] { return watcher.cancelled.load(); };
  if (options_.sleep) return options_.sleep(delay, cancelled) && !cancelled();
  std::unique_lock lock(watcher.lock);
  return !watcher.wake.wait_for(lock, delay, cancelled);
}

void EmailIdleService::run(Watcher& watcher) {
  const store::EmailAccount& account = watcher.account;
  int failures = 0;
  while (!watcher.cancelled) {
    setStatus(account.id, IdleStatus::connecting);
    try {
      if (runSession(watcher) == SessionEnd::unsupported) return;
      failures = 0;  // the session ended without error: it was stopped
    } catch (const std::exception& e) {
      if (watcher.cancelled) break;
      const auto delay = backoff(failures);
      setStatus(account.id, IdleStatus::reconnecting);
      log("⚠️", "账号 " + account.emailAddress + " IDLE 循环异常: " + e.what() + "；将在 " +
                        std::to_string(delay.count()) + "s 后重连");
      if (!sleep(watcher, delay)) break;
      ++failures;
    }
  }
  setStatus(account.id, IdleStatus::stopped);
}

EmailIdleService::SessionEnd EmailIdleService::runSession(Watcher& watcher) {
  const store::EmailAccount& account = watcher.account;
  std::optional<std::string> password;
  try {
    password = service_.storedPassword(account);
  } catch (const std::exception& e) {
    throw IdleError(Kind::connectFailed, e.what());
  }
  if (!password) throw IdleError(Kind::missingPassword);
  std::unique_ptr<LibEtPanIMAPSession> session;
  try {
    session = service_.openIMAPSession(account, password);
  } catch (const std::exception& e) {
    throw IdleError(Kind::connectFailed, e.what());
  }
  if (!session) throw IdleError(Kind::cannotCreateSession);
  Disconnect disconnect{session.get()};

  if (!session->hasIdleCapability()) {
    setStatus(account.id, IdleStatus::unsupported);
    log("⚠️", account.emailAddress + " 服务器不支持 IDLE，停止 IDLE 循环");
    return SessionEnd::unsupported;
  }
  const auto inbox = inboxOf_(account);
  if (!inbox) throw IdleError(Kind::inboxNotFound);
  LibEtPanError error;
  if (!session->selectFolder(inbox->path, &error))
    throw IdleError(Kind::selectFolderFailed, error.localizedDescription);

  bool catchUp = true;
  while (!watcher.cancelled) {
    if (!session->idleWithError(&error))
      throw IdleError(Kind::idleStartFailed, error.localizedDescription);
    setStatus(account.id, IdleStatus::idle);
    // Changes made before the SELECT (while the connection was down, or after the start-up
    // round listed the inbox) raise no IDLE answer: the first IDLE of a session asks for one
    // receive to catch up.
    if (std::exchange(catchUp, false) && options_.post)
      options_.post(kNewMessageNotice, Json{{"accountId", account.id}});
    const int fd = session->idleFd();
    auto done = [&] {
      LibEtPanError doneError;
      if (!session->idleDoneWithError(&doneError))
        throw IdleError(Kind::idleDoneFailed, doneError.localizedDescription);
    };
    if (fd < 0) {
      done();
      throw IdleError(Kind::invalidFd);
    }
    bool readable = false;
    for (int slice = 0; slice < kPollSlices && !readable; ++slice) {
      if (watcher.cancelled) break;
      pollfd entry{fd, POLLIN, 0};
      const int ready = ::poll(&entry, 1, static_cast<int>(kPollSlice.count()));
      if (ready > 0) {
        readable = true;
      } else if (ready < 0) {
        if (errno == EINTR) {
          --slice;  // interrupted, not timed out: the slice starts again
          continue;
        }
        const int code = errno;
        done();  // a failing DONE is reported instead of the poll error
        throw IdleError(Kind::pollFailed,
                        "POSIX error " + std::to_string(code) + ": " + std::strerror(code));
      }
    }
    done();
    if (readable && options_.post)
      options_.post(kNewMessageNotice, Json{{"accountId", account.id}});
  }
  return SessionEnd::cancelled;
}

}  // namespace kestrova::mail
