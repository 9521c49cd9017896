#pragma once

#include <string>

namespace kestrova::platform {

// Hands a URL to the desktop (xdg-open) without waiting for it. Does nothing and returns
// false when no graphical session is present (no DISPLAY or WAYLAND_DISPLAY) or the
// opener cannot be started. The opener's output never reaches our standard output.
bool open_url_on_desktop(const std::string& url);

}  // namespace kestrova::platform
