// One round of Kestrova's body prefetch: a fresh mail database, the INBOX envelopes stored
// first (not timed), then the bodies of the newest --limit messages downloaded with BODY.PEEK,
// decoded and stored by EmailBodyPrefetcher (timed). Prints one JSON line: the prefetch wall
// time in ms, the process CPU time of the prefetch, bodies stored and raw bytes downloaded.
//
//   kestrova-bench-body-round --host H --port P --user U --password W --db FILE [--limit 1000]

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
  CLI::App app{"One body prefetch round of Kestrova"};
  app.add_option("--host", host)->required();
  app.add_option("--port", port)->required();
  app.add_option("--user", user)->required();
  app.add_option("--password", password)->required();
  app.add_option("--db", db_path, "A database file that does not exist yet")->required();
  app.add_option("--limit", limit)->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  set_log_target(LogTarget::Silent);

  const fs::path db_file(db_path);
  auto db = store::EmailDatabase::open(db_file);
  platform::SettingsStore settings(db_file.parent_path() / "settings.json");
  store::EmailStore store(*db, settings);
  mail::EmailService service;
  mail::EmailSyncFlow flow(store, service);

  store::EmailAccount account;
  account.id = new_uuid();
  account.emailAddress = user;
  account.imapHost = host;
  account.imapPort = port;
  account.imapEncryption = store::EmailEncryption::none;
  store.saveAccount(account);
  const std::optional<std::string> secret = password;
  const store::EmailFolder* inbox = nullptr;
  const auto folders = flow.syncFolders(account, secret);
  for (const auto& f : folders)
    if (f.path == "INBOX") inbox = &f;
  if (!inbox) {
    std::cerr << "no INBOX\n";
    return 1;
  }
  flow.syncFolder(account, secret, *inbox, std::nullopt, limit, false);
  service.cancelBackgroundTasks(account.id);
  service.waitForBackgroundTasks(account.id);

  // Every stored message is in the window, whatever its date, and none is too large: the
  // same whole messages as the peers download.
  mail::EmailBodyPrefetcher prefetcher(*db, service);
  const std::atomic<bool> never{false};
  const double cpu0 = bench::cpu_ms(CLOCK_PROCESS_CPUTIME_ID);
  const auto t0 = std::chrono::steady_clock::now();
  const auto result = prefetcher.prefetch(account, secret, {36500, UINT64_MAX}, never);
  const auto t1 = std::chrono::steady_clock::now();
  const double cpu = bench::cpu_ms(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  std::cout << "{\"prefetch\": " << std::chrono::duration<double, std::milli>(t1 - t0).count()
            << ", \"cpu\": " << cpu << ", \"stored\": " << result.stored
            << ", \"bytes\": " << result.bytes << "}" << std::endl;
  return 0;
}
