#pragma once

#include <functional>
#include <memory>
#include <mutex>

namespace kestrova::platform {

// Follows the machine's suspend and resume through systemd-logind on the system bus, so
// that the owner of long-lived network connections can close them before the machine
// sleeps and open them again after it wakes.
//
// While listening it holds a logind "delay" inhibitor lock for sleep: logind then waits
// (up to its InhibitDelayMaxSec) until onSystemWillSleep has run and the lock is released,
// instead of freezing the process in the middle of an IDLE. The lock is taken again after
// waking. Preventing sleep altogether takes a "block" lock on "sleep:idle".
//
// Where no system bus or no logind answers (a container, CI) starting logs one warning and
// the notifier stays idle. Create and use it on the main thread; the callbacks run there.
class SleepWakeNotifier {
 public:
  SleepWakeNotifier();
  ~SleepWakeNotifier();
  SleepWakeNotifier(const SleepWakeNotifier&) = delete;
  SleepWakeNotifier& operator=(const SleepWakeNotifier&) = delete;

  std::function<void()> onSystemWillSleep;
  std::function<void()> onSystemDidWake;

  void startListening();
  void stopListening();
  bool isSystemAwake() const;

  // Thread-safe.
  void beginPreventingSleep();
  void endPreventingSleep();
  bool isPreventingSleep() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace kestrova::platform
