// One round of Kestrova's first load of a folder, as the interface runs it for a new account:
// a fresh mail database, the folder list, then the newest --limit envelopes of INBOX fetched,
// converted and stored (EmailSyncFlow::syncFolder without waiting for the background loader,
// which is cancelled right after). Prints one JSON line: the phase times in ms, the process
// CPU time, and how many records the first load fetched and stored. With --bodies the
// bodies of those messages are then downloaded, decoded and stored by EmailBodyPrefetcher
// (BODY.PEEK batches), and the line also has that phase's time, CPU time, bodies and bytes.
// With --whole the whole folder is loaded as `kestrova sync` loads it: the newest envelopes
// first, then the rest through the background loader, waited for ("first_load" is then the
// whole folder's time).
//
//   kestrova-bench-sync-round --host H --port P --user U --password W --db FILE [--limit 1000]
//                             [--bodies] [--whole]

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>

#include "bench_figures.h"
#include "mail/email_body_prefetcher.h"
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
  bool bodies = false;
  app.add_flag("--bodies", bodies, "Then download the bodies of the messages loaded");
  bool whole = false;
  app.add_flag("--whole", whole, "Load the whole folder, waiting for the background loader");
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
  const auto result =
      flow.syncFolder(account, secret, *inbox, std::nullopt, whole ? 0 : limit, whole);
  const auto t2 = clock::now();
  const double cpu = bench::cpu_ms(CLOCK_PROCESS_CPUTIME_ID);
  service.cancelBackgroundTasks(account.id);
  service.waitForBackgroundTasks(account.id);
  std::cout << "{\"folder_list\": " << ms(t0, t1) << ", \"first_load\": " << ms(t1, t2)
            << ", \"total\": " << ms(t0, t2) << ", \"cpu\": " << cpu
            << ", \"fetched\": " << result.fetched
            << ", \"stored\": " << result.stored;
  if (bodies) {
    // Every stored message is in the window, whatever its date, and none is too large: the
    // same whole messages as a mail synchroniser downloads.
    mail::EmailBodyPrefetcher prefetcher(*db, service);
    const std::atomic<bool> never{false};
    const auto t3 = clock::now();
    const auto prefetched = prefetcher.prefetch(account, secret, {36500, UINT64_MAX}, never);
    const auto t4 = clock::now();
    std::cout << ", \"prefetch\": " << ms(t3, t4)
              << ", \"prefetch_cpu\": " << bench::cpu_ms(CLOCK_PROCESS_CPUTIME_ID) - cpu
              << ", \"bodies\": " << prefetched.stored << ", \"bytes\": " << prefetched.bytes;
  }
  std::cout << "}" << std::endl;
  return 0;
}
