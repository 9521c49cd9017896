// What keeping the store in line with the server costs a folder sync: a folder of
// --messages messages loses --expunges of them to another client before every round, and
// three databases that were loaded from it alike sync it again, side by side in one run:
//   today       the sync as it was before it checked UIDVALIDITY and removed anything
//               (EmailSyncFlow::reconcile off): the ghosts stay;
//   uid sets    the sync on a session without QRESYNC/CONDSTORE: the listed UIDs are
//               compared with the stored ones;
//   qresync     the sync as it runs against Dovecot: SELECT (QRESYNC ...) reports the
//               expunged UIDs (VANISHED (EARLIER)).
// The order of the three rotates from round to round. Prints a Markdown table with the
// median times and their ratio to "today", and checks that the two reconciling databases
// hold exactly what the server holds.
//
//   kestrova-bench-resync --host H --port P --user U --password W --dir DIR
//                         [--rounds 5] [--expunges 100] [--limit 0]

#include <CLI/CLI.hpp>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bench_figures.h"
#include "bench_mail_account.h"
#include "mail/libetpan_imap_session.h"
#include "store/database.h"
#include "util/log.h"

namespace fs = std::filesystem;
using namespace kestrova;

namespace {

struct Variant {
  std::string name;
  std::unique_ptr<bench::BenchMailAccount> setup;
  store::EmailFolder inbox;
  std::vector<double> times;
  size_t removed = 0;
};

int64_t storedRows(store::EmailDatabase& db) {
  return db.read([](store::Connection& c) {
    auto s = c.prepare("SELECT COUNT(*) FROM email_messages WHERE uid IS NOT NULL");
    return s.step() ? s.integer(0).value_or(0) : 0;
  });
}

}  // namespace

int main(int argc, char** argv) {
  std::string host, user, password, dir;
  int port = 0, rounds = 5;
  size_t expunges = 100;
  uint64_t limit = 0;
  CLI::App app{"Folder sync after messages were expunged elsewhere"};
  app.add_option("--host", host)->required();
  app.add_option("--port", port)->required();
  app.add_option("--user", user)->required();
  app.add_option("--password", password)->required();
  app.add_option("--dir", dir, "An empty directory for the databases")->required();
  app.add_option("--rounds", rounds)->capture_default_str();
  app.add_option("--expunges", expunges)->capture_default_str();
  app.add_option("--limit", limit, "Messages listed per sync (0: the whole folder)")
      ->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  set_log_target(LogTarget::Silent);
  const std::optional<std::string> secret = password;

  std::vector<Variant> variants;
  for (const char* name : {"today", "uid sets", "qresync"}) {
    Variant v;
    v.name = name;
    v.setup = std::make_unique<bench::BenchMailAccount>(fs::path(dir) / (v.name + ".db"), host,
                                                        port, user);
    v.setup->flow.reconcile = v.name != "today";
    v.setup->service.setResyncExtensionsDisabled(v.name == "uid sets");
    for (const auto& folder : v.setup->flow.syncFolders(v.setup->account, secret))
      if (folder.path == "INBOX") v.inbox = folder;
    v.setup->flow.syncFolder(v.setup->account, secret, v.inbox, std::nullopt, 0, true);
    variants.push_back(std::move(v));
  }

  auto& first = *variants.front().setup;
  size_t onServer = 0;
  for (int round = 0; round < rounds; ++round) {
    {
      // The other client: `expunges` messages spread over the folder.
      auto session = first.service.openIMAPSession(first.account, secret);
      if (!session->selectFolder("INBOX")) return 1;
      const auto listed = session->fetchMessagesFromUID(1, 0);
      if (!listed || listed->size() <= expunges) return 1;
      std::vector<uint32_t> chosen;
      const size_t step = listed->size() / expunges;
      for (size_t i = 0; i < expunges; ++i) chosen.push_back((*listed)[i * step].uid);
      if (!session->deleteAndExpungeWithUIDs(chosen)) return 1;
      onServer = listed->size() - chosen.size();
      session->disconnect();
    }
    for (size_t k = 0; k < variants.size(); ++k) {
      Variant& v = variants[(k + static_cast<size_t>(round)) % variants.size()];
      const auto start = std::chrono::steady_clock::now();
      const auto result =
          v.setup->flow.syncFolder(v.setup->account, secret, v.inbox, std::nullopt, limit, true);
      v.times.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count());
      v.removed += result.removed;
    }
  }

  const double today = bench::median(variants.front().times);
  std::cout << "| sync ("
            << (limit ? "newest " + std::to_string(limit) : std::string("whole folder")) << ", "
            << onServer << " messages left, " << expunges
            << " expunged elsewhere per round) | median ms | × today | rows removed | rows stored "
               "at the end |\n|---|---|---|---|---|\n";
  bool exact = true;
  for (auto& v : variants) {
    const double ms = bench::median(v.times);
    const int64_t rows = storedRows(*v.setup->db);
    if (v.name != "today" && limit == 0 && rows != static_cast<int64_t>(onServer)) exact = false;
    std::cout << "| " << v.name << " | " << bench::fmt("%.0f", ms) << " | "
              << bench::fmt("%.2f", today > 0 ? ms / today : 0) << " | " << v.removed << " | "
              << rows << " |\n";
  }
  if (!exact) {
    std::cerr << "a reconciling database does not hold what the server holds\n";
    return 2;
  }
  return 0;
}
