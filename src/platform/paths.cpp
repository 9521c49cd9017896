#include "platform/paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace kestrova::platform {

namespace {

std::optional<std::filesystem::path> absolute_env(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  std::filesystem::path p(value);
  if (!p.is_absolute()) return std::nullopt;
  return p;
}

}  // namespace

std::filesystem::path home_directory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::filesystem::path data_home() {
  return absolute_env("XDG_DATA_HOME").value_or(home_directory() / ".local" / "share");
}

std::filesystem::path config_home() {
  return absolute_env("XDG_CONFIG_HOME").value_or(home_directory() / ".config");
}

std::optional<std::filesystem::path> executable_path() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || p.empty()) return std::nullopt;
  return p;
}

}  // namespace kestrova::platform
