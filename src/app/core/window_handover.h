#pragma once

#include <filesystem>
#include <string_view>

namespace kestrova::app {

// The running desktop window listens on one local socket per user; what a second start of
// the window, or `kestrova open` while the window runs, has to say goes there as one line:
// "raise", or "open " followed by a kestrova:// link.

// $XDG_RUNTIME_DIR/kestrova-window, else kestrova-window-UID in the temporary directory.
std::filesystem::path window_socket_path();

// Writes `line` and a newline to the running window. False when no window listens (nothing
// is written then). Waits at most a second.
bool hand_over_to_window(std::string_view line);

}  // namespace kestrova::app
