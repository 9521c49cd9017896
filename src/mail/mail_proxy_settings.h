#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestrova::platform {
class SettingsStore;
}

namespace kestrova::mail {

// The mail proxy as the user configured it in the settings file. Absent values take the
// defaults of the settings screen: enabled, "localhost", port 7856, type "socks5"; a port
// of 0 counts as absent. The proxy is only exported to the process environment (for
// helpers that honour all_proxy/http_proxy); the sessions' own connections go direct.
struct MailProxySettings {
  bool enabled = true;
  std::string host = "localhost";
  int64_t port = 7856;
  std::string type = "socks5";

  static MailProxySettings load(platform::SettingsStore& store);
  static MailProxySettings load();  // the user's settings store

  // The variables this proxy stands for, as (name, value): "socks5" sets all_proxy and
  // ALL_PROXY to "socks5://HOST:PORT"; "http" sets http_proxy, https_proxy, HTTP_PROXY and
  // HTTPS_PROXY to "http://HOST:PORT". None when disabled or of another type.
  std::vector<std::pair<std::string, std::string>> environmentVariables() const;
};

// Writes the proxy's variables into the process environment. Variables written earlier are
// never removed, also not when the proxy is switched off. setenv races with every getenv on
// other threads, so this runs on the main thread only: before any other thread starts, or
// from the main queue.
void export_proxy_environment(const MailProxySettings& proxy);

// Exports the user's proxy now and again, from the main queue, whenever this process changes
// one of the proxy settings. Called once at the top of main, before any thread starts.
void export_proxy_environment_and_follow_changes();

}  // namespace kestrova::mail
