#include "platform/desktop_notifier.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/main_queue.h"
#include "support/fake_notification_server.h"
#include "support/session_bus.h"
#include "support/test_support.h"

namespace kestrova::platform {
namespace {

using testing::FakeNotificationServer;
using testing::PrivateSessionBus;
using testing::ScopedEnvironment;

// Runs the main context (where action handlers are delivered) until `done` or 5 s pass.
bool pump_until(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    MainQueue::drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

size_t count_of(const std::string& haystack, const std::string& needle) {
  size_t count = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1))
    ++count;
  return count;
}

class DesktopNotifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    bus_ = PrivateSessionBus::shared(&why);
    if (!bus_) GTEST_SKIP() << "no private session bus: " << why;
    bus_env_.emplace("DBUS_SESSION_BUS_ADDRESS", bus_->address());
  }

  PrivateSessionBus* bus_ = nullptr;
  std::optional<ScopedEnvironment> bus_env_;
};

TEST_F(DesktopNotifierTest, ActionsOnOwnNotificationsReachTheHandler) {
  FakeNotificationServer server(bus_->address());
  DesktopNotifier notifier;
  std::vector<std::pair<uint32_t, std::string>> invoked;
  notifier.set_action_handler(
      [&](uint32_t id, const std::string& key) { invoked.emplace_back(id, key); });

  DesktopNotification request;
  request.title = "新邮件";
  request.actions = {{"REPLY", "回复"}};
  const auto first = notifier.post(request);
  const auto second = notifier.post(request);
  ASSERT_TRUE(first && second);

  server.emit_action_invoked(*first, "REPLY");
  ASSERT_TRUE(pump_until([&] { return invoked.size() == 1; }));
  EXPECT_EQ(invoked[0], std::make_pair(*first, std::string("REPLY")));

  // Not ours (another application's id), and ours after the server closed it: ignored.
  // The action on `second`, sent last, shows that the ones before it were delivered.
  server.emit_action_invoked(*second + 100, "REPLY");
  server.emit_notification_closed(*first, 2);
  server.emit_action_invoked(*first, "default");
  server.emit_action_invoked(*second, "default");
  ASSERT_TRUE(pump_until([&] { return invoked.size() >= 2; }));
  MainQueue::drain();
  ASSERT_EQ(invoked.size(), 2u);
  EXPECT_EQ(invoked[1], std::make_pair(*second, std::string("default")));
}

TEST_F(DesktopNotifierTest, PostsFromSeveralThreadsGetDistinctIds) {
  FakeNotificationServer server(bus_->address());
  DesktopNotifier notifier;
  std::vector<std::vector<uint32_t>> ids(4);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < ids.size(); ++t) {
    threads.emplace_back([&, t] {
      DesktopNotification request;
      request.title = "thread " + std::to_string(t);
      for (int i = 0; i < 5; ++i) ids[t].push_back(notifier.post(request).value_or(0));
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<uint32_t> distinct;
  for (const auto& list : ids) distinct.insert(list.begin(), list.end());
  EXPECT_EQ(distinct.size(), 20u);
  EXPECT_EQ(distinct.count(0), 0u);
  EXPECT_EQ(server.calls().size(), 20u);
}

TEST_F(DesktopNotifierTest, ServerRejectionIsAnErrorNotSilence) {
  FakeNotificationServer server(bus_->address());
  DesktopNotifier notifier;
  server.reject_next_notify("磁盘已满");
  DesktopNotification request;
  request.title = "t";
  try {
    notifier.post(request);
    FAIL() << "a rejected notification was reported as shown";
  } catch (const DesktopNotifierError& e) {
    EXPECT_EQ(std::string(e.what()), "磁盘已满");
  }
  EXPECT_EQ(notifier.post(request), 1u);
}

TEST(DesktopNotifierWithoutBus, WarnsOnceAndCarriesOn) {
  testing::TempDir dir;
  ScopedEnvironment bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (dir.path() / "none").string());
  ::testing::internal::CaptureStdout();
  std::optional<DesktopNotifier> notifier;
  EXPECT_NO_THROW(notifier.emplace());
  DesktopNotification request;
  request.title = "t";
  for (int i = 0; i < 3; ++i) {
    std::optional<uint32_t> id = 7;
    EXPECT_NO_THROW(id = notifier->post(request));
    EXPECT_EQ(id, std::nullopt);
  }
  notifier.reset();
  const std::string log = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(count_of(log, "⚠️ [DesktopNotifier] "), 1u) << log;
  EXPECT_EQ(count_of(log, "\n"), 1u) << log;
}

}  // namespace
}  // namespace kestrova::platform
