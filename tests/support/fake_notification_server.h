#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrova::testing {

// A stand-in for the desktop's notification server: owns org.freedesktop.Notifications on
// a bus, records every Notify call and answers with increasing ids (from 1). It serves
// from a thread of its own, so a client may call it synchronously from the test thread.
class FakeNotificationServer {
 public:
  struct Call {
    std::string app_name;
    uint32_t replaces_id = 0;
    std::string app_icon;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;  // key, label, key, label, ...
    // String hints as their text, others in GVariant text form ("true", "uint32 5").
    std::map<std::string, std::string> hints;
    int32_t expire_timeout = 0;
  };

  // Returns once the name is owned; throws std::runtime_error otherwise.
  explicit FakeNotificationServer(const std::string& bus_address);
  ~FakeNotificationServer();
  FakeNotificationServer(const FakeNotificationServer&) = delete;
  FakeNotificationServer& operator=(const FakeNotificationServer&) = delete;

  std::vector<Call> calls() const;
  // The next Notify call is answered with this D-Bus error message (and not recorded).
  void reject_next_notify(const std::string& message);
  // Emits the signals a real server sends when the user acts on or closes a notification.
  void emit_action_invoked(uint32_t id, const std::string& action_key);
  void emit_notification_closed(uint32_t id, uint32_t reason);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Records the com.canonical.Unity.LauncherEntry Update signals (the application badge)
// sent on a bus.
class LauncherEntryListener {
 public:
  struct Update {
    std::string app_uri;
    int64_t count = 0;
    bool count_visible = false;
  };
  explicit LauncherEntryListener(const std::string& bus_address);
  ~LauncherEntryListener();
  std::vector<Update> updates() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrova::testing
