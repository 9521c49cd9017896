#include "platform/desktop_open.h"

#include <glib.h>

#include <cstdlib>

#include "util/log.h"

namespace kestrova::platform {

bool open_url_on_desktop(const std::string& url) {
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!display || !*display) && (!wayland || !*wayland)) return false;
  gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(url.c_str()), nullptr};
  GError* error = nullptr;
  const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL |
                                              G_SPAWN_STDERR_TO_DEV_NULL);
  if (!g_spawn_async(nullptr, argv, nullptr, flags, nullptr, nullptr, nullptr, &error)) {
    log_line(log_kind::kWarning, "Desktop", std::string("无法打开链接: ") + (error ? error->message : ""));
    g_clear_error(&error);
    return false;
  }
  return true;
}

}  // namespace kestrova::platform
