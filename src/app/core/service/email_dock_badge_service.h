#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace kestrova::platform {
class LauncherEntry;
class OneShotTimer;
class RepeatingTimer;
}  // namespace kestrova::platform

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {

class UserPreferences;

// Keeps the application icon's badge equal to the number of unread messages in the
// inboxes: at start, after every change of the mail (throttled to one refresh per 350 ms,
// the latest change winning), when the badge switch changes, and every 60 seconds.
// Stopping clears the badge. Main thread only, except storeChanged().
class EmailDockBadgeService {
 public:
  static constexpr std::chrono::milliseconds kThrottle{350};
  static constexpr std::chrono::seconds kRefreshInterval{60};

  // Borrows all three for its lifetime.
  EmailDockBadgeService(UserPreferences& preferences, store::EmailDatabase& database,
                        platform::LauncherEntry& launcher);
  ~EmailDockBadgeService();
  EmailDockBadgeService(const EmailDockBadgeService&) = delete;
  EmailDockBadgeService& operator=(const EmailDockBadgeService&) = delete;

  void start();
  void stop();
  // The mail changed: a refresh within kThrottle. Thread-safe.
  void storeChanged();
  // storeChanged() for code that may outlive the service: does nothing once it is gone.
  std::function<void()> changeTrigger() const;
  // Refreshes when the badge switch differs from the value last seen (the first value seen
  // at start counts as seen).
  void checkSetting();
  void refresh();

  // Unread, not deleted, not spam, not draft messages filed in inbox folders.
  static int64_t unreadInboxCount(store::EmailDatabase& database);

 private:
  void throttledRefresh();

  UserPreferences& preferences_;
  store::EmailDatabase& database_;
  platform::LauncherEntry& launcher_;
  bool running_ = false;
  bool badgeEnabled_ = false;
  int subscription_ = 0;
  std::chrono::steady_clock::time_point lastRefresh_{};
  std::unique_ptr<platform::OneShotTimer> pending_;
  std::unique_ptr<platform::RepeatingTimer> timer_;
  std::shared_ptr<EmailDockBadgeService*>
      self_;  // reset on destruction: queued tasks then do nothing
};

}  // namespace kestrova::app
