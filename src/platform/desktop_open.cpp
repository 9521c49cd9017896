#include "platform/desktop_open.h"

#include <glib.h>

#include <vector>

#include "platform/launch_environment.h"
#include "util/log.h"

namespace kestrova::platform {

bool open_url_on_desktop(const std::string& url) {
  if (launchEnvironmentValue("DISPLAY").value_or("").empty() &&
      launchEnvironmentValue("WAYLAND_DISPLAY").value_or("").empty())
    return false;
  gchar* argv[] = {const_cast<gchar*>("xdg-open"), const_cast<gchar*>(url.c_str()), nullptr};
  // The opener (and the browser it may start) gets the environment the user started us
  // with, not the proxy variables the mail settings put into ours.
  std::vector<gchar*> envp;
  for (const std::string& entry : launchEnvironment())
    envp.push_back(const_cast<gchar*>(entry.c_str()));
  envp.push_back(nullptr);
  GError* error = nullptr;
  const auto flags = static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL |
                                              G_SPAWN_STDERR_TO_DEV_NULL);
  if (!g_spawn_async(nullptr, argv, envp.data(), flags, nullptr, nullptr, nullptr, &error)) {
    log_line(log_kind::kWarning, "Desktop",
             std::string("无法打开链接: ") + (error ? error->message : ""));
    g_clear_error(&error);
    return false;
  }
  return true;
}

}  // namespace kestrova::platform
