#include "mail/email_idle_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <vector>

#include "mail/email_service.h"

namespace kestrova::mail {
namespace {

using namespace std::chrono_literals;

// A watcher whose sessions keep failing (the account names no stored password) waits
// 10, 20, 40, 80, 160 and then 300 seconds between attempts, each as `reconnecting`, and
// ends as `stopped` when a wait is cut short. The injected sleeper takes no time.
TEST(EmailIdleServiceTest, FailingSessionsBackOffUpToFiveMinutesAndStopWhenCancelled) {
  std::mutex lock;
  std::vector<std::chrono::seconds> waits;
  std::vector<std::string> statuses;
  std::promise<void> stopped;
  EmailIdleService::Options options;
  options.sleep = [&](std::chrono::seconds delay, const std::function<bool()>&) {
    std::lock_guard guard(lock);
    waits.push_back(delay);
    return waits.size() < 7;  // the seventh wait is interrupted
  };
  options.post = [&](std::string_view name, const Json& info) {
    if (name != EmailIdleService::kStatusChangedNotice) return;
    std::lock_guard guard(lock);
    statuses.push_back(info["status"]);
    if (statuses.back() == "stopped") stopped.set_value();
  };
  EmailService service;
  EmailIdleService idle(
      service, [](const store::EmailAccount&) { return std::nullopt; }, options);
  store::EmailAccount account;
  account.id = "6F1B3C0E-2D4A-4B5C-8D9E-0A1B2C3D4E5F";
  account.emailAddress = "nobody@kestrova.test";
  idle.startWatching(account);
  ASSERT_EQ(stopped.get_future().wait_for(30s), std::future_status::ready);
  idle.stopAll();

  EXPECT_EQ(waits, (std::vector<std::chrono::seconds>{10s, 20s, 40s, 80s, 160s, 300s, 300s}));
  // connecting, reconnecting seven times over, then stopped.
  ASSERT_EQ(statuses.size(), 15u);
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "reconnecting"), 7);
  EXPECT_EQ(statuses.back(), "stopped");
  EXPECT_EQ(idle.status(account.id), EmailIdleService::IdleStatus::stopped);
}

}  // namespace
}  // namespace kestrova::mail
