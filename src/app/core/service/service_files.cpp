#include "app/core/service/service_files.h"

#include <fstream>
#include <optional>
#include <string>

#include "platform/paths.h"
#include "util/error.h"
#include "util/localization.h"

namespace kestrova::app {

namespace {

// A word quoted for an Exec line (Desktop Entry Specification, "The Exec key") and for
// systemd's ExecStart, which both take double quotes with backslash escapes.
std::string quoted(const std::string& word) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The kestrova program file, quoted; a service or link handler installed from a home of its
// own (`--home`) keeps to that home.
std::string quoted_program() {
  const auto program = platform::main_program();
  if (!program) throw Error(localized("service.error.program_path"));
  std::string out = quoted(program->string());
  if (const auto home = platform::kestrova_home()) out += " --home " + quoted(home->string());
  return out;
}

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  const auto temporary = path.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << text;
    if (!out) throw Error(localized_format("service.error.write", path.string()));
  }
  std::filesystem::rename(temporary, path);
}

void remove_file(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::remove(path, error);
  if (error) throw Error(localized_format("service.error.remove", path.string(), error.message()));
}

}  // namespace

std::filesystem::path autostart_entry_path() {
  return platform::desktop_config_home() / "autostart" / "kestrova.desktop";
}
std::filesystem::path systemd_unit_path() {
  return platform::desktop_config_home() / "systemd" / "user" / "kestrova.service";
}
std::filesystem::path desktop_entry_path() {
  return platform::desktop_data_home() / "applications" / "kestrova.desktop";
}

void apply_launch_at_login(bool enabled) {
  if (!enabled) return remove_file(autostart_entry_path());
  write_file(autostart_entry_path(),
             "[Desktop Entry]\nType=Application\nName=Kestrova\n"
             "Comment=Kestrova mail service\nExec=" +
                 quoted_program() +
                 " run\nTerminal=false\nNoDisplay=true\nX-GNOME-Autostart-enabled=true\n");
}

void install_service_files() {
  const std::string program = quoted_program();
  write_file(systemd_unit_path(),
             "[Unit]\nDescription=Kestrova mail service\n"
             "After=graphical-session.target\n\n"
             "[Service]\nExecStart=" +
                 program +
                 " run\nRestart=on-failure\nRestartSec=5\n\n"
                 "[Install]\nWantedBy=default.target\n");
  write_file(desktop_entry_path(),
             "[Desktop Entry]\nType=Application\nName=Kestrova\n"
             "GenericName=Mail Client\nComment=Read and sort mail from several accounts\n"
             "Icon=mail-client\nCategories=Network;Email;\nExec=" +
                 program +
                 " window %u\nTerminal=false\n"
                 "MimeType=x-scheme-handler/kestrova;\n");
}

void uninstall_service_files() {
  remove_file(systemd_unit_path());
  remove_file(desktop_entry_path());
}

}  // namespace kestrova::app
