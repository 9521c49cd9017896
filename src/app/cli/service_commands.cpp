// `kestrova run`, `kestrova status` and `kestrova service install|uninstall`.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "app/cli/command_line.h"
#include "app/cli/terminal_output.h"
#include "app/core/service/mail_service_runner.h"
#include "app/core/service/service_files.h"
#include "store/database.h"
#include "store/server_change_journal.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/time.h"

namespace kestrova::app {

namespace {

// The journal of changes the servers have not confirmed: how many, and the failing ones
// summarised, one line per kind of change, folder and error (the most frequent first).
void print_pending_changes(std::ostream& out) {
  const auto pending = store::EmailDatabase::shared().read(
      [](store::Connection& c) { return store::all_server_changes(c); });
  if (pending.empty()) return;
  out << localized_format("status.pending.changes", pending.size()) << "\n";
  struct Failing {
    size_t count = 0;
    int64_t attempts = 0;  // the most any of them had
  };
  std::map<std::tuple<std::string, std::string, std::string>, Failing> failing;
  for (const auto& change : pending) {
    if (!change.lastError) continue;
    auto& group = failing[{std::string(store::server_change_kind_name(change.kind)),
                           change.source.folderPath, *change.lastError}];
    ++group.count;
    group.attempts = std::max(group.attempts, change.attempts);
  }
  std::vector<std::pair<std::tuple<std::string, std::string, std::string>, Failing>> lines(
      failing.begin(), failing.end());
  std::stable_sort(lines.begin(), lines.end(),
                   [](const auto& a, const auto& b) { return a.second.count > b.second.count; });
  constexpr size_t kShown = 5;
  for (size_t i = 0; i < lines.size() && i < kShown; ++i) {
    const auto& [key, group] = lines[i];
    const auto& [kind, folder, error] = key;
    out << localized_format("status.failing.changes", group.count, kind, folder, group.attempts,
                            error)
        << "\n";
  }
  if (lines.size() > kShown)
    out << localized_format("status.failing.more", lines.size() - kShown) << "\n";
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

namespace {

Json service_status_json() {
  const ServiceStatus status = read_service_status();
  Json accounts = Json::array();
  for (const auto& account : status.accounts)
    accounts.push_back(
        Json{{"id", account.id},
             {"email", account.emailAddress},
             {"idleStatus", account.idleStatus},
             {"lastReceiveAt",
              account.lastReceiveAt ? Json(iso8601_utc(*account.lastReceiveAt)) : Json()}});
  return Json{{"running", status.pid.has_value()},
              {"pid", status.pid ? Json(*status.pid) : Json()},
              {"accounts", std::move(accounts)}};
}

}  // namespace

void add_service_commands(CLI::App& root) {
  root.add_subcommand("run",
                      "Run the mail service in the foreground: new mail arrives by itself, with "
                      "notifications and the unread badge (stop with Ctrl-C)")
      ->callback([] {
        if (const int status = run_mail_service(); status != 0) throw CommandFailure{status};
      });
  auto* status = root.add_subcommand(
      "status", "Tell whether the mail service runs, and each account's IDLE state");
  auto json =
      add_json_flag(status, "Print the status as JSON",
                    "{\"running\", \"pid\", \"accounts\": [{\"id\", \"email\", \"idleStatus\",\n"
                    "\"lastReceiveAt\"}]}.\n"
                    "Example: kestrova status --json | jq .running");
  status->callback([json] {
    if (*json)
      std::cout << service_status_json().dump(2) << "\n";
    else
      print_service_status(std::cout);
  });

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
