#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "mail/email_body_prefetcher.h"
#include "store/email_account.h"

namespace kestrova::store {
class EmailDatabase;
}
namespace kestrova::mail {
class EmailService;
}

namespace kestrova::app {

class UserPreferences;

// The window and size cap of the settings `emailBodyPrefetchDays` and
// `emailBodyPrefetchMaxBytes`.
mail::EmailBodyPrefetcher::Window body_prefetch_window(const UserPreferences& preferences);

// The service's body downloads: after each receive of an account, the bodies of its recent
// messages (new mail, and after the first sync the newest of every folder) are downloaded on
// a worker thread of their own, within the window and size cap of the settings
// `emailBodyPrefetchDays` and `emailBodyPrefetchMaxBytes`.
class BodyPrefetchWorker {
 public:
  BodyPrefetchWorker(store::EmailDatabase& database, mail::EmailService& service,
                     UserPreferences& preferences);
  ~BodyPrefetchWorker();
  BodyPrefetchWorker(const BodyPrefetchWorker&) = delete;
  BodyPrefetchWorker& operator=(const BodyPrefetchWorker&) = delete;

  void start();
  // Queues a prefetch of the account (once, however often asked before it runs). Any thread.
  void request(const store::EmailAccount& account);
  // Ends the batch in progress and the thread.
  void stop();

 private:
  void loop();

  store::EmailDatabase& database_;
  mail::EmailService& service_;
  UserPreferences& preferences_;
  mail::EmailBodyPrefetcher prefetcher_;  // worker thread only
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<store::EmailAccount> queue_;  // guarded by lock_
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace kestrova::app
