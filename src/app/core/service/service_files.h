#pragma once

#include <filesystem>

namespace kestrova::app {

// The files through which the desktop starts Kestrova, each pointing at this program file.

// ~/.config/autostart/kestrova.desktop: starts `kestrova run` at login (the setting
// `launchAtLogin`). Writes or removes the entry to match `enabled`.
std::filesystem::path autostart_entry_path();
void apply_launch_at_login(bool enabled);

// ~/.config/systemd/user/kestrova.service (runs `kestrova run`) and
// ~/.local/share/applications/kestrova.desktop (hands kestrova: links to `kestrova open`).
std::filesystem::path systemd_unit_path();
std::filesystem::path desktop_entry_path();
void install_service_files();
void uninstall_service_files();

}  // namespace kestrova::app
