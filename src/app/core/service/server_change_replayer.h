#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "mail/email_service.h"
#include "store/database.h"

namespace kestrova::app {

// The service's worker that brings the mail servers up to date with the journal of local
// changes (store/server_change_journal.h): a thread that replays the due entries of every
// account, then waits `interval` and looks again. The journal is written by
// other processes too (the tool server, `kestrova tool`), so the worker asks the database
// rather than waiting to be told. Thread-safe; stop() waits for the round in progress.
class ServerChangeReplayer {
 public:
  static constexpr std::chrono::seconds kInterval{3};

  ServerChangeReplayer(store::EmailDatabase& database, const mail::EmailService& service,
                       std::chrono::milliseconds interval = kInterval);
  ~ServerChangeReplayer();
  ServerChangeReplayer(const ServerChangeReplayer&) = delete;
  ServerChangeReplayer& operator=(const ServerChangeReplayer&) = delete;

  void start();
  void stop();

 private:
  void loop();

  store::EmailDatabase& database_;
  const mail::EmailService& service_;
  std::chrono::milliseconds interval_;
  std::mutex lock_;
  std::condition_variable changed_;
  bool running_ = false;  // guarded by lock_
  std::thread thread_;
};

}  // namespace kestrova::app
