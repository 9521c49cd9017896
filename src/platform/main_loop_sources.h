#pragma once

#include <chrono>
#include <functional>

namespace kestrova::platform {

class CancellationToken;

// Runs `task` once on the main loop after `delay`, unless the object is destroyed first.
// Create, use and destroy it on the main thread.
class OneShotTimer {
 public:
  OneShotTimer(std::chrono::milliseconds delay, std::function<void()> task);
  ~OneShotTimer();
  OneShotTimer(const OneShotTimer&) = delete;
  OneShotTimer& operator=(const OneShotTimer&) = delete;

  bool pending() const { return source_id_ != 0; }

 private:
  static int on_fire(void* self) noexcept;

  std::function<void()> task_;
  unsigned source_id_ = 0;
};

// Calls `handler` on the main loop when the process receives SIGTERM or SIGINT (instead of
// the default action of ending at once). `cancel`, when given, is set in the signal handler
// itself, before the main loop gets its turn, so that waits on other threads and a wait
// that blocks the main loop give up at once. Call once, on the main thread, before the
// loop runs. Throws Error when the signal pipe cannot be made.
void on_termination_signals(std::function<void()> handler, CancellationToken* cancel = nullptr);

}  // namespace kestrova::platform
