#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "store/email_account.h"
#include "store/email_folder.h"
#include "util/error.h"
#include "util/json.h"

namespace kestrova::mail {

class EmailService;

// Push for new mail (RFC 2177): one long-lived IMAP connection per account, idling on the
// INBOX, that announces server activity with a notice. The receiving side then runs an
// ordinary sync of the inbox.
//
// Each watcher runs on a thread of its own and waits for the server in one-second poll()
// slices, so that stopping it is noticed within a second. After a failure it waits 10, 20,
// 40, 80, 160 and then 300 seconds before the next attempt; a server without IDLE ends the
// watcher at once. Thread-safe.
class EmailIdleService {
 public:
  static constexpr std::string_view kComponent = "EmailIdleService";
  // Notice names and their user info.
  static constexpr std::string_view kNewMessageNotice =
      "EmailIdleService.newMessage";  // {accountId}
  static constexpr std::string_view kStatusChangedNotice =
      "EmailIdleService.statusChanged";  // {accountId, status}
  // One IDLE command lasts at most kPollSlices × kPollSlice (25 minutes), then is renewed.
  static constexpr int kPollSlices = 1500;
  static constexpr std::chrono::milliseconds kPollSlice{1000};

  enum class IdleStatus { idle, connecting, reconnecting, unsupported, stopped };

  class IdleError : public Error {
   public:
    enum class Kind {
      connectFailed,
      selectFolderFailed,
      idleStartFailed,
      idleDoneFailed,
      pollFailed,
      missingPassword,
      cannotCreateSession,
      noIdleCapability,
      inboxNotFound,
      invalidFd,
    };
    // `cause` is the description of the underlying error for the kinds that carry one.
    IdleError(Kind kind, const std::string& cause = {});
    Kind kind() const noexcept { return kind_; }

   private:
    Kind kind_;
  };

  // Posts a notice (name, user info) to the application's notification centre.
  using NoticePoster = std::function<void(std::string_view name, const Json& userInfo)>;
  // Waits `delay` unless `cancelled` turns true first; true when the whole delay passed.
  // Called on the watcher's thread.
  using Sleeper =
      std::function<bool(std::chrono::seconds delay, const std::function<bool()>& cancelled)>;
  // The account's inbox as stored; nothing when it has none yet.
  using InboxLookup = std::function<std::optional<store::EmailFolder>(const store::EmailAccount&)>;

  struct Options {
    NoticePoster post;  // empty: notices go nowhere
    Sleeper sleep;      // empty: a real wait that ends early when the watcher is stopped
  };

  EmailIdleService(EmailService& service, InboxLookup inboxOf, Options options = {});
  // Stops every watcher.
  ~EmailIdleService();
  EmailIdleService(const EmailIdleService&) = delete;
  EmailIdleService& operator=(const EmailIdleService&) = delete;

  // Starts the account's watcher; a running one is left as it is.
  void startWatching(const store::EmailAccount& account);
  // Stops the watcher and waits for its thread (at most about a second).
  void stopWatching(const std::string& accountId);
  void stopAll();
  // `stopped` for an account without a watcher.
  IdleStatus status(const std::string& accountId) const;
  std::map<std::string, IdleStatus> statuses() const;
  // Accounts with a running watcher.
  bool isWatching(const std::string& accountId) const;

  // The wait after the n-th consecutive failure (counting from 0): min(5 × 2^(min(n,5)+1), 300).
  static std::chrono::seconds backoff(int failures);

 private:
  struct Watcher {
    store::EmailAccount account;
    std::atomic<bool> cancelled{false};
    std::mutex lock;
    std::condition_variable wake;
    std::thread thread;
  };
  enum class SessionEnd { cancelled, unsupported };

  void run(Watcher& watcher);
  // Announces activity once the session idles: what changed between the last receive and
  // the SELECT (a reconnection, or the service's start-up round racing this session) shows
  // no sign in IDLE.
  SessionEnd runSession(Watcher& watcher);
  void setStatus(const std::string& accountId, IdleStatus status);
  bool sleep(Watcher& watcher, std::chrono::seconds delay);

  EmailService& service_;
  InboxLookup inboxOf_;
  Options options_;
  mutable std::mutex lock_;  // guards the two maps
  std::map<std::string, std::shared_ptr<Watcher>> watchers_;
  std::map<std::string, IdleStatus> statuses_;
};

std::string_view raw_value(EmailIdleService::IdleStatus status);

}  // namespace kestrova::mail
