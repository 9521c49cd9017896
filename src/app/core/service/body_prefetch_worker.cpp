#include "app/core/service/body_prefetch_worker.h"

#include <algorithm>

#include "app/core/user_preferences.h"
#include "mail/email_service.h"
#include "util/log.h"

namespace kestrova::app {

mail::EmailBodyPrefetcher::Window body_prefetch_window(const UserPreferences& preferences) {
  const int64_t maxBytes = preferences.get(settings::emailBodyPrefetchMaxBytes);
  return {preferences.get(settings::emailBodyPrefetchDays),
          static_cast<uint64_t>(std::max<int64_t>(0, maxBytes))};
}

BodyPrefetchWorker::BodyPrefetchWorker(store::EmailDatabase& database, mail::EmailService& service,
                                       UserPreferences& preferences)
    : database_(database),
      service_(service),
      preferences_(preferences),
      prefetcher_(database, service) {}

BodyPrefetchWorker::~BodyPrefetchWorker() { stop(); }

void BodyPrefetchWorker::start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { loop(); });
}

void BodyPrefetchWorker::request(const store::EmailAccount& account) {
  {
    std::lock_guard guard(lock_);
    const bool queued = std::any_of(queue_.begin(), queue_.end(),
                                    [&](const auto& waiting) { return waiting.id == account.id; });
    if (!queued) queue_.push_back(account);
  }
  wake_.notify_one();
}

void BodyPrefetchWorker::stop() {
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void BodyPrefetchWorker::loop() {
  for (;;) {
    store::EmailAccount account;
    {
      std::unique_lock guard(lock_);
      wake_.wait(guard, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) return;
      account = std::move(queue_.front());
      queue_.pop_front();
    }
    try {
      const auto window = body_prefetch_window(preferences_);
      if (window.days > 0)
        prefetcher_.prefetch(account, service_.storedPassword(account), window, stopping_);
    } catch (const std::exception& e) {
      log_line(log_kind::kFailure, "BodyPrefetch",
               account.emailAddress + " 正文预取失败: " + e.what());
    }
  }
}

}  // namespace kestrova::app
