#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include "util/error.h"

namespace kestrova::app {

// Failures of the link installer; the description is shown to the user as it is.
class InstallerError : public Error {
 public:
  using Error::Error;
  // The program's own file could not be determined.
  static InstallerError missing_executable();
};

// Installs the command-line link ~/.local/bin/kestrova-mcp that starts this program in
// tool-server mode, and writes the agent-host configuration snippet.
class MCPCLIInstaller {
 public:
  // The link path under the user's home directory.
  static std::filesystem::path link_path();
  // Replaces whatever stands at the link path with a symbolic link to this program.
  static void install();
  // Removes whatever stands at the link path (nothing there is fine).
  static void uninstall();
  static bool is_installed();
  // The JSON snippet an agent host needs, with the absolute link path.
  static std::string configuration_snippet();
};

// The words that select the current home for a command shown to the user: "--home DIR" (DIR
// quoted for a shell when needed), or nothing when no home was chosen.
std::string home_option_words();

// The agent hosts `host_configuration` knows, in the order they are offered.
std::span<const std::string_view> agent_hosts();
// What an agent host needs to start the tool server: the "mcpServers" JSON object
// (claude-desktop, cursor), VS Code's "servers" object, or the command that registers it
// (claude-code, codex). The link runs this program in tool-server mode; a chosen home
// (`--home`) goes with it as arguments.
std::string host_configuration(std::string_view host);

}  // namespace kestrova::app
