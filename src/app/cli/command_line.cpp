#include "app/cli/command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string_view>
#include <vector>

#include "app/core/agent/agent_host_setup.h"
#include "app/core/agent/mcp_cli_installer.h"
#include "platform/paths.h"
#include "store/database.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/terminal_text.h"

namespace kestrova::app {

namespace {

// `kestrova` alone: a short status and the command overview.
void print_status(const CLI::App& root) {
  auto& db = store::EmailDatabase::shared();
  if (db.is_open()) {
    auto [accounts, unread] = db.read([](store::Connection& c) {
      auto a = c.prepare("SELECT COUNT(*) FROM email_accounts");
      a.step();
      auto u = c.prepare(
          "SELECT COUNT(*) FROM email_messages WHERE is_read = 0 AND is_deleted = 0 AND is_spam = "
          "0");
      u.step();
      return std::pair{a.integer(0).value_or(0), u.integer(0).value_or(0)};
    });
    std::cout << localized_format("cli.overview.counts", accounts, unread) << "\n";
  } else {
    std::cout << localized_format("cli.overview.no_database", db.db_path().string()) << "\n";
  }
  std::cout << localized_format("cli.overview.database", db.db_path().string()) << "\n";
  print_service_status(std::cout);
  std::cout << "\n" << root.help();
}

// -v/--verbose anywhere before "--", or KESTROVA_LOG=debug, asks for the log on stderr.
bool verbose_requested(int argc, char** argv) {
  if (const char* level = std::getenv("KESTROVA_LOG"); level && std::string_view(level) == "debug")
    return true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--") break;
    if (argument == "-v" || argument == "--verbose") return true;
  }
  return false;
}

constexpr std::string_view kFooter =
    "Exit status: 0 success; 1 failure; 2 usage error; 3 done, but some parts failed.\n"
    "Diagnostics go to $XDG_STATE_HOME/kestrova/kestrova.log; -v shows them on standard error.\n"
    "Ids: any unique prefix of at least 4 characters.";

// `kestrova help [COMMAND...]`: the help of the root or of the named (sub)command.
void add_help_command(CLI::App& root) {
  auto* help = root.add_subcommand("help", "Show the help of kestrova or of a command");
  auto path = std::make_shared<std::vector<std::string>>();
  help->add_option("COMMAND", *path, "Command (and subcommand) to explain");
  help->callback([&root, path] {
    const CLI::App* app = &root;
    std::string usage = root.get_name();
    for (const auto& name : *path) {
      try {
        app = app->get_subcommand(name);
      } catch (const CLI::OptionNotFound&) {
        throw Error(localized_format("cli.help.no_such_command", name));
      }
      usage += " " + name;
    }
    // The formatter directly: App::help() would show the help of `help` itself, the
    // subcommand being run.
    std::cout << app->get_formatter()->make_help(app, usage, CLI::AppFormatMode::Normal);
  });
}

// Levenshtein distance, by bytes (command names are ASCII).
size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// After a usage error: the command the user probably meant, when a word on the command line
// is no command of the level it stands at but close to one (at most two edits away).
std::optional<std::string> suggested_command(const CLI::App& root, int argc, char** argv) {
  const CLI::App* app = &root;
  std::string path = "kestrova";
  for (int i = 1; i < argc; ++i) {
    const std::string_view word = argv[i];
    if (word.starts_with('-')) {
      // An option's value is no command word ("--home DIR serach"); root options are
      // accepted after a command too.
      if (word.find('=') != std::string_view::npos) continue;
      const CLI::Option* option = app->get_option_no_throw(std::string(word));
      if (!option) option = root.get_option_no_throw(std::string(word));
      if (option && option->get_type_size() != 0) ++i;
      continue;
    }
    const auto subcommands = app->get_subcommands([](const CLI::App*) { return true; });
    if (subcommands.empty()) return std::nullopt;
    const CLI::App* exact = nullptr;
    const CLI::App* closest = nullptr;
    size_t best = 3;
    for (const CLI::App* sub : subcommands) {
      if (sub->get_name() == word) exact = sub;
      if (const size_t d = edit_distance(word, sub->get_name()); d < best) {
        best = d;
        closest = sub;
      }
    }
    if (exact) {
      app = exact;
      path += " " + exact->get_name();
      continue;
    }
    if (!closest) return std::nullopt;
    return path + " " + closest->get_name();
  }
  return std::nullopt;
}

// The command word: the first argument that is not one of the root's own options. Nothing
// when an option comes first that the root would answer itself (--help, --version) or that
// it does not know, so that the whole tree handles it.
std::optional<std::string_view> command_word(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--home") {
      ++i;
      continue;
    }
    if (argument.starts_with("--home=") || argument == "-v" || argument == "--verbose") continue;
    if (argument.starts_with('-')) return std::nullopt;
    return argument;
  }
  return std::nullopt;
}

const CommandFamily* family_named(std::optional<std::string_view> word) {
  if (!word) return nullptr;
  for (const auto& family : command_families())
    if (std::find(family.names.begin(), family.names.end(), *word) != family.names.end())
      return &family;
  return nullptr;
}

}  // namespace

const std::vector<CommandFamily>& command_families() {
  static const std::vector<CommandFamily> families{
      {{"mcp"}, add_mcp_commands},
      {{"settings"}, add_settings_commands},
      {{"open"}, add_open_command},
      {{"account"}, add_account_commands},
      {{"send", "reply", "forward"}, add_send_command},
      {{"signature"}, add_signature_commands},
      {{"export", "scheduled", "autoreply"}, add_writing_commands},
      {{"import"}, add_import_command},
      {{"folder"}, add_folder_commands},
      {{"draft"}, add_draft_commands},
      {{"sync", "folders", "list", "read", "search", "mark", "move", "delete", "undo", "spam",
        "attachment", "raw"},
       add_mail_commands},
      {{"rules"}, add_rule_commands},
      {{"privacy", "junk", "block", "unblock", "blocked", "sender"}, add_safety_commands},
      {{"actions", "followup", "reply-later", "waiting", "contacts"}, add_workflow_commands},
      {{"ai"}, add_ai_commands},
      {{"tool"}, add_tool_commands},
      {{"run", "status", "service"}, add_service_commands},
      {{"demo"}, add_demo_command},
      {{"window"}, add_window_command},
  };
  return families;
}

void apply_home_option(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--") return;
    std::string_view value;
    if (argument == "--home" && i + 1 < argc)
      value = argv[++i];
    else if (argument.starts_with("--home="))
      value = argument.substr(7);
    else
      continue;
    if (!value.empty()) platform::set_kestrova_home(std::string(value));
  }
}

std::shared_ptr<bool> add_json_flag(CLI::App* command, const std::string& description,
                                    const std::string& shape) {
  auto json = std::make_shared<bool>(false);
  command->add_flag("--json", *json, description);
  command->footer("--json prints " + shape);
  return json;
}

void use_command_log(bool verbose) {
  if (verbose) {
    set_log_target(LogTarget::StandardError);
    return;
  }
  constexpr std::uintmax_t kLogFileLimit = 4 * 1024 * 1024;
  const auto directory = platform::state_home() / "kestrova";
  platform::ensure_private_directory(directory);
  set_log_file(directory / "kestrova.log", kLogFileLimit);
  set_log_target(LogTarget::File);
}

void add_mcp_commands(CLI::App& root) {
  auto* mcp =
      root.add_subcommand("mcp", "Agent tool server: the kestrova-mcp link and its configuration");
  mcp->require_subcommand(1);
  mcp->add_subcommand("install", "Create ~/.local/bin/kestrova-mcp pointing at this program")
      ->callback([] {
        MCPCLIInstaller::install();
        std::cout << localized_format("cli.installed", MCPCLIInstaller::link_path().string())
                  << "\n";
      });
  mcp->add_subcommand("uninstall", "Remove ~/.local/bin/kestrova-mcp")->callback([] {
    MCPCLIInstaller::uninstall();
    std::cout << localized_format("cli.removed", MCPCLIInstaller::link_path().string()) << "\n";
  });
  auto* config = mcp->add_subcommand(
      "config",
      "Print what an agent host needs to start the tool server: the \"mcpServers\" JSON object "
      "(claude-desktop, cursor), VS Code's \"servers\" object, or the command that registers "
      "it (claude-code, codex)");
  auto host = std::make_shared<std::string>("claude-desktop");
  config->add_option("--host", *host, "Agent host (default claude-desktop)")
      ->check(CLI::IsMember(std::vector<std::string>(kAgentHosts.begin(), kAgentHosts.end())));
  config->callback([host] { std::cout << agent_host_configuration(*host) << "\n"; });
  mcp->add_subcommand("status", "Tell whether the link is installed")->callback([] {
    std::cout << localized_format(MCPCLIInstaller::is_installed() ? "cli.mcp.installed"
                                                                  : "cli.mcp.not_installed",
                                  MCPCLIInstaller::link_path().string())
              << "\n";
  });
}

int run_command_line(int argc, char** argv) {
  CLI::App root{
      "Kestrova: a mail client for one person with several accounts, with an agent tool server.\n"
      "Start the tool server with: kestrova --mcp-stdio",
      "kestrova"};
  root.require_subcommand(0, 1);
  root.footer(std::string(kFooter));
  root.set_version_flag("--version", std::string("kestrova ") + KESTROVA_VERSION);
  // Read before parsing (verbose_requested), so that logging is set up before any command.
  bool verbose = false;
  root.add_flag("-v,--verbose", verbose, "Print the diagnostic log on standard error");
  // Applied before parsing (apply_home_option); accepted here so that the parse allows it.
  std::string home;
  root.add_option("--home", home,
                  "Keep data, settings, state and credentials under DIR (a second mailbox, the "
                  "demo); KESTROVA_HOME does the same");
  // Options of the root, such as -v, may also follow the command name.
  root.fallthrough();
  use_command_log(verbose_requested(argc, argv));
  if (const CommandFamily* family = family_named(command_word(argc, argv))) {
    family->add(root);
  } else {
    // The help, the overview, usage errors at the root and the manual pages need the whole tree.
    add_help_command(root);
    for (const auto& f : command_families()) f.add(root);
    add_manual_pages_command(root, KESTROVA_VERSION);
  }
  try {
    root.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // Help and --version end successfully; every other parse error is a usage error.
    if (root.exit(e) == 0) return kExitSuccess;
    if (auto meant = suggested_command(root, argc, argv))
      std::cerr << localized_format("cli.did_you_mean", *meant) << "\n";
    return kExitUsage;
  } catch (const CommandFailure& failure) {
    return failure.status;
  } catch (const std::exception& e) {
    // An error may quote a server, a provider or a message: shown without control characters.
    std::cerr << localized_format("cli.error", terminal_safe(e.what(), TextShape::block)) << "\n";
    return kExitFailure;
  }
  if (root.get_subcommands().empty()) print_status(root);
  return kExitSuccess;
}

}  // namespace kestrova::app
