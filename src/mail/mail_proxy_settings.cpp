#include "mail/mail_proxy_settings.h"

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

}  // namespace kestrova::mail
