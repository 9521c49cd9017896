// `kestrova demo`: a separate demo home filled with generated mail, then the tool server on
// it, so that a first agent session has mail to work with without a mail account. The demo's
// accounts are local-only: no server is pretended, so every mail action works on them.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli/command_line.h"
#include "app/core/agent/agent_host_setup.h"
#include "app/core/demo_mailbox.h"
#include "app/core/user_preferences.h"
#include "platform/paths.h"
#include "util/error.h"
#include "util/json.h"
#include "util/localization.h"

namespace kestrova::app {

namespace {

namespace fs = std::filesystem;

// How the user starts this program: "kestrova" when that name on PATH is this very file,
// else its full path.
std::string program_name(const fs::path& program) {
  const char* path = std::getenv("PATH");
  std::string_view rest = path ? path : "";
  while (!rest.empty()) {
    const size_t colon = rest.find(':');
    const fs::path candidate = fs::path(rest.substr(0, colon)) / "kestrova";
    std::error_code ec;
    if (fs::exists(candidate, ec))
      return fs::equivalent(candidate, program, ec) ? "kestrova" : program.string();
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return program.string();
}

void run_demo() {
  const auto program = platform::executable_path();
  if (!program) throw Error(localized("settings.mcp.error.missingExecutable"));
  // The demo home: the one chosen with --home, else a folder of its own beside the user's
  // data. Everything from here on (and the tool server started below) uses it.
  const auto demo = DemoMailbox::at(platform::kestrova_home().value_or(DemoMailbox::default_home()));
  const fs::path& home = demo.home;
  const std::string language = UserPreferences::shared().get(settings::defaultLanguage);
  platform::set_kestrova_home(home);
  if (!demo.exists()) {
    // A new demo home speaks the language of the home it was made from.
    std::cerr << localized_format("cli.demo.generating", home.string()) << std::endl;
    demo.prepare(language);
  }
  const std::string command = program_name(*program) + " " + home_option_words();
  // On standard error: standard output carries the tool server's protocol from here on.
  std::cerr << localized_format("cli.demo.ready", home.string()) << "\n  " << command << " list\n  "
            << command << " search 'since:7d has:attachment'\n"
            << localized("cli.demo.agent_host") << "\n"
            << "  {\"mcpServers\": {\"kestrova-demo\": {\"command\": "
            << Json(program->string()).dump() << ", \"args\": [\"--home\", "
            << Json(home.string()).dump() << ", \"--mcp-stdio\"]}}}\n"
            << localized("cli.demo.starting") << std::endl;
  const std::string path = program->string();
  char* const argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("--mcp-stdio"),
                        nullptr};
  execv(path.c_str(), argv);
  throw Error(localized_format("cli.demo.start_failed", path));
}

}  // namespace

void add_demo_command(CLI::App& root) {
  auto* demo = root.add_subcommand(
      "demo",
      "Try Kestrova without a mail account: fill a separate demo home with generated mail "
      "(three local accounts, Chinese and English, many folders, mail of the last days with "
      "attachments and conversations), print how to point the command line and an agent host "
      "at it, and start the tool server on it. The home is --home DIR when given (remove it to "
      "start over), else $XDG_DATA_HOME/kestrova-demo. Your own mail is never touched");
  demo->callback([] { run_demo(); });
}

}  // namespace kestrova::app
