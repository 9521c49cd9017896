// `kestrova demo`: a separate demo home filled with generated mail, then the tool server on
// it, so that a first agent session has mail to work with without a mail account. The demo's
// accounts are local-only: no server is pretended, so every mail action works on them.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
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
#include "app/core/agent/mcp_cli_installer.h"
#include "app/core/user_preferences.h"
#include "platform/paths.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "util/error.h"
#include "util/json.h"
#include "util/localization.h"

extern char** environ;

namespace kestrova::app {

namespace {

namespace fs = std::filesystem;

// The generator is built with the program: where its companions are once installed, in
// tools/ of a build directory.
fs::path generator_path(const fs::path& program) {
  if (auto installed = platform::companion_program("kestrova-generate-db")) return *installed;
  const fs::path built = program.parent_path() / "tools" / "kestrova-generate-db";
  if (access(built.c_str(), X_OK) == 0) return built;
  throw Error(localized("cli.demo.no_generator"));
}

// Runs the generator with its progress silenced; throws when it fails.
void generate(const fs::path& generator, const fs::path& database) {
  const std::vector<std::string> arguments{
      generator.string(), "--out", database.string(), "--messages", "3000",  "--accounts", "3",
      "--folders",        "24",    "--seed",          "7",          "--demo"};
  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    std::error_code ignored;
    fs::remove(database, ignored);
    throw Error(localized_format("cli.demo.generator_failed", generator.string()));
  }
}

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
  const fs::path home = platform::kestrova_home().value_or(platform::data_home() / "kestrova-demo");
  const std::string language = UserPreferences::shared().get(settings::defaultLanguage);
  platform::set_kestrova_home(home);
  const fs::path database = store::EmailDatabase::default_path();
  if (!fs::exists(database)) {
    // A new demo home speaks the language of the home it was made from.
    platform::SettingsStore demoSettings(platform::SettingsStore::default_path());
    if (!demoSettings.value(settings::defaultLanguage.key))
      demoSettings.set(settings::defaultLanguage.key, language);
    if (!platform::ensure_private_directory(database.parent_path()))
      throw Error(localized_format("cli.demo.generator_failed", database.parent_path().string()));
    std::cerr << localized_format("cli.demo.generating", home.string()) << std::endl;
    generate(generator_path(*program), database);
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
