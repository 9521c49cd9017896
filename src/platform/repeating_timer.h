#pragma once

#include <chrono>
#include <functional>

namespace kestrova::platform {

// A timer on the main loop that calls `tick` every `interval` until it is destroyed; the
// first call comes one interval after creation. GLib may shift a tick by up to a second so
// that wake-ups of several timers coincide. An exception thrown by `tick` is swallowed and
// the timer goes on. Create, use and destroy it on the main thread, and not from inside
// its own tick.
class RepeatingTimer {
 public:
  RepeatingTimer(std::chrono::seconds interval, std::function<void()> tick);
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

 private:
  static int on_tick(void* self) noexcept;

  std::function<void()> tick_;
  unsigned source_id_ = 0;
};

}  // namespace kestrova::platform
