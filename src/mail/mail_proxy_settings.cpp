#include "mail/mail_proxy_settings.h"

#include <cstdlib>

#include "platform/main_queue.h"
#include "platform/settings_store.h"

namespace kestrova::mail {

MailProxySettings MailProxySettings::load(platform::SettingsStore& store) {
  MailProxySettings settings;
  if (auto enabled = store.boolean("emailProxyEnabled")) settings.enabled = *enabled;
  if (auto host = store.string("emailProxyHost")) settings.host = *host;
  if (auto port = store.integer("emailProxyPort"); port && *port != 0) settings.port = *port;
  if (auto type = store.string("emailProxyType")) settings.type = *type;
  return settings;
}

MailProxySettings MailProxySettings::load() { return load(platform::SettingsStore::shared()); }

std::vector<std::pair<std::string, std::string>> MailProxySettings::environmentVariables() const {
  if (!enabled) return {};
  const std::string address = host + ":" + std::to_string(port);
  if (type == "socks5")
    return {{"all_proxy", "socks5://" + address}, {"ALL_PROXY", "socks5://" + address}};
  if (type != "http") return {};
  std::vector<std::pair<std::string, std::string>> variables;
  for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"})
    variables.emplace_back(name, "http://" + address);
  return variables;
}

void export_proxy_environment(const MailProxySettings& proxy) {
  for (const auto& [name, value] : proxy.environmentVariables())
    ::setenv(name.c_str(), value.c_str(), 1);
}

void export_proxy_environment_and_follow_changes() {
  auto& store = platform::SettingsStore::shared();
  export_proxy_environment(MailProxySettings::load(store));
  // Observers run on the writing thread, which may be any; the export waits for the main
  // queue and reads the settings there, so the latest change wins.
  store.add_observer([](const std::string& key) {
    if (key.rfind("emailProxy", 0) != 0) return;
    platform::MainQueue::post([] { export_proxy_environment(MailProxySettings::load()); });
  });
}

}  // namespace kestrova::mail
