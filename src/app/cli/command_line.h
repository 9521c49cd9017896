#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/error.h"
#include "util/json.h"

namespace CLI {
class App;
}

namespace kestrova::app {

// The interactive mode on Linux: `kestrova <noun> <verb> ...`. Returns the exit status.
int run_command_line(int argc, char** argv);

// `--home DIR` (or `--home=DIR`) anywhere before "--": sets KESTROVA_HOME for this process
// and the programs it starts, so that data, settings, state and credentials live under DIR.
// Called first in main, since every path depends on it; the root command accepts the option
// again so that its parse does not refuse it.
void apply_home_option(int argc, char** argv);

// Subcommand families, each registered on the root command.
void add_mcp_commands(CLI::App& root);
void add_settings_commands(CLI::App& root);
void add_open_command(CLI::App& root);
void add_account_commands(CLI::App& root);
void add_send_command(CLI::App& root);
void add_signature_commands(CLI::App& root);
void add_writing_commands(CLI::App& root);
void add_import_command(CLI::App& root);
void add_folder_commands(CLI::App& root);
void add_draft_commands(CLI::App& root);
void add_mail_commands(CLI::App& root);
void add_rule_commands(CLI::App& root);
void add_safety_commands(CLI::App& root);
void add_workflow_commands(CLI::App& root);
void add_ai_commands(CLI::App& root);
// The per-message AI tasks under `kestrova ai` (called by add_ai_commands).
void add_ai_mail_commands(CLI::App& aiCommand);
// `ai ask` and `ai analyze` (called by add_ai_commands).
void add_ai_question_commands(CLI::App& aiCommand);
void add_tool_commands(CLI::App& root);
void add_service_commands(CLI::App& root);
void add_demo_command(CLI::App& root);
void add_window_command(CLI::App& root);
// `manual-pages DIR`, left out of the help: the manual pages, made from the whole command
// tree (so registered after every other command). `version` goes into the page headers.
void add_manual_pages_command(CLI::App& root, const std::string& version);

// A family of commands registered together on the root command, with the names of the
// commands it registers there. A command line whose first word names one of them builds
// only that family before parsing (building the whole tree is most of the time a short
// command spends in the parser); any other command line builds them all, in this order.
struct CommandFamily {
  std::vector<std::string_view> names;
  void (*add)(CLI::App& root);
};
const std::vector<CommandFamily>& command_families();

// Adds `--json` to a listing: `description` for the option, and `shape` (the document
// printed, then an example) in the command's help. Returns where the flag is kept.
std::shared_ptr<bool> add_json_flag(CLI::App* command, const std::string& description,
                                    const std::string& shape);

// `--json` of a listing that mirrors a tool: the tool's answer, run in-process through the
// tool bridge, so scripts and agents read the same field names and shapes.
void print_tool_answer(const std::string& tool, const Json& arguments);

// Whether the mail service runs and, per account, its IDLE state and last receive.
void print_service_status(std::ostream& out);

// Exit statuses, listed in `kestrova --help`.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPartial = 3;  // done, but some parts failed

// Thrown by a command that has already printed why it failed: the program ends with
// `status` and prints nothing more.
class CommandFailure : public Error {
 public:
  explicit CommandFailure(int exit_status = kExitFailure) : Error("命令失败"), status(exit_status) {}
  int status;
};

// Where one-shot commands keep their diagnostic log: a file under $XDG_STATE_HOME/kestrova/,
// or standard error when `verbose` (-v, --verbose, or KESTROVA_LOG=debug).
void use_command_log(bool verbose);

}  // namespace kestrova::app
