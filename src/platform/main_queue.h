#pragma once

#include <functional>

namespace kestrova::platform {

// The main thread's run loop (a GLib main loop on the default context). Background work
// hands results to the main thread with post(); observable state is changed there.
class MainQueue {
 public:
  // Runs `task` on the main thread at its next turn. Thread-safe.
  static void post(std::function<void()> task);
  // Runs the main loop on the calling thread until quit() (never, for the tool server).
  static void run();
  static void quit();
  // Runs pending tasks without blocking (tests, short command-line runs).
  static void drain();
};

}  // namespace kestrova::platform
