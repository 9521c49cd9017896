#pragma once

#include <filesystem>
#include <string>

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
  // Replaces whatever stands at the link path with a symbolic link to the kestrova program
  // (also when called from the window).
  static void install();
  // Removes whatever stands at the link path (nothing there is fine).
  static void uninstall();
  static bool is_installed();
  // The JSON snippet an agent host needs, with the absolute link path.
  static std::string configuration_snippet();
};

}  // namespace kestrova::app
