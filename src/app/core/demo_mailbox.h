#pragma once

#include <filesystem>
#include <string>

namespace kestrova::app {

// The demo mailbox: a home of its own (see platform::kestrova_home) filled with generated
// mail — three local-only accounts in Chinese and English, many folders, recent mail with
// attachments and conversations — so that Kestrova can be tried without a mail account.
// The user's own mail is never touched.
struct DemoMailbox {
  std::filesystem::path home;
  std::filesystem::path database;  // the home's email.db
  std::filesystem::path settings;  // the home's settings.json
  // The generator to run; empty: the one built or installed with this program.
  std::filesystem::path generator;

  // The demo at `home`.
  static DemoMailbox at(const std::filesystem::path& home);
  // $XDG_DATA_HOME/kestrova-demo, beside the user's data.
  static std::filesystem::path default_home();

  bool exists() const;
  // Generates the mail unless the home has it already; a new home's settings speak
  // `language` and have the first run behind them. Blocks while the generator runs (seconds):
  // call it off the interface thread. Throws kestrova::Error when the generator is missing or
  // fails (a half-written database is removed).
  void prepare(const std::string& language) const;
};

}  // namespace kestrova::app
