#pragma once

#include "platform/proxy_settings.h"

namespace kestrova::mail {

// The mail proxy as the user configured it in the settings file (platform/proxy_settings.h).
// The mail sessions connect through it themselves (mail/mail_transport.h); its variables are
// also exported to the process environment for programs that honour all_proxy/http_proxy.
using MailProxySettings = platform::ProxySettings;

// Writes the proxy's variables into the process environment. Variables written earlier are
// never removed, also not when the proxy is switched off. setenv races with every getenv on
// other threads, so this runs on the main thread only: before any other thread starts, or
// from the main queue.
void export_proxy_environment(const MailProxySettings& proxy);

// Exports the user's proxy now and again, from the main queue, whenever this process changes
// one of the proxy settings. Called once at the top of main, before any thread starts.
void export_proxy_environment_and_follow_changes();

}  // namespace kestrova::mail
