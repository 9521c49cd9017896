// kestrova-bench-safety: junk scoring and sender profiles.
//
//   kestrova-bench-safety --db FILE [--rounds N] [Google Benchmark flags]
//
// First a table: SenderProfileService::profile() on a copy of a generated database, for the
// most frequent sender of the largest account and for an unknown address, with and without
// the account filter, against each of its statements prepared and stepped directly through
// sqlite3 (same SQL text, same bound values), medians over --rounds. Then the Google
// Benchmark JunkScore/corpus: junkScore() over 10,000 generated messages per iteration; the
// counter median_us is the per-message median.

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "bench_figures.h"
#include "mail/mail_import.h"
#include "platform/settings_store.h"
#include "safety/email_junk_filter_service.h"
#include "safety/sender_profile_service.h"
#include "store/database.h"
#include "store/email_message.h"
#include "support/message_generator.h"
#include "util/time.h"

using kestrova::bench::median_ms;

namespace {

using Clock = std::chrono::steady_clock;
using kestrova::store::Connection;
using kestrova::store::EmailDatabase;
using kestrova::store::EmailMessage;

// ---- sender profile against its statements run directly ----

struct DbCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};

using Value = std::variant<std::string, double, int64_t>;

// One statement as the service runs it: the text with or without the account condition and
// its bound values in order.
struct Direct {
  std::string name, sql;
  std::vector<Value> values;
};

// Prepares, binds and steps to the end; returns the number of rows.
int run_direct(sqlite3* db, const Direct& d) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, d.sql.c_str(), static_cast<int>(d.sql.size()), &raw, nullptr) != SQLITE_OK) {
    std::fprintf(stderr, "prepare failed (%s): %s\n", d.name.c_str(), sqlite3_errmsg(db));
    std::exit(1);
  }
  std::unique_ptr<sqlite3_stmt, StmtFinalizer> s(raw);
  for (size_t i = 0; i < d.values.size(); ++i) {
    const int index = static_cast<int>(i) + 1;
    if (const auto* t = std::get_if<std::string>(&d.values[i]))
      sqlite3_bind_text(raw, index, t->c_str(), static_cast<int>(t->size()), SQLITE_TRANSIENT);
    else if (const auto* r = std::get_if<double>(&d.values[i]))
      sqlite3_bind_double(raw, index, *r);
    else
      sqlite3_bind_int64(raw, index, std::get<int64_t>(d.values[i]));
  }
  int rows = 0;
  while (sqlite3_step(raw) == SQLITE_ROW) ++rows;
  return rows;
}

// The statements of a profile with the service's SQL text and bound values, in its order.
std::vector<Direct> statements(const std::string& address, const std::optional<std::string>& account,
                               double now, int64_t received) {
  const bool a = account.has_value();
  const std::string acc = " AND account_id = ?";
  const std::string pattern = "%\"" + address + "\"%";
  auto with = [&](std::vector<Value> v) {
    if (a) v.push_back(*account);
    return v;
  };
  std::vector<Direct> out;
  out.push_back({"received totals",
                 "SELECT COUNT(*) AS c, MIN(date) AS first_d, MAX(date) AS last_d FROM email_messages WHERE "
                 "lower(from_email) = ? AND is_deleted = 0" + (a ? acc : ""),
                 with({address})});
  out.push_back({"last 30 days",
                 "SELECT COUNT(*) AS c FROM email_messages WHERE lower(from_email) = ? AND date >= ? AND "
                 "is_deleted = 0" + (a ? acc : ""),
                 with({address, now - 2'592'000.0})});
  out.push_back({"sent totals",
                 "SELECT COUNT(*) AS c, MAX(date) AS last_d FROM email_messages WHERE (lower(to_contacts) LIKE ? OR "
                 "lower(cc_contacts) LIKE ?) AND is_draft = 0 AND is_deleted = 0" + (a ? acc : ""),
                 with({pattern, pattern})});
  out.push_back({"recent messages",
                 "SELECT id, subject, date, folder_id, CASE WHEN lower(from_email) = ? THEN 0 ELSE 1 END AS is_sent "
                 "FROM email_messages WHERE (lower(from_email) = ? OR lower(to_contacts) LIKE ? OR "
                 "lower(cc_contacts) LIKE ?) AND is_deleted = 0 AND is_draft = 0" + (a ? acc : "") +
                     " ORDER BY date DESC LIMIT 10",
                 with({address, address, pattern, pattern})});
  out.push_back({"recent attachments",
                 "SELECT a.id, a.filename, a.size, m.date, m.subject FROM email_attachments a JOIN email_messages m ON "
                 "a.message_id = m.id WHERE lower(m.from_email) = ? AND m.is_deleted = 0 AND a.is_inline = 0" +
                     std::string(a ? " AND m.account_id = ?" : "") + " ORDER BY m.date DESC LIMIT 5",
                 with({address})});
  out.push_back({"own addresses", "SELECT email_address FROM email_accounts", {}});
  out.push_back({"co-recipients",
                 "SELECT to_contacts, cc_contacts FROM email_messages WHERE lower(from_email) = ? AND is_deleted = 0" +
                     (a ? acc : "") + " ORDER BY date DESC LIMIT 100",
                 with({address})});
  if (received > 0) {
    std::vector<Value> v;
    if (a) v.push_back(*account);
    v.push_back(received);
    out.push_back({"rank",
                   "SELECT COUNT(*) AS c FROM (SELECT lower(from_email) AS e FROM email_messages WHERE is_deleted = 0 "
                   "AND lower(from_email) NOT IN (SELECT lower(email_address) FROM email_accounts)" +
                       (a ? acc : "") + " GROUP BY e HAVING COUNT(*) > ?)",
                   v});
  }
  out.push_back({"contact", "SELECT name, category, note FROM contacts WHERE lower(email) = ?", {address}});
  if (received > 0)
    out.push_back({"most used name",
                   "SELECT from_name, COUNT(*) AS n, MAX(date) AS d FROM email_messages WHERE lower(from_email) = ? "
                   "AND is_deleted = 0 AND trim(COALESCE(from_name, '')) != ''" + (a ? acc : "") +
                       " GROUP BY from_name ORDER BY n DESC, d DESC LIMIT 1",
                   with({address})});
  return out;
}

int profile_table(const std::string& source, int rounds) {
  const auto dir = std::filesystem::temp_directory_path() / "kestrova-bench-safety";
  std::filesystem::create_directories(dir);
  const auto copy = dir / "email.db";
  std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing);
  auto db = EmailDatabase::open(copy);
  if (!db->is_open()) return 1;
  kestrova::platform::SettingsStore settings(dir / "settings.json");

  sqlite3* raw = nullptr;
  if (sqlite3_open_v2(copy.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) return 1;
  std::unique_ptr<sqlite3, DbCloser> direct(raw);

  auto first = [&](const std::string& sql) {
    return db->read([&](Connection& c) {
      auto s = c.prepare(sql);
      return s.step() ? s.text(0).value_or("") : std::string();
    });
  };
  const std::string account =
      first("SELECT account_id FROM email_messages GROUP BY account_id ORDER BY COUNT(*) DESC LIMIT 1");
  const std::string sender = db->read([&](Connection& c) {
    auto s = c.prepare("SELECT lower(from_email) FROM email_messages WHERE account_id = ? AND is_deleted = 0 "
                       "GROUP BY lower(from_email) ORDER BY COUNT(*) DESC LIMIT 1");
    s.bind(1, account);
    return s.step() ? s.text(0).value_or("") : std::string();
  });
  const std::string total = first("SELECT COUNT(*) FROM email_messages");
  const double now = kestrova::now_seconds();
  kestrova::safety::SenderProfileService service(*db, settings, [now] { return now; });

  std::printf("%s messages; largest account %s; %d rounds, median ms\n\n", total.c_str(), account.c_str(), rounds);
  struct Case {
    std::string label, address;
    std::optional<std::string> account;
  };
  const std::vector<Case> cases = {{"top sender, all accounts", sender, std::nullopt},
                                   {"top sender, account", sender, account},
                                   {"unknown, all accounts", "nobody@unknown.invalid", std::nullopt},
                                   {"unknown, account", "nobody@unknown.invalid", account}};
  for (const auto& c : cases) {
    kestrova::safety::SenderProfile p = service.profile(c.address, c.account);  // warm-up
    const double profile_ms = median_ms(rounds, [&] { p = service.profile(c.address, c.account); });
    std::printf("### %s (%s): %d received, %d sent, rank %d\n\n", c.label.c_str(), c.address.c_str(), p.totalReceived,
                p.totalSent, p.frequencyRank.value_or(0));
    std::printf("| statement | rows | direct ms |\n|---|---:|---:|\n");
    double sum = 0;
    for (const auto& d : statements(c.address, c.account, now, p.totalReceived)) {
      int rows = run_direct(direct.get(), d);
      const double ms = median_ms(rounds, [&] { rows = run_direct(direct.get(), d); });
      sum += ms;
      std::printf("| %s | %d | %.2f |\n", d.name.c_str(), rows, ms);
    }
    std::printf("| **sum of direct statements** | | %.2f |\n| **profile()** | | %.2f |\n\nratio profile() / sum: %.2f×\n\n",
                sum, profile_ms, profile_ms / sum);
  }
  direct.reset();
  db.reset();
  std::filesystem::remove_all(dir);
  return 0;
}

// ---- junk scoring ----

std::vector<EmailMessage> junk_corpus() {
  std::vector<EmailMessage> messages;
  for (const auto& generated : kestrova::testing::generate_corpus(42, 10'000)) {
    kestrova::mail::ArchivedMessage archived;
    archived.raw = generated.raw;
    messages.push_back(kestrova::mail::message_from_archive(archived, "", "", 0));
  }
  return messages;
}

void JunkScoreCorpus(benchmark::State& state) {
  static const std::vector<EmailMessage> messages = junk_corpus();
  std::vector<double> per_message(messages.size());
  for (auto _ : state) {
    for (size_t i = 0; i < messages.size(); ++i) {
      const auto start = Clock::now();
      benchmark::DoNotOptimize(kestrova::safety::EmailJunkFilterService::junkScore(messages[i]));
      per_message[i] = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    }
  }
  std::sort(per_message.begin(), per_message.end());
  state.counters["messages"] = static_cast<double>(messages.size());
  state.counters["median_us"] = per_message[per_message.size() / 2];
  state.counters["p99_us"] = per_message[per_message.size() * 99 / 100];
}
BENCHMARK(JunkScoreCorpus)->Name("JunkScore/corpus")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  std::string db;
  int rounds = 9;
  std::vector<char*> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--db") == 0 && i + 1 < argc)
      db = argv[++i];
    else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
      rounds = std::max(1, std::atoi(argv[++i]));
    else
      rest.push_back(argv[i]);
  }
  if (!db.empty() && profile_table(db, rounds) != 0) return 1;
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
