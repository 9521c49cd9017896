#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/email_message.h"

namespace kestrova::platform {
class DesktopNotifier;
}

namespace kestrova::app {

class UserPreferences;

// Tells the user about newly arrived mail: at most one desktop notification per message,
// as the notification switches, the VIP list and the quiet hours allow. Main thread only.
class EmailNotificationService {
 public:
  static constexpr std::string_view kComponent = "EmailNotificationService";
  static constexpr std::string_view kCategory = "EMAIL_NOTIFICATION";
  static constexpr std::string_view kMarkAsReadAction = "MARK_AS_READ";
  static constexpr std::string_view kReplyAction = "REPLY";

  // What the user chose on a notification: an action key (kMarkAsReadAction, kReplyAction,
  // or the notifier's default action for a click on the notification itself) and the user
  // info the notification was posted with.
  struct ActionChoice {
    std::string action;
    std::string messageId, accountId, folderId;
  };
  using ActionHandler = std::function<void(const ActionChoice&)>;
  // The current hour of the local calendar, 0–23.
  using HourClock = std::function<int()>;

  // Borrows both for its lifetime.
  EmailNotificationService(const UserPreferences& preferences, platform::DesktopNotifier& notifier,
                           HourClock hour = {});

  // Registers the category with its two actions, which every notification then carries.
  void registerCategories();
  void setActionHandler(ActionHandler handler);
  // Posts the notification for `message` when the settings allow it.
  void notify(const store::EmailMessage& message);

  // Whether `hour` falls in quiet hours from `from` to `to` (exclusive), across midnight
  // when `to` < `from`; equal ends never silence.
  static bool isQuietHour(int hour, int from, int to);

 private:
  const UserPreferences& preferences_;
  platform::DesktopNotifier& notifier_;
  HourClock hour_;
  std::vector<std::pair<std::string, std::string>> categoryActions_;
  ActionHandler handler_;
  std::map<uint32_t, ActionChoice> posted_;  // notification id → user info
};

}  // namespace kestrova::app
