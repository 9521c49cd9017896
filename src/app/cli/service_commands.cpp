// `kestrova run`, `kestrova status` and `kestrova service install|uninstall`.

#include <CLI/CLI.hpp>
#include <iostream>

#include "app/cli/command_line.h"
#include "app/cli/terminal_output.h"
#include "app/core/mail_service_runner.h"
#include "app/core/service_files.h"
#include "store/database.h"
#include "store/server_change_journal.h"
#include "util/localization.h"
#include "util/log.h"

namespace kestrova::app {

namespace {

// The journal of changes the servers have not confirmed: how many, and each failing one
// with its last error.
void print_pending_changes(std::ostream& out) {
  const auto pending = store::EmailDatabase::shared().read(
      [](store::Connection& c) { return store::all_server_changes(c); });
  if (pending.empty()) return;
  out << localized_format("status.pending.changes", pending.size()) << "\n";
  for (const auto& change : pending)
    if (change.lastError)
      out << localized_format("status.failing.change", change.attempts,
                              store::server_change_kind_name(change.kind), change.source.folderPath,
                              *change.lastError)
          << "\n";
}

}  // namespace

void print_service_status(std::ostream& out) {
  const ServiceStatus status = read_service_status();
  if (!status.pid) {
    out << localized("cli.service.not_running") << "\n";
    print_pending_changes(out);
    return;
  }
  out << localized_format("cli.service.running", *status.pid) << "\n";
  for (const auto& account : status.accounts)
    out << localized_format(
               "cli.service.account", account.emailAddress, account.idleStatus,
               account.lastReceiveAt ? local_date_text(*account.lastReceiveAt) : std::string("-"))
        << "\n";
  print_pending_changes(out);
}

void add_service_commands(CLI::App& root) {
  root.add_subcommand("run",
                      "Run the mail service in the foreground: new mail arrives by itself, with "
                      "notifications and the unread badge (stop with Ctrl-C)")
      ->callback([] {
        if (const int status = run_mail_service(); status != 0) throw CommandFailure{status};
      });
  root.add_subcommand("status", "Tell whether the mail service runs, and each account's IDLE state")
      ->callback([] { print_service_status(std::cout); });

  auto* service =
      root.add_subcommand("service", "Start the mail service with the desktop session (systemd)");
  service->require_subcommand(1);
  service
      ->add_subcommand("install",
                       "Write the systemd user unit and kestrova.desktop (kestrova: links)")
      ->callback([] {
        install_service_files();
        std::cout << localized_format("cli.written", systemd_unit_path().string()) << "\n"
                  << localized_format("cli.written", desktop_entry_path().string()) << "\n"
                  << localized("cli.service.enable_hint") << "\n"
                  << localized("cli.service.links_hint") << "\n";
      });
  service->add_subcommand("uninstall", "Remove the systemd user unit and kestrova.desktop")
      ->callback([] {
        uninstall_service_files();
        std::cout << localized_format("cli.removed", systemd_unit_path().string()) << "\n"
                  << localized_format("cli.removed", desktop_entry_path().string()) << "\n"
                  << localized("cli.service.disable_hint") << "\n";
      });
}

}  // namespace kestrova::app
