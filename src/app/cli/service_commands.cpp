// `kestrova run`, `kestrova status` and `kestrova service install|uninstall`.

#include <CLI/CLI.hpp>
#include <iostream>

#include "app/cli/command_line.h"
#include "app/core/mail_service_runner.h"
#include "app/core/service_files.h"
#include "store/database.h"
#include "store/server_change_journal.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/time.h"

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
    out << "服务: 未运行（用 kestrova run 启动）\n";
    print_pending_changes(out);
    return;
  }
  out << "服务: 运行中 (pid " << *status.pid << ")\n";
  for (const auto& account : status.accounts)
    out << "  " << account.emailAddress << "  IDLE: " << account.idleStatus << "  最近收信: "
        << (account.lastReceiveAt ? iso8601_utc(*account.lastReceiveAt) : std::string("-")) << "\n";
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
        std::cout
            << "已写入: " << systemd_unit_path().string() << "\n"
            << "已写入: " << desktop_entry_path().string() << "\n"
            << "启用并立即启动: systemctl --user daemon-reload && systemctl --user enable --now "
               "kestrova.service\n"
            << "让 kestrova: 链接由本程序打开: xdg-mime default kestrova.desktop "
               "x-scheme-handler/kestrova\n";
      });
  service->add_subcommand("uninstall", "Remove the systemd user unit and kestrova.desktop")
      ->callback([] {
        uninstall_service_files();
        std::cout << "已移除: " << systemd_unit_path().string() << "\n"
                  << "已移除: " << desktop_entry_path().string() << "\n"
                  << "若服务仍在运行: systemctl --user disable --now kestrova.service\n";
      });
}

}  // namespace kestrova::app
