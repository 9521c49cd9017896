#pragma once

#include <memory>
#include <optional>

namespace kestrova::app {
class BackgroundMailService;
}

namespace kestrova::app::desktop {

// The service's work done by the window while no `kestrova run` does it. The service lock
// decides: the window takes it when it is free and does the work on a thread of its own
// (never the interface thread) for as long as it is open; while a `kestrova run` holds it,
// the window leaves the work to it and tries again now and then (take_if_free), so that it
// carries on when that service stops. A `kestrova run` started while the window holds the
// lock refuses to start, as it does for any other holder: there is never a second receiver.
//
// The work runs GLib's main loop on its thread, so the window's own event loop must not be
// GLib's (window_main starts Qt with QT_NO_GLIB); where it is, the window does no service
// work at all. Main thread only.
class ServiceInWindow {
 public:
  enum class State {
    windowWorks,   // this window holds the lock and does the work
    serviceWorks,  // another process (`kestrova run`, another window) holds it
    off,           // not tried yet, stopped, or impossible here (the database, the loop)
  };

  ServiceInWindow();
  ~ServiceInWindow();
  ServiceInWindow(const ServiceInWindow&) = delete;
  ServiceInWindow& operator=(const ServiceInWindow&) = delete;

  // Takes the lock and starts the work when nobody holds it; answers the state after.
  State take_if_free();
  // Stops the work and lets the lock go.
  void stop();

  State state() const { return state_; }
  // The holder's pid while another process does the work, when known.
  std::optional<int> holder() const { return holder_; }

  // How often the window looks whether the lock became free.
  static constexpr int kRetryMilliseconds = 5000;

 private:
  State state_ = State::off;
  std::optional<int> holder_;
  std::unique_ptr<BackgroundMailService> work_;
};

}  // namespace kestrova::app::desktop
