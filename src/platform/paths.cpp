#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <system_error>

#include "util/log.h"

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

std::optional<std::filesystem::path> kestrova_home() {
  const char* value = std::getenv(kHomeVariable);
  if (!value || !*value) return std::nullopt;
  std::error_code ec;
  auto absolute = std::filesystem::absolute(value, ec);
  if (ec) return std::nullopt;
  return absolute.lexically_normal();
}

void set_kestrova_home(const std::filesystem::path& directory) {
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(directory, ec);
  setenv(kHomeVariable, (ec ? directory : absolute.lexically_normal()).c_str(), 1);
}

std::filesystem::path home_directory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/";
}

std::filesystem::path desktop_data_home() {
  return absolute_env("XDG_DATA_HOME").value_or(home_directory() / ".local" / "share");
}

std::filesystem::path desktop_config_home() {
  return absolute_env("XDG_CONFIG_HOME").value_or(home_directory() / ".config");
}

std::filesystem::path data_home_of(const std::filesystem::path& home) { return home / "data"; }

std::filesystem::path config_home_of(const std::filesystem::path& home) { return home / "config"; }

std::filesystem::path data_home() {
  if (auto home = kestrova_home()) return data_home_of(*home);
  return desktop_data_home();
}

std::filesystem::path config_home() {
  if (auto home = kestrova_home()) return config_home_of(*home);
  return desktop_config_home();
}

std::filesystem::path state_home() {
  if (auto home = kestrova_home()) return *home / "state";
  return absolute_env("XDG_STATE_HOME").value_or(home_directory() / ".local" / "state");
}

std::optional<std::filesystem::path> executable_path() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || p.empty()) return std::nullopt;
  return p;
}

std::optional<std::filesystem::path> companion_program(const std::string& name) {
  const auto program = executable_path();
  if (!program) return std::nullopt;
  const auto folder = program->parent_path();
  for (const auto& candidate : {folder / name, folder.parent_path() / "lib" / "kestrova" / name})
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  return std::nullopt;
}

std::optional<std::filesystem::path> main_program_of(const std::filesystem::path& program) {
  if (program.filename() != "kestrova-window") return program;
  for (const auto& candidate : {program.parent_path() / "kestrova",
                                program.parent_path() / ".." / ".." / "bin" / "kestrova"})
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.lexically_normal();
  return std::nullopt;
}

std::optional<std::filesystem::path> main_program() {
  const auto program = executable_path();
  return program ? main_program_of(*program) : std::nullopt;
}

namespace {

constexpr mode_t kGroupAndOthers = S_IRWXG | S_IRWXO;

// Creates `directory` and its missing parents, each 0700; folders that exist are left as
// they are (the user's own ~/.local/share is none of our business).
bool create_missing(const std::filesystem::path& directory) {
  struct stat st {};
  if (::stat(directory.c_str(), &st) == 0) return true;
  if (errno != ENOENT) return false;
  const auto parent = directory.parent_path();
  if (!parent.empty() && parent != directory && !create_missing(parent)) return false;
  return ::mkdir(directory.c_str(), 0700) == 0 || errno == EEXIST;
}

// Narrows an existing entry of the given type to `wanted` when group or others have any
// access. stat follows a symbolic link, which the user may have made to keep the data
// elsewhere: the target is what needs protecting.
bool narrow(const std::filesystem::path& path, mode_t type, mode_t wanted, bool missing_ok) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return missing_ok && errno == ENOENT;
  if ((st.st_mode & S_IFMT) != type) {
    errno = type == S_IFDIR ? ENOTDIR : EISDIR;
    return false;
  }
  if ((st.st_mode & kGroupAndOthers) == 0) return true;
  // A sticky directory (/tmp, /dev/shm) is shared by design and not ours to close, even when
  // a settings file or database was put straight into it.
  if (type == S_IFDIR && (st.st_mode & S_ISVTX)) return true;
  return ::chmod(path.c_str(), wanted) == 0;
}

}  // namespace

bool ensure_private_directory(const std::filesystem::path& directory) {
  return create_missing(directory) && narrow(directory, S_IFDIR, 0700, /*missing_ok=*/false);
}

bool restrict_file_to_owner(const std::filesystem::path& file) {
  return narrow(file, S_IFREG, 0600, /*missing_ok=*/true);
}

bool write_private_file(const std::filesystem::path& file, const std::string& text) {
  if (!ensure_private_directory(file.parent_path())) return false;
  const auto temporary = file.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) return false;
  }
  std::error_code ec;
  if (!restrict_file_to_owner(temporary)) return false;
  std::filesystem::rename(temporary, file, ec);
  return !ec;
}

void secure_private_directories() {
  const auto data = data_home();
  for (const auto& directory : {data / "tivra", data / "tivra" / "Email", data / "tivra" / "Rules",
                                data / "kestrova", config_home() / "kestrova"}) {
    if (!ensure_private_directory(directory))
      log_line(log_kind::kWarning, "Files",
               "无法将文件夹设为仅本人可访问 (0700): " + directory.string() + ": " +
                   std::strerror(errno));
  }
}

}  // namespace kestrova::platform
