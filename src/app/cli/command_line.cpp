#include "app/cli/command_line.h"

#include <CLI/CLI.hpp>
#include <iostream>

#include "app/core/mcp_cli_installer.h"
#include "store/database.h"
#include "util/log.h"

namespace kestrova::app {

namespace {

// `kestrova` alone: a short status and the command overview.
void print_status(const CLI::App& root) {
  set_log_target(LogTarget::StandardError);
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
    std::cout << "Kestrova — 账户: " << accounts << "，未读邮件: " << unread << "\n";
  } else {
    std::cout << "Kestrova — 数据库未初始化 (" << db.db_path().string() << ")\n";
  }
  std::cout << "数据库: " << db.db_path().string() << "\n";
  print_service_status(std::cout);
  std::cout << "\n" << root.help();
}

}  // namespace

void add_mcp_commands(CLI::App& root) {
  auto* mcp =
      root.add_subcommand("mcp", "Agent tool server: the kestrova-mcp link and its configuration");
  mcp->require_subcommand(1);
  mcp->add_subcommand("install", "Create ~/.local/bin/kestrova-mcp pointing at this program")
      ->callback([] {
        MCPCLIInstaller::install();
        std::cout << "已安装: " << MCPCLIInstaller::link_path().string() << "\n";
      });
  mcp->add_subcommand("uninstall", "Remove ~/.local/bin/kestrova-mcp")->callback([] {
    MCPCLIInstaller::uninstall();
    std::cout << "已移除: " << MCPCLIInstaller::link_path().string() << "\n";
  });
  mcp->add_subcommand("config", "Print the agent-host configuration snippet")->callback([] {
    std::cout << MCPCLIInstaller::configuration_snippet() << "\n";
  });
  mcp->add_subcommand("status", "Tell whether the link is installed")->callback([] {
    std::cout << (MCPCLIInstaller::is_installed() ? "installed: " : "not installed: ")
              << MCPCLIInstaller::link_path().string() << "\n";
  });
}

int run_command_line(int argc, char** argv) {
  CLI::App root{
      "Kestrova — a mail client for one person with several accounts, with an agent tool server.\n"
      "Start the tool server with: kestrova --mcp-stdio",
      "kestrova"};
  root.require_subcommand(0, 1);
  add_mcp_commands(root);
  add_settings_commands(root);
  add_open_command(root);
  add_account_commands(root);
  add_send_command(root);
  add_signature_commands(root);
  add_writing_commands(root);
  add_import_command(root);
  add_mail_commands(root);
  add_rule_commands(root);
  add_safety_commands(root);
  add_workflow_commands(root);
  add_ai_commands(root);
  add_tool_commands(root);
  add_service_commands(root);
  try {
    root.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return root.exit(e);
  } catch (const CommandFailure& failure) {
    return failure.status;
  } catch (const std::exception& e) {
    std::cerr << "错误: " << e.what() << "\n";
    return 1;
  }
  if (root.get_subcommands().empty()) print_status(root);
  return 0;
}

}  // namespace kestrova::app
