#include "app/core/agent/mcp_cli_installer.h"

#include <system_error>

#include "platform/paths.h"
#include "util/localization.h"

namespace kestrova::app {

namespace fs = std::filesystem;

namespace {

bool something_at(const fs::path& p) {
  std::error_code ec;
  return fs::symlink_status(p, ec).type() != fs::file_type::not_found && !ec;
}

void remove_existing(const fs::path& p) {
  if (!something_at(p)) return;
  std::error_code ec;
  fs::remove(p, ec);
  if (ec) throw InstallerError(ec.message());
}

}  // namespace

InstallerError InstallerError::missing_executable() {
  return InstallerError(localized("settings.mcp.error.missingExecutable"));
}

fs::path MCPCLIInstaller::link_path() {
  return platform::home_directory() / ".local" / "bin" / "kestrova-mcp";
}

void MCPCLIInstaller::install() {
  // From the window, the link still starts the command-line program.
  auto executable = platform::main_program();
  if (!executable) throw InstallerError::missing_executable();
  const fs::path link = link_path();
  std::error_code ec;
  fs::create_directories(link.parent_path(), ec);
  if (ec) throw InstallerError(ec.message());
  remove_existing(link);
  fs::create_symlink(*executable, link, ec);
  if (ec) throw InstallerError(ec.message());
}

void MCPCLIInstaller::uninstall() { remove_existing(link_path()); }

bool MCPCLIInstaller::is_installed() {
  std::error_code ec;
  return fs::exists(link_path(), ec);
}

std::string MCPCLIInstaller::configuration_snippet() {
  return "{\n"
         "  \"mcpServers\": {\n"
         "    \"kestrova\": {\n"
         "      \"command\": \"" + link_path().string() + "\"\n"
         "    }\n"
         "  }\n"
         "}";
}

}  // namespace kestrova::app
