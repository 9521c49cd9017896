#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

namespace kestrova::platform {

// The application icon's badge: the com.canonical.Unity.LauncherEntry Update signal on the
// session bus for application://kestrova.desktop, which docks and launchers (GNOME's
// Dash-to-Dock, KDE's task manager, Plank) show as a count on the icon.
//
// Without a session bus it logs one warning for its lifetime and otherwise does nothing.
// Use it from one thread.
class LauncherEntry {
 public:
  static constexpr std::string_view kApplicationUri = "application://kestrova.desktop";
  static constexpr std::string_view kObjectPath = "/com/canonical/unity/launcherentry/kestrova";

  LauncherEntry();
  ~LauncherEntry();
  LauncherEntry(const LauncherEntry&) = delete;
  LauncherEntry& operator=(const LauncherEntry&) = delete;

  // Shows `count` on the icon; nothing hides the count.
  void set_count(std::optional<int64_t> count);

  struct State;

 private:
  std::unique_ptr<State> state_;
};

}  // namespace kestrova::platform
