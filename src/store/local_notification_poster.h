#pragma once

#include <functional>
#include <string>

namespace kestrova::store {

// A notification shown to the user at once, with the default sound.
struct LocalNotification {
  std::string title;
  std::string body;

  bool operator==(const LocalNotification&) const = default;
};

// Posts one notification. The follow-up, snooze and action-item services take one, so
// that their timers can be driven without a desktop session.
using LocalNotificationPoster = std::function<void(const LocalNotification&)>;

// Posts through the desktop's notification service. All posters from here share one
// notifier, created at the first post (on the main thread, where the timers run); without
// a session bus it logs one warning and the notifications are dropped. A rejected call is
// logged and not retried.
LocalNotificationPoster desktop_notification_poster();

}  // namespace kestrova::store
