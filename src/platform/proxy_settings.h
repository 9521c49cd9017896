#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestrova::platform {

class SettingsStore;

// The proxy the user configured for Kestrova's connections (the `emailProxy*` settings).
// Off unless the user turns it on: a proxy that is not running would otherwise stop every
// connection. When on, the IMAP and SMTP connections (mail/mail_transport.h) and the HTTP
// client (platform/http_transport.h) go through it, or fail saying that the proxy failed;
// they never fall back to a direct connection. Absent values take the defaults: off,
// "localhost", port 7856, type "socks5"; a port of 0 counts as absent.
struct ProxySettings {
  bool enabled = false;
  std::string host = "localhost";
  int64_t port = 7856;
  std::string type = "socks5";

  static ProxySettings load(SettingsStore& store);
  static ProxySettings load();  // the user's settings store

  // "socks5://HOST:PORT" or "http://HOST:PORT" (IPv6 literals in brackets).
  std::string url() const;

  // The variables this proxy stands for, as (name, value): "socks5" sets all_proxy and
  // ALL_PROXY to "socks5://HOST:PORT"; "http" sets http_proxy, https_proxy, HTTP_PROXY and
  // HTTPS_PROXY to "http://HOST:PORT". None when disabled or of another type.
  std::vector<std::pair<std::string, std::string>> environmentVariables() const;
};

}  // namespace kestrova::platform
