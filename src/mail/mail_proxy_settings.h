#pragma once

#include <cstdint>
#include <string>

namespace kestrova::platform {
class SettingsStore;
}

namespace kestrova::mail {

// The mail proxy as the user configured it in the settings file. Absent values take the
// defaults of the settings screen: enabled, "localhost", port 7856, type "socks5"; a port
// of 0 counts as absent. The sessions only export the proxy to the process environment
// (for helpers that honour all_proxy/http_proxy); their own connections go direct.
struct MailProxySettings {
  bool enabled = true;
  std::string host = "localhost";
  int64_t port = 7856;
  std::string type = "socks5";

  static MailProxySettings load(platform::SettingsStore& store);
  static MailProxySettings load();  // the user's settings store
};

}  // namespace kestrova::mail
