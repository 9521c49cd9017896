#include "app/core/agent/mcp_cli_installer.h"

#include <system_error>

#include "platform/paths.h"
#include "util/json.h"
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
  auto executable = platform::executable_path();
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

std::string home_option_words() {
  const auto home = platform::kestrova_home();
  if (!home) return {};
  const std::string path = home->string();
  const bool plain =
      path.find_first_not_of(
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-+,:@") ==
      std::string::npos;
  if (plain) return "--home " + path;
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return "--home " + quoted + "'";
}

std::span<const std::string_view> agent_hosts() {
  static constexpr std::string_view kHosts[] = {"claude-desktop", "cursor", "vscode", "claude-code",
                                                "codex"};
  return kHosts;
}

std::string host_configuration(std::string_view host) {
  const std::string command = MCPCLIInstaller::link_path().string();
  const auto home = platform::kestrova_home();
  if (host == "claude-code" || host == "codex") {
    const std::string words = home_option_words();
    return (host == "claude-code" ? "claude" : "codex") + std::string(" mcp add kestrova -- ") +
           command + (words.empty() ? "" : " " + words);
  }
  if (!home && host != "vscode") return MCPCLIInstaller::configuration_snippet();
  const std::string args =
      home ? ",\n      \"args\": [\"--home\", " + Json(home->string()).dump() + "]" : "";
  if (host == "vscode")
    return "{\n  \"servers\": {\n    \"kestrova\": {\n      \"type\": \"stdio\",\n"
           "      \"command\": " +
           Json(command).dump() + args + "\n    }\n  }\n}";
  return "{\n  \"mcpServers\": {\n    \"kestrova\": {\n      \"command\": " + Json(command).dump() +
         args + "\n    }\n  }\n}";
}

}  // namespace kestrova::app
