// libFuzzer target: each input is a query of `kestrova search`. It is split into terms and
// turned into the SQL condition twice, once through the substring index and once with the
// LIKE conditions alone, and both run against a small database with the real schema: six
// messages indexed, two still queued for the index, texts in English, Chinese and with
// LIKE's own characters ("%", "_", "\").
//
// Beyond sanitizer reports it aborts when a query that parses makes SQL that SQLite refuses
// (a syntax error, a wrong number of values), when the two conditions find other rows, or
// when anything but the program's own error (an unknown has:/is: value, an unreadable
// date) is thrown.

#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/mailbox/search_language.h"
#include "store/database.h"
#include "store/search_index.h"
#include "util/error.h"

namespace {

using kestrova::store::Connection;
using kestrova::store::EmailDatabase;

std::filesystem::path directory;
std::unique_ptr<EmailDatabase> database;

void insert(Connection& c, int n, const char* subject, const char* from, const char* body) {
  auto s = c.prepare(
      "INSERT INTO email_messages (id, account_id, folder_id, subject, from_name, from_email, "
      "to_contacts, text_body, preview, date, is_read, is_starred, has_attachments, synced_at, "
      "updated_at) VALUES (?, 'A1', ?, ?, ?, ?, '[{\"email\":\"me@example.org\"}]', ?, ?, ?, "
      "?, ?, ?, 0, 0)");
  s.bind_all("M" + std::to_string(n), n % 2 ? "F1" : "F2", subject, from,
             std::string(from) + "@example.org", body, std::string(body).substr(0, 20),
             1.7e9 + n * 86400.0, int64_t{n % 2}, int64_t{n % 3 == 0}, int64_t{n % 4 == 0});
  s.run();
}

void remove_directory() {
  database.reset();
  std::error_code ec;
  std::filesystem::remove_all(directory, ec);
}

std::vector<std::string> rows(Connection& c, const kestrova::app::SearchCondition& condition) {
  auto s = c.prepare("SELECT id FROM email_messages WHERE is_deleted = 0 AND " + condition.sql +
                     " ORDER BY date DESC, rowid LIMIT 50");
  int index = 1;
  for (const auto& value : condition.texts) s.bind(index++, value);
  std::vector<std::string> ids;
  while (s.step()) ids.push_back(s.text(0).value_or(""));
  return ids;
}

// A statement whose LIKE takes a bound pattern is compiled a second time at its first step,
// with the pattern known: most of an execution here. The query planner's stability
// guarantee leaves it compiled once; only the plan may differ, never the rows, and the rows
// are what this target compares.
int plan_once(sqlite3* db, const char**, const sqlite3_api_routines*) {
  sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_QPSG, 1, nullptr);
  return SQLITE_OK;
}

// The allocator's own branches would otherwise count as new behaviour of the program.
#define NO_COVERAGE __attribute__((no_sanitize("coverage")))

// SQLite allocates in small pieces while it compiles a statement, and every allocation
// through ASan's allocator is costly. SQLite is not instrumented, so its memory is taken
// from free lists of power-of-two sizes kept here instead (never given back).
struct Pool {
  static constexpr int kClasses = 20;  // 16 bytes .. 8 MiB
  void* free[kClasses] = {};
  NO_COVERAGE static int class_of(int n) {
    int c = 0;
    while ((16 << c) < n + 16) ++c;
    return c;
  }
};
Pool pool;
NO_COVERAGE void* pool_malloc(int n) {
  const int c = Pool::class_of(n);
  if (c >= Pool::kClasses) return nullptr;
  char* block = static_cast<char*>(pool.free[c]);
  if (block)
    pool.free[c] = *reinterpret_cast<void**>(block);
  else
    block = static_cast<char*>(std::malloc(size_t{16} << c));
  *reinterpret_cast<int*>(block) = c;
  return block + 16;
}
NO_COVERAGE void pool_free(void* p) {
  if (!p) return;
  char* block = static_cast<char*>(p) - 16;
  const int c = *reinterpret_cast<int*>(block);
  *reinterpret_cast<void**>(block) = pool.free[c];
  pool.free[c] = block;
}
NO_COVERAGE int pool_size(void* p) {
  return p ? (16 << *reinterpret_cast<int*>(static_cast<char*>(p) - 16)) - 16 : 0;
}
NO_COVERAGE void* pool_realloc(void* p, int n) {
  if (!p) return pool_malloc(n);
  if (n <= pool_size(p)) return p;
  void* q = pool_malloc(n);
  if (q) {
    std::memcpy(q, p, pool_size(p));
    pool_free(p);
  }
  return q;
}
NO_COVERAGE int pool_roundup(int n) { return (16 << Pool::class_of(n)) - 16; }
int pool_init(void*) { return SQLITE_OK; }
void pool_shutdown(void*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static const sqlite3_mem_methods methods = {pool_malloc,  pool_free, pool_realloc,  pool_size,
                                              pool_roundup, pool_init, pool_shutdown, nullptr};
  sqlite3_config(SQLITE_CONFIG_MALLOC, &methods);
  sqlite3_auto_extension(reinterpret_cast<void (*)()>(plan_once));
  const std::filesystem::path base =
      std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
  directory = base / ("kestrova-fuzz-search-" + std::to_string(getpid()));
  std::filesystem::create_directories(directory);
  std::atexit(remove_directory);
  database = EmailDatabase::open(directory / "mail.sqlite");
  database->write([](Connection& c) {
    c.execute(
        "INSERT INTO email_accounts (id, email_address, display_name, service_type, imap_host, "
        "imap_port, imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, "
        "updated_at) VALUES ('A1', 'me@example.org', 'Me', 'custom', 'imap.example.org', 993, "
        "'ssl', 'smtp.example.org', 465, 'ssl', 0, 0)");
    c.execute(
        "INSERT INTO email_folders (id, account_id, name, type, path) VALUES ('F1', 'A1', "
        "'Inbox', 'inbox', 'INBOX'), ('F2', 'A1', '项目', 'custom', '&mAlbEg-')");
    insert(c, 1, "Invoice 2024 for March", "becker", "Please pay 50% by Friday");
    insert(c, 2, "发票信息", "张伟", "请查收本月的发票，谢谢");
    insert(c, 3, "re: under_score and back\\slash", "noreply", "a_b%c\\d");
    insert(c, 4, "Meeting", "Ana", "Can we meet at 10:00? 会议室 B");
    insert(c, 5, "ab", "x", "é ß İ ﬁ");
    insert(c, 6, "Newsletter", "news", "unsubscribe here");
    kestrova::store::index_queued_messages(c);
    insert(c, 7, "Queued invoice", "becker", "not indexed yet 发票");
    insert(c, 8, "queued", "q", "zz");
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string query(reinterpret_cast<const char*>(data), size);
  std::vector<kestrova::app::SearchTerm> terms;
  try {
    terms = kestrova::app::parse_search_query(query);
  } catch (const kestrova::Error&) {
    return 0;  // an unknown has: or is: value
  }
  const double now = 1.8e9;
  database->read([&](Connection& c) {
    kestrova::app::SearchCondition indexed, plain;
    try {
      plain = kestrova::app::search_condition(terms, now);
      indexed = kestrova::app::search_condition(terms, now, &c);
    } catch (const kestrova::store::DatabaseError& e) {
      std::fprintf(stderr, "index lookup failed: %s\nquery: %s\n", e.what(), query.c_str());
      std::abort();
    } catch (const kestrova::Error&) {
      return;  // a date it cannot read
    }
    try {
      const auto a = rows(c, indexed), b = rows(c, plain);
      if (a != b) {
        std::fprintf(stderr, "index and LIKE disagree (%zu against %zu rows)\nquery: %s\n",
                     a.size(), b.size(), query.c_str());
        std::abort();
      }
    } catch (const kestrova::store::DatabaseError& e) {
      std::fprintf(stderr, "SQLite refused the condition: %s\nsql: %s\nquery: %s\n", e.what(),
                   indexed.sql.c_str(), query.c_str());
      std::abort();
    }
  });
  return 0;
}
