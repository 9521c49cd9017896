// `kestrova settings list|get|set` and `kestrova open URL`: thin front ends over
// UserPreferences and the deep links.

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <string>

#include "app/cli/command_line.h"
#include "app/core/email_deep_link.h"
#include "app/core/service/service_files.h"
#include "app/core/user_preferences.h"
#include "app/core/window_handover.h"
#include "mail/oauth_sign_in.h"
#include "platform/main_queue.h"
#include "platform/settings_store.h"
#include "util/error.h"
#include "util/json.h"
#include "util/localization.h"

namespace kestrova::app {

namespace {

const SettingDescriptor& known_setting(const std::string& key) {
  const SettingDescriptor* setting = find_setting(key);
  if (!setting) throw Error(localized_format("cli.settings.unknown", key));
  return *setting;
}

// A value as the command line shows it: API keys (the legacy token and each AI profile's
// key) and the OAuth client secret are secrets and appear as "***".
Json shown(std::string_view key, Json value) {
  auto mask = [](Json& secret) {
    if (secret.is_string() && !secret.get_ref<const std::string&>().empty()) secret = "***";
  };
  if (key == settings::aiAPIToken.key || key == settings::oauthGmailClientSecret.key) mask(value);
  if (key == settings::aiServiceProfiles.key && value.is_array())
    for (Json& profile : value)
      if (profile.is_object() && profile.contains("apiKey")) mask(profile["apiKey"]);
  return value;
}

void list_settings() {
  auto& preferences = UserPreferences::shared();
  std::cout << localized_format("cli.settings.file", preferences.defaults().path().string())
            << "\n";
  for (const auto& setting : setting_descriptors()) {
    const Json value = preferences.value(setting.key);
    std::cout << (value == setting.fallback ? "  " : "* ") << setting.key << " = "
              << dump_compact(shown(setting.key, value)) << "\n";
  }
  std::cout << localized("cli.settings.legend") << "\n";
}

// What the interface will do with the link once it routes the notification.
std::string describe(const EmailDeepLink& link) {
  std::string action;
  switch (link.kind) {
    case EmailDeepLink::Kind::message:
      action = localized("cli.open.message");
      break;
    case EmailDeepLink::Kind::thread:
      action = localized("cli.open.thread");
      break;
    case EmailDeepLink::Kind::draft:
      action = localized("cli.open.draft");
      break;
    case EmailDeepLink::Kind::account:
      action = localized("cli.open.account");
      break;
    case EmailDeepLink::Kind::email:
      action = localized("cli.open.email");
      break;
    case EmailDeepLink::Kind::reply:
      action = localized("cli.open.reply");
      break;
    case EmailDeepLink::Kind::drafts:
      action = localized("cli.open.drafts");
      break;
  }
  if (link.chat) action = localized_format("cli.open.with_chat", action);
  return action;
}

}  // namespace

void add_settings_commands(CLI::App& root) {
  auto* settings = root.add_subcommand("settings", "Show and change the settings");
  settings->require_subcommand(1);

  settings
      ->add_subcommand(
          "list",
          "Every setting with its current value (* marks values that differ from the default)")
      ->callback(list_settings);

  auto* get = settings->add_subcommand("get", "Print a setting's current value as JSON");
  auto get_key = std::make_shared<std::string>();
  get->add_option("KEY", *get_key, "Setting key, as listed by `settings list`")->required();
  get->callback([get_key] {
    const auto& setting = known_setting(*get_key);
    std::cout << dump_compact(shown(setting.key, UserPreferences::shared().value(setting.key)))
              << "\n";
  });

  auto* set = settings->add_subcommand(
      "set", "Change a setting; VALUE is read according to the setting's type");
  auto set_key = std::make_shared<std::string>();
  auto set_text = std::make_shared<std::string>();
  set->add_option("KEY", *set_key, "Setting key, as listed by `settings list`")->required();
  set->add_option("VALUE", *set_text,
                  "bool: true/false/1/0/yes/no; integer; double; string; "
                  "string list: JSON array or comma-separated")
      ->required();
  set->callback([set_key, set_text] {
    const auto& setting = known_setting(*set_key);
    // Parsed in full before anything is written: a rejected value leaves the file as it was.
    Json value = parse_setting_input(setting, *set_text);
    auto& preferences = UserPreferences::shared();
    preferences.set_value(setting.key, std::move(value));
    std::cout << setting.key << " = "
              << dump_compact(shown(setting.key, preferences.value(setting.key))) << "\n";
    if (setting.key == settings::launchAtLogin.key) {
      apply_launch_at_login(preferences.get(settings::launchAtLogin));
      std::cout << localized_format(
                       preferences.get(settings::launchAtLogin) ? "cli.written" : "cli.removed",
                       autostart_entry_path().string())
                << "\n";
    }
  });
}

void add_open_command(CLI::App& root) {
  auto* open = root.add_subcommand(
      "open", "Open a kestrova:// link, as the desktop does when one is clicked");
  auto url = std::make_shared<std::string>();
  open->add_option("URL", *url, "A kestrova:// link")->required();
  open->callback([url] {
    // The redirect of an OAuth sign-in that uses the custom scheme goes to the sign-in
    // waiting in `kestrova account add --oauth`.
    if (mail::OAuthSignIn::forwardCustomSchemeCallback(*url)) {
      std::cout << localized("cli.open.oauth_forwarded") << "\n";
      return;
    }
    // A running window shows a valid link itself. A text that is not a valid link of this
    // program (another scheme, an unknown kind, a malformed id) is refused with a message
    // and status 1.
    if (EmailDeepLink::parse(*url) && hand_over_to_window("open " + *url)) {
      std::cout << localized("desktop.cli.handed_over") << "\n";
      return;
    }
    auto link = open_deep_link(*url);
    platform::MainQueue::drain();  // delivers the notification to this process's observers
    if (!link) throw Error(localized_format("cli.open.not_a_link", *url));
    std::cout << localized_format("cli.open.will", describe(*link), dump_compact(link->to_json()))
              << "\n";
  });
}

}  // namespace kestrova::app
