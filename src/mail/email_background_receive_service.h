#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "store/email_account.h"
#include "store/email_message.h"

namespace kestrova::store {
class EmailStore;
}

namespace kestrova::mail {

class EmailService;
class EmailSyncFlow;

// The receiving half of push: polls the enabled accounts' inboxes every `pollInterval`
// seconds, and at once for an account whose IDLE watcher saw activity; each receive is an
// ordinary sync of the inbox through the sync flow. Messages whose key was not stored before
// go to the new-mail handler.
//
// All receives run one after another on the service's own thread, which is also the
// thread of the store and flow the road factory builds there.
class EmailBackgroundReceiveService {
 public:
  static constexpr std::string_view kComponent = "EmailBackgroundReceiveService";
  static constexpr double kPollInterval = 300.0;
  // Newest inbox messages looked at per receive.
  static constexpr uint64_t kReceiveLimit = 50;

  // What a receive goes through, built on the service's thread: the store the flow writes
  // to, the flow with its incoming-mail hooks, and what follows each sync.
  class Road {
   public:
    virtual ~Road() = default;
    virtual store::EmailStore& store() = 0;
    virtual EmailSyncFlow& flow() = 0;
    virtual void afterSync() {}
  };
  using RoadFactory = std::function<std::unique_ptr<Road>()>;
  using Clock = std::function<double()>;
  // The accounts to poll (enabled ones).
  using AccountsProvider = std::function<std::vector<store::EmailAccount>()>;
  // Newly arrived messages of one account, newest first; called on the service's thread.
  using NewMessagesHandler =
      std::function<void(const store::EmailAccount&, const std::vector<store::EmailMessage>&)>;
  // After each receive, successful or not.
  using ReceivedHandler = std::function<void(const store::EmailAccount&, double at, bool ok)>;

  struct Options {
    Clock clock;  // empty: the system clock
    double pollInterval = kPollInterval;
    ReceivedHandler received;
  };

  EmailBackgroundReceiveService(EmailService& service, RoadFactory road, AccountsProvider accounts,
                                NewMessagesHandler onNewMessages, Options options);
  // Stops the loop.
  ~EmailBackgroundReceiveService();
  EmailBackgroundReceiveService(const EmailBackgroundReceiveService&) = delete;
  EmailBackgroundReceiveService& operator=(const EmailBackgroundReceiveService&) = delete;

  // Begins the poll loop (the first round runs at once).
  void start();
  // Ends the loop after the receive in progress, whose batch is stored completely.
  void stop();
  // A receive of the account at once (the IDLE watcher's notice).
  void receiveNow(const std::string& accountId);
  // While paused nothing is received; resuming polls every account at once.
  void pause();
  void resume();

  // Known-message key: "mid:" + lower-cased Message-ID, else "uid:" + UID, else
  // "fallback:" + subject | lower-cased sender | whole seconds of the date.
  static std::string messageKey(const std::optional<std::string>& messageId,
                                std::optional<int64_t> uid, const std::string& subject,
                                const std::string& fromEmail, double date);

 private:
  void loop();
  void receive(Road& road, const store::EmailAccount& account);
  // The first sync of an account, after its inbox: every other selectable server folder.
  void syncOtherFolders(Road& road, const store::EmailAccount& account,
                        const std::optional<std::string>& password, const std::string& inboxId);
  double now() const;

  EmailService& service_;
  RoadFactory roadFactory_;
  AccountsProvider accounts_;
  NewMessagesHandler onNewMessages_;
  Options options_;

  std::mutex lock_;  // guards everything below
  std::condition_variable wake_;
  bool running_ = false;
  bool paused_ = false;
  std::set<std::string> requested_;                  // accounts to receive at once
  std::map<std::string, double> lastAccountPollAt_;  // account id → time of its last poll
  std::thread receiveTask_;
};

}  // namespace kestrova::mail
