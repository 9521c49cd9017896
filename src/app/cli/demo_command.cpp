// `kestrova demo`: a separate demo home filled with generated mail, then the tool server on
// it, so that a first agent session has mail to work with without a mail account.

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "platform/paths.h"
#include "util/error.h"
#include "util/localization.h"

extern char** environ;

namespace kestrova::app {

namespace {

namespace fs = std::filesystem;

// The generator is built with the program: beside it once installed, in tools/ of a build
// directory.
fs::path generator_path(const fs::path& program) {
  for (const fs::path& candidate : {program.parent_path() / "kestrova-generate-db",
                                    program.parent_path() / "tools" / "kestrova-generate-db"})
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  throw Error(localized("cli.demo.no_generator"));
}

// Runs the generator with its progress silenced; throws when it fails.
void generate(const fs::path& generator, const fs::path& database) {
  const std::vector<std::string> arguments{generator.string(), "--out", database.string(),
                                           "--messages", "3000", "--accounts", "3",
                                           "--folders", "24", "--seed", "7"};
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

void run_demo(const fs::path& home) {
  const auto program = platform::executable_path();
  if (!program) throw Error(localized("settings.mcp.error.missingExecutable"));
  const fs::path database = home / "data" / "tivra" / "Email" / "email.db";
  if (!fs::exists(database)) {
    fs::create_directories(database.parent_path());
    std::cerr << localized_format("cli.demo.generating", home.string()) << std::endl;
    generate(generator_path(*program), database);
  }
  const std::vector<std::pair<std::string, fs::path>> variables{{"HOME", home},
                                                                {"XDG_DATA_HOME", home / "data"},
                                                                {"XDG_CONFIG_HOME", home / "config"},
                                                                {"XDG_STATE_HOME", home / "state"}};
  std::string env_words, env_json;
  for (const auto& [name, value] : variables) {
    env_words += name + "=" + value.string() + " ";
    env_json += (env_json.empty() ? "" : ", ") + ("\"" + name + "\": \"" + value.string() + "\"");
  }
  // On standard error: standard output carries the tool server's protocol from here on.
  std::cerr << localized_format("cli.demo.ready", home.string()) << "\n  env " << env_words
            << program->string() << " list\n"
            << localized("cli.demo.agent_host") << "\n"
            << "  {\"mcpServers\": {\"kestrova-demo\": {\"command\": \"" << program->string()
            << "\", \"args\": [\"--mcp-stdio\"],\n    \"env\": {" << env_json << "}}}}\n"
            << localized("cli.demo.starting") << std::endl;
  for (const auto& [name, value] : variables) setenv(name.c_str(), value.c_str(), 1);
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
      "(three accounts, Chinese and English, many folders), print how to point an agent host "
      "at it, and start the tool server on it. Your own mail is never touched");
  auto home = std::make_shared<std::string>();
  demo->add_option("--home", *home,
                   "Demo home (default $XDG_DATA_HOME/kestrova-demo); remove it to start over");
  demo->callback([home] {
    run_demo(home->empty() ? platform::data_home() / "kestrova-demo"
                           : fs::absolute(fs::path(*home)));
  });
}

}  // namespace kestrova::app
