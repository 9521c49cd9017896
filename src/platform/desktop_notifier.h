#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/error.h"

namespace kestrova::platform {

// The notification service answered a Notify call with an error. what() is the service's
// own error message.
class DesktopNotifierError : public Error {
 public:
  using Error::Error;
};

enum class NotificationSound {
  None,     // silent, even where the notification server would play a sound by itself
  Default,  // the desktop's new-mail sound
};

struct DesktopNotification {
  // Hint "category" for newly arrived mail (the freedesktop category name).
  static constexpr std::string_view kEmailArrivedCategory = "email.arrived";
  // Action key of a click on the notification itself.
  static constexpr std::string_view kDefaultAction = "default";

  std::string title;
  std::string body;
  // (action key, label) in the order shown, e.g. {"MARK_AS_READ", "标记为已读"}.
  std::vector<std::pair<std::string, std::string>> actions;
  std::optional<std::string> category;
  NotificationSound sound = NotificationSound::None;
  // Milliseconds until the notification closes by itself; -1 leaves it to the server,
  // 0 keeps it until the user closes it.
  int32_t expire_timeout_ms = -1;
};

// Posts desktop notifications through org.freedesktop.Notifications on the session bus,
// as the application "Kestrova", and reports the actions the user chooses on them.
//
// Where there is no session bus or no notification service (a server, CI, a plain SSH
// login) posting logs one warning for the life of the notifier and otherwise does
// nothing. post() may be called from any thread. The action handler runs on the thread
// that created the notifier, from that thread's GLib main context (the main loop, for
// the notifier the application creates at start-up).
class DesktopNotifier {
 public:
  static constexpr std::string_view kApplicationName = "Kestrova";

  // (notification id as returned by post(), action key)
  using ActionHandler = std::function<void(uint32_t id, const std::string& action_key)>;

  // Connects to the session bus named by the environment now; a failure is remembered
  // and reported at the first post.
  DesktopNotifier();
  ~DesktopNotifier();
  DesktopNotifier(const DesktopNotifier&) = delete;
  DesktopNotifier& operator=(const DesktopNotifier&) = delete;

  // Shows `notification` and returns the id the server gave it; nothing when notifications
  // cannot be shown here. Throws DesktopNotifierError when the server rejects the call.
  std::optional<uint32_t> post(const DesktopNotification& notification);

  // Replaces the handler for actions invoked on notifications posted by this notifier.
  void set_action_handler(ActionHandler handler);

  struct State;  // shared with the D-Bus signal callbacks, which may outlive a call

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kestrova::platform
