// The translation cache on a database holding 10,000 cached translations: a hit (same
// message, language and body) against a miss (the body was edited, so its fingerprint is
// new), both through EmailTranslationCacheService including the SHA-256 of the body, and
// the fingerprint alone. Rounds alternate between hit and miss on random messages.
//
//   kestrova-bench-translation-cache [--rows N] [--rounds N] [--body-bytes N]

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "ai/email_translation_cache_service.h"
#include "store/database.h"
#include "util/uuid.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace ai = kestrova::ai;
namespace store = kestrova::store;

double millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Figures {
  double median, p99;
};
Figures figures(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return {samples[samples.size() / 2], samples[samples.size() * 99 / 100]};
}

std::string body_of(size_t index, size_t bytes) {
  std::string body = "Message " + std::to_string(index) + ": ";
  while (body.size() < bytes) body += "the quarterly invoice is attached, please review it. ";
  body.resize(bytes);
  return body;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Translation cache hit against miss"};
  int rows = 10000, rounds = 20000;
  size_t bodyBytes = 4000;
  app.add_option("--rows", rows, "Cached translations in the database");
  app.add_option("--rounds", rounds, "Lookups per side");
  app.add_option("--body-bytes", bodyBytes, "Size of each source body");
  CLI11_PARSE(app, argc, argv);

  const auto directory = std::filesystem::temp_directory_path() /
                         ("kestrova-bench-translation-" + kestrova::new_uuid());
  std::filesystem::create_directories(directory);
  {
    auto database = store::EmailDatabase::open(directory / "email.db");
    const std::string account = kestrova::new_uuid();
    std::vector<std::string> ids(rows);
    database->write([&](store::Connection& c) {
      c.prepare(
           "INSERT INTO email_accounts (id, email_address, service_type, imap_host, imap_port, "
           "imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, updated_at) "
           "VALUES (?, 'bench@example.com', 'custom', 'localhost', 993, 'ssl', 'localhost', 465, "
           "'ssl', 0, 0)")
          .bind_all(account)
          .step();
      for (auto& id : ids) {
        id = kestrova::new_uuid();
        c.prepare(
             "INSERT INTO email_messages (id, account_id, subject, from_email, date, synced_at, "
             "updated_at) VALUES (?, ?, 'Invoice', 'a@example.com', 0, 0, 0)")
            .bind_all(id, account)
            .step();
      }
    });
    const ai::EmailTranslationCacheService cache(*database);
    // Filling joins one outer transaction; the stores measured below commit one by one, as
    // the command does after each translation.
    database->write([&](store::Connection&) {
      for (int i = 0; i < rows; ++i)
        cache.store(ids[i], "简体中文", body_of(i, bodyBytes), {"<p>译文</p>", "en"});
    });
    std::vector<double> stores;
    for (int i = 0; i < std::min(rows, 200); ++i) {
      const auto start = Clock::now();
      cache.store(ids[i], "English", body_of(i, bodyBytes), {"<p>text</p>", "zh"});
      stores.push_back(millis(Clock::now() - start));
    }

    std::mt19937 random(7);
    std::uniform_int_distribution<int> pick(0, rows - 1);
    std::vector<double> hits, misses, digests;
    size_t found = 0;
    for (int round = 0; round < rounds; ++round) {
      const int i = pick(random);
      const std::string body = body_of(i, bodyBytes);
      const std::string edited = body + " (edited)";
      auto start = Clock::now();
      found += cache.lookup(ids[i], "简体中文", body).has_value();
      hits.push_back(millis(Clock::now() - start));
      start = Clock::now();
      found += cache.lookup(ids[i], "简体中文", edited).has_value();
      misses.push_back(millis(Clock::now() - start));
      start = Clock::now();
      found += ai::EmailTranslationCacheService::fingerprint(body).size() == 64 ? 0 : 1000000;
      digests.push_back(millis(Clock::now() - start));
    }
    const Figures hit = figures(hits), miss = figures(misses), digest = figures(digests),
                  stored = figures(stores);
    std::printf("rows %d, rounds %d, body %zu bytes, lookups found %zu (expected %d)\n", rows,
                rounds, bodyBytes, found, rounds);
    std::printf("| measurement | median ms | p99 ms |\n|---|---|---|\n");
    std::printf("| hit (lookup with fingerprint) | %.4f | %.4f |\n", hit.median, hit.p99);
    std::printf("| miss (edited body) | %.4f | %.4f |\n", miss.median, miss.p99);
    std::printf("| fingerprint alone | %.4f | %.4f |\n", digest.median, digest.p99);
    std::printf("| store (own transaction) | %.4f | %.4f |\n", stored.median, stored.p99);
  }
  std::filesystem::remove_all(directory);
  return 0;
}
