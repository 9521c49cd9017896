// One round of Kestrova's first load of a folder, as the interface runs it for a new account:
// a fresh mail database, the folder list, then the newest --limit envelopes of INBOX fetched,
// converted and stored (EmailSyncFlow::syncFolder without waiting for the background loader,
// which is cancelled right after). Prints one JSON line: the phase times in ms, the process
// CPU time, and how many records the first load fetched and stored.
//
//   kestrova-bench-sync-round --host H --port P --user U --password W --db FILE [--limit 1000]

#include <CLI/CLI.hpp>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "bench_figures.h"
#include "bench_mail_account.h"
#include "mail/email_service.h"
#include "mail/email_sync_flow.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/log.h"
#include "util/uuid.h"

namespace fs = std::filesystem;
using namespace kestrova;

int main(int argc, char** argv) {
  std::string host, user, password, db_path;
  int port = 0;
  uint64_t limit = 1000;
  CLI::App app{"One first-load round of Kestrova's folder sync"};
  app.add_option("--host", host)->required();
  app.add_option("--port", port)->required();
  app.add_option("--user", user)->required();
  app.add_option("--password", password)->required();
  app.add_option("--db", db_path, "A database file that does not exist yet")->required();
  app.add_option("--limit", limit)->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  set_log_target(LogTarget::Silent);

  using clock = std::chrono::steady_clock;
  auto ms = [](clock::time_point a, clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
  };
  bench::BenchMailAccount setup(db_path, host, port, user);
  auto& [db, settings, store, service, flow, account] = setup;
  const std::optional<std::string> secret = password;

  const auto t0 = clock::now();
  const auto folders = flow.syncFolders(account, secret);
  const auto t1 = clock::now();
  const store::EmailFolder* inbox = nullptr;
  for (const auto& f : folders)
    if (f.path == "INBOX") inbox = &f;
  if (!inbox) {
    std::cerr << "no INBOX\n";
    return 1;
  }
  const auto result = flow.syncFolder(account, secret, *inbox, std::nullopt, limit, false);
  const auto t2 = clock::now();
  const double cpu = bench::cpu_ms(CLOCK_PROCESS_CPUTIME_ID);
  service.cancelBackgroundTasks(account.id);
  service.waitForBackgroundTasks(account.id);
  std::cout << "{\"folder_list\": " << ms(t0, t1) << ", \"first_load\": " << ms(t1, t2)
            << ", \"total\": " << ms(t0, t2) << ", \"cpu\": " << cpu
            << ", \"fetched\": " << result.fetched
            << ", \"stored\": " << result.stored << "}" << std::endl;
  return 0;
}
