#include "app/core/service/email_dock_badge_service.h"

#include "app/core/user_preferences.h"
#include "platform/launcher_entry.h"
#include "platform/main_loop_sources.h"
#include "platform/main_queue.h"
#include "platform/repeating_timer.h"
#include "store/database.h"
#include "util/log.h"

namespace kestrova::app {

EmailDockBadgeService::EmailDockBadgeService(UserPreferences& preferences,
                                             store::EmailDatabase& database,
                                             platform::LauncherEntry& launcher)
    : preferences_(preferences),
      database_(database),
      launcher_(launcher),
      self_(std::make_shared<EmailDockBadgeService*>(this)) {}

EmailDockBadgeService::~EmailDockBadgeService() {
  stop();
  *self_ = nullptr;
}

int64_t EmailDockBadgeService::unreadInboxCount(store::EmailDatabase& database) {
  return database.read([](store::Connection& c) {
    auto s = c.prepare(
        "SELECT COUNT(*) FROM email_messages AS m JOIN email_folders AS f ON m.folder_id = f.id "
        "WHERE "
        "m.is_read = 0 AND m.is_deleted = 0 AND m.is_spam = 0 AND m.is_draft = 0 AND f.type = "
        "'inbox'");
    s.step();
    return s.integer(0).value_or(0);
  });
}

void EmailDockBadgeService::start() {
  if (running_) return;
  running_ = true;
  badgeEnabled_ = preferences_.get(settings::emailNotifyBadgeEnabled);
  subscription_ = preferences_.subscribe(settings::emailNotifyBadgeEnabled,
                                         [this](const bool&) { checkSetting(); });
  refresh();
  timer_ = std::make_unique<platform::RepeatingTimer>(kRefreshInterval, [this] { refresh(); });
}

void EmailDockBadgeService::stop() {
  if (!running_) return;
  running_ = false;
  preferences_.unsubscribe(subscription_);
  timer_.reset();
  pending_.reset();
  launcher_.set_count(std::nullopt);
}

void EmailDockBadgeService::storeChanged() { changeTrigger()(); }

std::function<void()> EmailDockBadgeService::changeTrigger() const {
  return [self = std::weak_ptr(self_)] {
    platform::MainQueue::post([self] {
      if (auto alive = self.lock(); alive && *alive) (*alive)->throttledRefresh();
    });
  };
}

void EmailDockBadgeService::throttledRefresh() {
  if (!running_ || (pending_ && pending_->pending()))
    return;  // the pending refresh reads the latest state
  const auto due = lastRefresh_ + kThrottle;
  const auto now = std::chrono::steady_clock::now();
  const auto wait = due > now ? std::chrono::duration_cast<std::chrono::milliseconds>(due - now)
                              : std::chrono::milliseconds(0);
  pending_ = std::make_unique<platform::OneShotTimer>(wait, [this] { refresh(); });
}

void EmailDockBadgeService::checkSetting() {
  const bool enabled = preferences_.get(settings::emailNotifyBadgeEnabled);
  if (enabled == badgeEnabled_) return;
  badgeEnabled_ = enabled;
  refresh();
}

void EmailDockBadgeService::refresh() {
  if (!running_) return;
  lastRefresh_ = std::chrono::steady_clock::now();
  if (!preferences_.get(settings::emailNotifyBadgeEnabled)) {
    launcher_.set_count(std::nullopt);
    return;
  }
  int64_t count = 0;
  try {
    count = unreadInboxCount(database_);
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, "EmailDockBadgeService",
             std::string("读取未读数失败: ") + e.what());
  }
  launcher_.set_count(count > 0 ? std::optional<int64_t>(count) : std::nullopt);
}

}  // namespace kestrova::app
