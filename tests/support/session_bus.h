#pragma once

#include <memory>
#include <optional>
#include <string>

#include "support/test_support.h"

namespace kestrova::testing {

// The full path of `name` found on PATH, or nothing.
std::optional<std::string> find_program(const std::string& name);

// Sets (or, with nothing, unsets) an environment variable and puts the previous value back
// on destruction.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::optional<std::string>& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// A D-Bus session bus of the test's own: dbus-daemon with a configuration written to a
// temporary directory, listening there, with no service activation (so nothing from the
// real desktop, such as the user's keyring, is ever started on it). The daemon and the
// services started on it are stopped by their process ids on destruction.
class PrivateSessionBus {
 public:
  // Throws std::runtime_error when dbus-daemon is missing or does not start.
  PrivateSessionBus();
  ~PrivateSessionBus();
  PrivateSessionBus(const PrivateSessionBus&) = delete;
  PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

  // The address to put in DBUS_SESSION_BUS_ADDRESS.
  const std::string& address() const { return address_; }

  // Starts gnome-keyring-daemon's Secret Service on this bus with a new login keyring,
  // created and unlocked with an empty password, whose files (and HOME, XDG_RUNTIME_DIR,
  // XDG_DATA_HOME) live in this bus's temporary directory. Returns once the default
  // collection answers. Nothing on success (also when already running), else the reason.
  std::optional<std::string> start_keyring();

  // One bus for the whole test program, started on first use and stopped at exit.
  // GLib binds its shared session-bus connection (which libsecret uses) to the first
  // address it sees in a process, so tests that go through it must all use the same bus.
  // Nothing when it cannot be started (`why` then says why).
  static PrivateSessionBus* shared(std::string* why = nullptr);

 private:
  TempDir dir_;
  std::unique_ptr<ChildProcess> daemon_;
  std::unique_ptr<ChildProcess> keyring_;
  std::string address_;
};

}  // namespace kestrova::testing
