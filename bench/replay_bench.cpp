// Replay of the journal of local changes against the loopback Dovecot: --entries changes
// (half flags, read and starred; half moves to five folders) on the newest messages of
// INBOX, replayed in one round (mail::replayServerChanges), against the same kind of
// changes sent one by one as the command line sends them (EmailService::markAsRead,
// toggleStar, moveMessage: one session each) on --baseline of them. Prints one JSON line.
//
//   kestrova-bench-replay --host H --port P --user U --password W --db FILE [--entries 1000]

#include <CLI/CLI.hpp>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "bench_mail_account.h"
#include "mail/server_change_replay.h"
#include "store/database.h"
#include "store/server_change_journal.h"
#include "util/log.h"

using namespace kestrova;

int main(int argc, char** argv) {
  std::string host, user, password, db_path;
  int port = 0;
  size_t entries = 1000, baseline = 100;
  CLI::App app{"Replay of journalled changes against per-change sessions"};
  app.add_option("--host", host)->required();
  app.add_option("--port", port)->required();
  app.add_option("--user", user)->required();
  app.add_option("--password", password)->required();
  app.add_option("--db", db_path, "A database file that does not exist yet")->required();
  app.add_option("--entries", entries)->capture_default_str();
  app.add_option("--baseline", baseline, "Changes sent one by one")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  set_log_target(LogTarget::Silent);

  bench::BenchMailAccount setup(db_path, host, port, user);
  auto& [db, settings, store, service, flow, account] = setup;
  const std::optional<std::string> secret = password;

  // Every change needs its own message: half of them move, and a moved message is gone
  // from INBOX for the baseline.
  const size_t moves = entries / 2, flags = entries - moves;
  const auto folders = flow.syncFolders(account, secret);
  const store::EmailFolder* inbox = nullptr;
  std::vector<const store::EmailFolder*> targets;
  for (const auto& f : folders) {
    if (f.path == "INBOX") inbox = &f;
    if (f.path.starts_with("R")) targets.push_back(&f);
  }
  if (!inbox || targets.empty()) {
    std::cerr << "INBOX and the folders R0..R4 must exist\n";
    return 1;
  }
  flow.syncFolder(account, secret, *inbox, std::nullopt, flags + moves + baseline, true);
  const auto messages = store.loadMessages(*inbox, static_cast<int>(flags + moves + baseline), 0);
  if (messages.size() < flags + moves + baseline) {
    std::cerr << "INBOX holds " << messages.size() << " messages\n";
    return 1;
  }

  db->write([&](store::Connection& c) {
    for (size_t i = 0; i < entries; ++i) {
      const auto& m = messages[i];
      if (i < flags)
        store::record_server_change(
            c, m.id, i % 2 ? store::ServerChangeKind::starred : store::ServerChangeKind::read,
            true);
      else
        store::record_server_change(c, m.id, store::ServerChangeKind::move, false,
                                    targets[i % targets.size()]->id);
    }
  });
  using clock = std::chrono::steady_clock;
  const auto t0 = clock::now();
  const auto report = mail::replayServerChanges(*db, service, account, secret);
  const auto t1 = clock::now();

  // The same kinds of change one at a time, each through a session of its own.
  const auto t2 = clock::now();
  size_t sent = 0;
  for (size_t i = entries; i < entries + baseline; ++i) {
    const auto& m = messages[i];
    switch (i % 3) {
      case 0:
        service.markAsRead(account, secret, m, folders);
        break;
      case 1:
        service.toggleStar(account, secret, m, true, folders);
        break;
      default:
        service.moveMessage(account, secret, m, *targets[i % targets.size()], folders);
    }
    ++sent;
  }
  const auto t3 = clock::now();
  auto ms = [](clock::time_point a, clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
  };
  std::cout << "{\"entries\": " << entries << ", \"applied\": " << report.applied
            << ", \"failed\": " << report.failed << ", \"commands\": " << report.commands
            << ", \"replay_ms\": " << ms(t0, t1) << ", \"baseline_changes\": " << sent
            << ", \"baseline_ms\": " << ms(t2, t3) << "}\n";
  return report.failed == 0 ? 0 : 1;
}
