#include "app/core/service/email_notification_service.h"

#include <ctime>

#include "app/core/user_preferences.h"
#include "platform/desktop_notifier.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"

namespace kestrova::app {

namespace {

// Ids kept for matching actions; older notifications lose their actions.
constexpr size_t kRememberedNotifications = 256;

int local_hour() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local.tm_hour;
}

}  // namespace

EmailNotificationService::EmailNotificationService(const UserPreferences& preferences,
                                                   platform::DesktopNotifier& notifier,
                                                   HourClock hour)
    : preferences_(preferences), notifier_(notifier), hour_(hour ? std::move(hour) : local_hour) {
  notifier_.set_action_handler([this](uint32_t id, const std::string& action) {
    auto it = posted_.find(id);
    if (it == posted_.end() || !handler_) return;
    ActionChoice choice = it->second;
    choice.action = action;
    handler_(choice);
  });
}

void EmailNotificationService::registerCategories() {
  categoryActions_ = {
      {std::string(kMarkAsReadAction), localized("notification.action.mark_as_read")},
      {std::string(kReplyAction), localized("notification.action.reply")}};
  log_line(log_kind::kSuccess, kComponent, "已注册通知类别 " + std::string(kCategory));
}

void EmailNotificationService::setActionHandler(ActionHandler handler) {
  handler_ = std::move(handler);
}

bool EmailNotificationService::isQuietHour(int hour, int from, int to) {
  if (to < from) return hour >= from || hour < to;
  return from <= hour && hour < to;
}

void EmailNotificationService::notify(const store::EmailMessage& message) {
  namespace s = settings;
  if (!preferences_.get(s::emailNotificationsEnabled) || message.isRead) return;
  if (preferences_.get(s::emailNotifyVIPOnly)) {
    const std::string sender = text::lower(message.from.email);
    bool vip = false;
    for (const auto& entry : preferences_.get(s::emailVIPSenders))
      vip = vip || text::lower(entry) == sender;
    if (!vip) return;
  }
  if (preferences_.get(s::emailDoNotDisturbEnabled) &&
      isQuietHour(hour_(), static_cast<int>(preferences_.get(s::emailDoNotDisturbFrom)),
                  static_cast<int>(preferences_.get(s::emailDoNotDisturbTo))))
    return;

  platform::DesktopNotification notification;
  notification.title =
      message.from.name && !message.from.name->empty() ? *message.from.name : message.from.email;
  if (preferences_.get(s::emailNotifyPreviewEnabled))
    notification.body = message.subject.empty() ? message.preview : message.subject;
  else
    notification.body = localized("notification.new_mail.generic");
  notification.sound = preferences_.get(s::emailNotifySoundEnabled)
                           ? platform::NotificationSound::Default
                           : platform::NotificationSound::None;
  notification.category = std::string(platform::DesktopNotification::kEmailArrivedCategory);
  notification.actions.emplace_back(std::string(platform::DesktopNotification::kDefaultAction),
                                    localized("notification.action.open"));
  notification.actions.insert(notification.actions.end(), categoryActions_.begin(),
                              categoryActions_.end());
  try {
    if (auto id = notifier_.post(notification)) {
      posted_[*id] = {"", message.id, message.accountId, message.folderId.value_or("")};
      if (posted_.size() > kRememberedNotifications) posted_.erase(posted_.begin());
    }
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("发送通知失败: ") + e.what());
  }
}

}  // namespace kestrova::app
