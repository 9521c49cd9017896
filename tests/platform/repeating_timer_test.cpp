#include "platform/repeating_timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "platform/main_queue.h"

namespace kestrova::platform {
namespace {

using namespace std::chrono_literals;

// Turns the main loop until `done` holds or `limit` passes.
template <class Done>
void run_main_loop(std::chrono::milliseconds limit, Done done) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    MainQueue::drain();
    std::this_thread::sleep_for(10ms);
  }
}

TEST(RepeatingTimer, TicksRepeatedlyUntilDestroyed) {
  int ticks = 0;
  auto timer = std::make_unique<RepeatingTimer>(1s, [&] {
    ++ticks;
    if (ticks == 1) throw std::runtime_error("a failed tick does not stop the timer");
  });
  run_main_loop(5s, [&] { return ticks >= 2; });
  EXPECT_EQ(ticks, 2);

  timer.reset();
  run_main_loop(1500ms, [] { return false; });
  EXPECT_EQ(ticks, 2);
}

}  // namespace
}  // namespace kestrova::platform
