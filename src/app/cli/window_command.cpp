// `kestrova window`: starts the desktop window, which is the program kestrova-window beside
// this one, so that the command line and the tool server never load Qt.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "platform/paths.h"
#include "util/error.h"
#include "util/localization.h"

namespace kestrova::app {

void add_window_command(CLI::App& root) {
  auto* window = root.add_subcommand(
      "window", "Open the mail window (a running window is raised and shows the given links)");
  auto links = std::make_shared<std::vector<std::string>>();
  window->add_option("LINK", *links, "kestrova:// links to show");
  window->callback([links] {
    const auto program = platform::executable_path();
    if (!program) throw Error(localized("settings.mcp.error.missingExecutable"));
    const auto found = platform::companion_program("kestrova-window");
    const std::string path =
        found ? found->string() : (program->parent_path() / "kestrova-window").string();
    if (!found) throw Error(localized_format("desktop.cli.missing", path));
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (auto& link : *links) argv.push_back(link.data());
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    throw Error(localized_format("desktop.cli.missing", path));
  });
}

}  // namespace kestrova::app
