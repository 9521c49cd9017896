#include "store/local_notification_poster.h"

#include "platform/desktop_notifier.h"
#include "util/log.h"

namespace kestrova::store {

LocalNotificationPoster desktop_notification_poster() {
  return [](const LocalNotification& notification) {
    static auto* notifier = new platform::DesktopNotifier();  // lives until exit
    platform::DesktopNotification request;
    request.title = notification.title;
    request.body = notification.body;
    request.sound = platform::NotificationSound::Default;
    try {
      notifier->post(request);
    } catch (const std::exception& e) {
      log_line(log_kind::kFailure, "LocalNotification", std::string("发送通知失败: ") + e.what());
    }
  };
}

}  // namespace kestrova::store
