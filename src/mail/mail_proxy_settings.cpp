#include "mail/mail_proxy_settings.h"

#include <cstdlib>

#include "platform/main_queue.h"
#include "platform/settings_store.h"

namespace kestrova::mail {

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
