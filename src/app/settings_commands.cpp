#include <CLI/CLI.hpp>

#include "app/command_line.h"

namespace kestrova::app {
void add_settings_commands(CLI::App&) {}
void add_open_command(CLI::App&) {}
}  // namespace kestrova::app
