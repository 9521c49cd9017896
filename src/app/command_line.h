#pragma once

namespace CLI {
class App;
}

namespace kestrova::app {

// The interactive mode on Linux: `kestrova <noun> <verb> ...`. Returns the exit status.
int run_command_line(int argc, char** argv);

// Subcommand families, each registered on the root command.
void add_mcp_commands(CLI::App& root);
void add_settings_commands(CLI::App& root);
void add_open_command(CLI::App& root);

}  // namespace kestrova::app
