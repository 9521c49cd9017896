#include "platform/proxy_settings.h"

#include "platform/settings_store.h"

namespace kestrova::platform {

ProxySettings ProxySettings::load(SettingsStore& store) {
  ProxySettings settings;
  if (auto enabled = store.boolean("emailProxyEnabled")) settings.enabled = *enabled;
  if (auto host = store.string("emailProxyHost")) settings.host = *host;
  if (auto port = store.integer("emailProxyPort"); port && *port != 0) settings.port = *port;
  if (auto type = store.string("emailProxyType")) settings.type = *type;
  return settings;
}

ProxySettings ProxySettings::load() { return load(SettingsStore::shared()); }

std::string ProxySettings::url() const {
  const bool ipv6 = host.find(':') != std::string::npos;
  return type + "://" + (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::vector<std::pair<std::string, std::string>> ProxySettings::environmentVariables() const {
  if (!enabled || (type != "socks5" && type != "http")) return {};
  if (type == "socks5") return {{"all_proxy", url()}, {"ALL_PROXY", url()}};
  std::vector<std::pair<std::string, std::string>> variables;
  for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"})
    variables.emplace_back(name, url());
  return variables;
}

}  // namespace kestrova::platform
