#include "app/core/demo_mailbox.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "app/core/user_preferences.h"
#include "platform/paths.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "util/error.h"
#include "util/localization.h"

extern char** environ;

namespace kestrova::app {

namespace {

namespace fs = std::filesystem;

// The generator is built with the program: where its companions are once installed, in
// tools/ of a build directory.
fs::path generator_path() {
  if (auto installed = platform::companion_program("kestrova-generate-db")) return *installed;
  if (const auto program = platform::executable_path()) {
    const fs::path built = program->parent_path() / "tools" / "kestrova-generate-db";
    if (access(built.c_str(), X_OK) == 0) return built;
  }
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

}  // namespace

DemoMailbox DemoMailbox::at(const fs::path& home) {
  std::error_code ec;
  const fs::path absolute = fs::absolute(home, ec).lexically_normal();
  const fs::path root = ec ? home : absolute;
  return {root,
          store::EmailDatabase::path_in(platform::data_home_of(root)),
          platform::SettingsStore::path_in(platform::config_home_of(root)),
          {}};
}

fs::path DemoMailbox::default_home() { return platform::desktop_data_home() / "kestrova-demo"; }

bool DemoMailbox::exists() const {
  std::error_code ec;
  return fs::exists(database, ec);
}

void DemoMailbox::prepare(const std::string& language) const {
  if (exists()) return;
  platform::SettingsStore demoSettings(settings);
  if (!demoSettings.value(settings::defaultLanguage.key))
    demoSettings.set(settings::defaultLanguage.key, language);
  if (!demoSettings.value(settings::hasCompletedOnboarding.key))
    demoSettings.set(settings::hasCompletedOnboarding.key, true);
  if (!platform::ensure_private_directory(database.parent_path()))
    throw Error(localized_format("cli.demo.generator_failed", database.parent_path().string()));
  generate(generator.empty() ? generator_path() : generator, database);
}

}  // namespace kestrova::app
