#include "app/core/service/server_change_replayer.h"

#include <exception>

#include "mail/server_change_replay.h"
#include "util/log.h"

namespace kestrova::app {

ServerChangeReplayer::ServerChangeReplayer(store::EmailDatabase& database,
                                           const mail::EmailService& service,
                                           std::chrono::milliseconds interval)
    : database_(database), service_(service), interval_(interval) {}

ServerChangeReplayer::~ServerChangeReplayer() { stop(); }

void ServerChangeReplayer::start() {
  std::lock_guard lock(lock_);
  if (running_) return;
  running_ = true;
  thread_ = std::thread([this] { loop(); });
}

void ServerChangeReplayer::stop() {
  {
    std::lock_guard lock(lock_);
    if (!running_) return;
    running_ = false;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ServerChangeReplayer::loop() {
  for (;;) {
    try {
      mail::replayAllServerChanges(database_, service_);
    } catch (const std::exception& e) {
      // The database may be busy or gone for a moment; the next round tries again.
      log_line(log_kind::kFailure, "ServerChangeReplay", e.what());
    }
    std::unique_lock lock(lock_);
    changed_.wait_for(lock, interval_, [this] { return !running_; });
    if (!running_) return;
  }
}

}  // namespace kestrova::app
