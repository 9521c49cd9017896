#include "store/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "store/email_message.h"
#include "support/test_support.h"

namespace kestrova::store {
namespace {

using testing::TempDir;
constexpr const char* kAccount = "A0000000-0000-4000-8000-000000000001";
constexpr const char* kFolder = "F0000000-0000-4000-8000-000000000001";
constexpr const char* kMessage = "E0000000-0000-4000-8000-000000000001";

// (name, type, notnull, default, pk) of every column, ignoring order.
using ColumnInfo = std::tuple<std::string, std::string, int64_t, std::string, int64_t>;
std::set<ColumnInfo> column_info(EmailDatabase& db, const std::string& table) {
  return db.read([&](Connection& c) {
    auto s = c.prepare("SELECT name, type, \"notnull\", dflt_value, pk FROM pragma_table_info(?)");
    s.bind(1, table);
    std::set<ColumnInfo> info;
    while (s.step())
      info.emplace(*s.text(0), *s.text(1), *s.integer(2), s.text(3).value_or("<null>"),
                   *s.integer(4));
    return info;
  });
}

std::set<std::string> names_of(EmailDatabase& db, const char* type) {
  return db.read([&](Connection& c) {
    auto s =
        c.prepare("SELECT name FROM sqlite_master WHERE type = ? AND name NOT LIKE 'sqlite_%'");
    s.bind(1, type);
    std::set<std::string> names;
    while (s.step()) names.insert(*s.text(0));
    return names;
  });
}

std::vector<std::string> schema_dump(EmailDatabase& db) {
  return db.read([](Connection& c) {
    auto s = c.prepare(
        "SELECT type || ' ' || name || ' ' || COALESCE(sql, '') FROM sqlite_master ORDER BY "
        "type, name");
    std::vector<std::string> rows;
    while (s.step()) rows.push_back(*s.text(0));
    auto version = c.prepare("PRAGMA schema_version");
    version.step();
    rows.push_back("schema_version " + *version.text(0));
    return rows;
  });
}

int64_t count(EmailDatabase& db, const std::string& sql) {
  return db.read([&](Connection& c) {
    auto s = c.prepare(sql);
    s.step();
    return *s.integer(0);
  });
}

void insert_account_folder_message(EmailDatabase& db) {
  db.write([](Connection& c) {
    c.prepare(
         "INSERT INTO email_accounts (id, email_address, service_type, imap_host, imap_port, "
         "imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, updated_at) "
         "VALUES (?, 'me@example.com', 'Gmail', 'imap.gmail.com', 993, 'ssl', "
         "'smtp.gmail.com', 465, 'ssl', 1, 1)")
        .bind_all(kAccount)
        .run();
    c.prepare(
         "INSERT INTO email_folders (id, account_id, name, type, path) "
         "VALUES (?, ?, 'INBOX', 'inbox', 'INBOX')")
        .bind_all(kFolder, kAccount)
        .run();
    c.prepare(
         "INSERT INTO email_messages (id, account_id, folder_id, subject, from_email, date, "
         "synced_at, updated_at) VALUES (?, ?, ?, 'Hello', 'a@example.com', 10, 10, 10)")
        .bind_all(kMessage, kAccount, kFolder)
        .run();
    c.prepare(
         "INSERT INTO email_attachments (id, message_id, filename, mime_type) "
         "VALUES ('B0000000-0000-4000-8000-000000000001', ?, 'a.pdf', 'application/pdf')")
        .bind_all(kMessage)
        .run();
  });
}

TEST(EmailDatabaseTest, SecondOpenChangesNothing) {
  TempDir dir;
  const auto path = dir.path() / "email.db";
  std::vector<std::string> before;
  {
    auto db = EmailDatabase::open(path);
    insert_account_folder_message(*db);
    before = schema_dump(*db);
  }
  auto db = EmailDatabase::open(path);
  ASSERT_TRUE(db->is_open());
  EXPECT_EQ(schema_dump(*db), before);
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_messages"), 1);
}

// A file written by an older version: tables without the columns added since.
constexpr const char* kOlderSchema = R"(
CREATE TABLE email_accounts (
    id TEXT PRIMARY KEY, email_address TEXT NOT NULL, display_name TEXT,
    service_type TEXT NOT NULL, imap_host TEXT NOT NULL, imap_port INTEGER NOT NULL,
    imap_encryption TEXT NOT NULL, smtp_host TEXT NOT NULL, smtp_port INTEGER NOT NULL,
    smtp_encryption TEXT NOT NULL, is_enabled INTEGER NOT NULL DEFAULT 1,
    is_default INTEGER NOT NULL DEFAULT 0, last_sync_date REAL,
    connection_status TEXT NOT NULL DEFAULT 'disconnected', password_keychain_identifier TEXT,
    created_at REAL NOT NULL, updated_at REAL NOT NULL);
CREATE TABLE email_folders (
    id TEXT PRIMARY KEY, account_id TEXT NOT NULL, name TEXT NOT NULL, type TEXT NOT NULL,
    path TEXT NOT NULL, unread_count INTEGER NOT NULL DEFAULT 0,
    total_count INTEGER NOT NULL DEFAULT 0, last_sync_date REAL,
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE);
CREATE TABLE email_messages (
    id TEXT PRIMARY KEY, account_id TEXT NOT NULL, folder_id TEXT, uid INTEGER,
    message_id TEXT, thread_id TEXT, subject TEXT NOT NULL, from_name TEXT,
    from_email TEXT NOT NULL, to_contacts TEXT, cc_contacts TEXT, bcc_contacts TEXT,
    reply_to_contacts TEXT, text_body TEXT, html_body TEXT, preview TEXT, date REAL NOT NULL,
    received_date REAL, is_read INTEGER NOT NULL DEFAULT 0,
    is_starred INTEGER NOT NULL DEFAULT 0, is_important INTEGER NOT NULL DEFAULT 0,
    is_no_reply INTEGER NOT NULL DEFAULT 0, has_attachments INTEGER NOT NULL DEFAULT 0,
    tags TEXT, ai_tags TEXT, ai_summary TEXT, ai_priority TEXT, synced_at REAL NOT NULL,
    updated_at REAL NOT NULL, is_body_loaded INTEGER NOT NULL DEFAULT 0,
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE,
    FOREIGN KEY (folder_id) REFERENCES email_folders(id) ON DELETE SET NULL);
CREATE TABLE email_attachments (
    id TEXT PRIMARY KEY, message_id TEXT NOT NULL, filename TEXT NOT NULL,
    mime_type TEXT NOT NULL, size INTEGER NOT NULL DEFAULT 0, content_id TEXT,
    is_inline INTEGER NOT NULL DEFAULT 0, local_path TEXT,
    FOREIGN KEY (message_id) REFERENCES email_messages(id) ON DELETE CASCADE);
CREATE TABLE contacts (
    id TEXT PRIMARY KEY, name TEXT, email TEXT NOT NULL, frequency INTEGER NOT NULL DEFAULT 1,
    last_used REAL NOT NULL, source TEXT NOT NULL DEFAULT 'received');
CREATE UNIQUE INDEX idx_contacts_email ON contacts(email);
INSERT INTO email_accounts (id, email_address, service_type, imap_host, imap_port,
    imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, updated_at)
    VALUES ('A0000000-0000-4000-8000-000000000001', 'me@example.com', 'iCloud',
    'imap.mail.me.com', 993, 'ssl', 'smtp.mail.me.com', 587, 'startTLS', 1, 2);
INSERT INTO email_folders (id, account_id, name, type, path)
    VALUES ('F0000000-0000-4000-8000-000000000001', 'A0000000-0000-4000-8000-000000000001',
    'INBOX', 'inbox', 'INBOX');
INSERT INTO email_messages (id, account_id, folder_id, uid, subject, from_email, to_contacts,
    date, synced_at, updated_at, is_read)
    VALUES ('E0000000-0000-4000-8000-000000000001', 'A0000000-0000-4000-8000-000000000001',
    'F0000000-0000-4000-8000-000000000001', 42, 'Old mail', 'old@example.com',
    '[{"email":"me@example.com"}]', 100, 100, 100, 1);
INSERT INTO email_attachments (id, message_id, filename, mime_type, size)
    VALUES ('B0000000-0000-4000-8000-000000000001', 'E0000000-0000-4000-8000-000000000001',
    'a.pdf', 'application/pdf', 7);
INSERT INTO contacts (id, email, last_used) VALUES ('C1', 'old@example.com', 5);
)";

TEST(EmailDatabaseTest, UpgradesOlderDatabaseKeepingRows) {
  TempDir dir;
  auto fresh = EmailDatabase::open(dir.path() / "fresh.db");
  const auto older_path = dir.path() / "older.db";
  {
    Connection c(older_path);
    c.execute(kOlderSchema);
  }
  auto db = EmailDatabase::open(older_path);
  ASSERT_TRUE(db->is_open());

  // The upgraded file has every table, index and column (type, constraint, default) of a
  // new one; only the index that came with the in_reply_to upgrade is extra.
  const auto tables = names_of(*fresh, "table");
  EXPECT_EQ(names_of(*db, "table"), tables);
  for (const auto& table : tables)
    EXPECT_EQ(column_info(*db, table), column_info(*fresh, table)) << table;
  auto indexes = names_of(*fresh, "index");
  indexes.insert("idx_messages_in_reply_to");
  EXPECT_EQ(names_of(*db, "index"), indexes);
  EXPECT_EQ(count(*db, "PRAGMA foreign_keys"), 1);

  auto message = db->read([](Connection& c) {
    auto s = c.prepare("SELECT * FROM email_messages");
    EXPECT_TRUE(s.step());
    return EmailMessage::from_row(s);
  });
  ASSERT_TRUE(message);
  EXPECT_EQ(message->subject, "Old mail");
  // The stored mail is in the substring index that searches go through.
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_search WHERE email_search MATCH '\"ld \"'"), 1);
  EXPECT_EQ(message->uid, 42u);
  EXPECT_TRUE(message->isRead);
  EXPECT_FALSE(message->isSpam);
  EXPECT_FALSE(message->hasBeenReplied);
  EXPECT_EQ(message->inReplyTo, std::nullopt);
  EXPECT_EQ(message->aiCategory, std::nullopt);
  ASSERT_EQ(message->to.size(), 1u);
  EXPECT_EQ(message->to[0].email, "me@example.com");
  EXPECT_EQ(count(*db,
                  "SELECT COUNT(*) FROM email_messages WHERE is_spam = 0 AND is_deleted = 0 "
                  "AND is_draft = 0 AND in_reply_to IS NULL AND rule_applied_at IS NULL"),
            1);
  EXPECT_EQ(count(*db,
                  "SELECT COUNT(*) FROM email_accounts WHERE requires_biometric_unlock = 0 "
                  "AND is_privacy_mode_enabled = 0 AND service_type = 'iCloud'"),
            1);
  EXPECT_EQ(count(*db,
                  "SELECT COUNT(*) FROM email_attachments WHERE size = 7 AND part_path IS "
                  "NULL AND encoding IS NULL AND charset IS NULL"),
            1);
  EXPECT_EQ(count(*db,
                  "SELECT COUNT(*) FROM contacts WHERE email = 'old@example.com' AND "
                  "category IS NULL AND note IS NULL AND trained_at IS NULL"),
            1);
}

// The first tables of a file made before its late columns (as the versions before this one
// created every new file and then stepped it up): after the steps it holds the very
// statements a new file is made with, table for table, index for index, trigger for trigger.
TEST(EmailDatabaseTest, ASteppedUpFileHoldsTheStatementsOfANewOne) {
  constexpr const char* kFirstTables = R"(CREATE TABLE email_messages (
    id TEXT PRIMARY KEY,
    account_id TEXT NOT NULL,
    folder_id TEXT,
    uid INTEGER,
    message_id TEXT,
    in_reply_to TEXT,
    thread_id TEXT,
    subject TEXT NOT NULL,
    from_name TEXT,
    from_email TEXT NOT NULL,
    to_contacts TEXT,
    cc_contacts TEXT,
    bcc_contacts TEXT,
    reply_to_contacts TEXT,
    text_body TEXT,
    html_body TEXT,
    preview TEXT,
    date REAL NOT NULL,
    received_date REAL,
    is_read INTEGER NOT NULL DEFAULT 0,
    is_starred INTEGER NOT NULL DEFAULT 0,
    is_important INTEGER NOT NULL DEFAULT 0,
    is_no_reply INTEGER NOT NULL DEFAULT 0,
    has_attachments INTEGER NOT NULL DEFAULT 0,
    is_spam INTEGER NOT NULL DEFAULT 0,
    is_deleted INTEGER NOT NULL DEFAULT 0,
    contains_remote_resources INTEGER NOT NULL DEFAULT 0,
    tags TEXT,
    ai_tags TEXT,
    ai_summary TEXT,
    ai_priority TEXT,
    ai_action_items TEXT,
    ai_category TEXT,
    synced_at REAL NOT NULL,
    updated_at REAL NOT NULL,
    is_body_loaded INTEGER NOT NULL DEFAULT 0,
    body_cached_at REAL,
    is_draft INTEGER NOT NULL DEFAULT 0,
    snoozed_until REAL,
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE,
    FOREIGN KEY (folder_id) REFERENCES email_folders(id) ON DELETE SET NULL
);
CREATE TABLE email_attachments (
    id TEXT PRIMARY KEY,
    message_id TEXT NOT NULL,
    filename TEXT NOT NULL,
    mime_type TEXT NOT NULL,
    size INTEGER NOT NULL DEFAULT 0,
    content_id TEXT,
    is_inline INTEGER NOT NULL DEFAULT 0,
    local_path TEXT,
    FOREIGN KEY (message_id) REFERENCES email_messages(id) ON DELETE CASCADE
);
CREATE TABLE contacts (
    id TEXT PRIMARY KEY,
    name TEXT,
    email TEXT NOT NULL,
    frequency INTEGER NOT NULL DEFAULT 1,
    last_used REAL NOT NULL,
    source TEXT NOT NULL DEFAULT 'received'
);)";
  auto statements = [](EmailDatabase& db) {
    return db.read([](Connection& c) {
      auto s = c.prepare("SELECT type, name, tbl_name, COALESCE(sql, '') FROM sqlite_master");
      std::set<std::vector<std::string>> rows;
      while (s.step()) rows.insert({*s.text(0), *s.text(1), *s.text(2), *s.text(3)});
      return rows;
    });
  };
  TempDir dir;
  auto fresh = EmailDatabase::open(dir.path() / "fresh.db");
  const auto stepped_path = dir.path() / "stepped.db";
  {
    Connection c(stepped_path);
    c.execute(kFirstTables);
  }
  auto stepped = EmailDatabase::open(stepped_path);
  const auto expected = statements(*fresh);
  EXPECT_GT(expected.size(), 60u);
  EXPECT_EQ(statements(*stepped), expected);
}

// The statement of the substring index's table and the names of its triggers.
std::set<std::string> search_index_definition(EmailDatabase& db) {
  auto definition = names_of(db, "trigger");
  definition.insert(*db.read([](Connection& c) {
    auto s = c.prepare("SELECT sql FROM sqlite_master WHERE name = 'email_search'");
    s.step();
    return s.text(0);
  }));
  return definition;
}

// A file whose substring index was built by an earlier definition (a trigram tokenizer that
// folds all of Unicode, over the subject alone here) gets the index built again from its rows.
TEST(EmailDatabaseTest, RebuildsASearchIndexOfAnEarlierDefinition) {
  TempDir dir;
  const auto path = dir.path() / "email.db";
  std::set<std::string> definition;
  {
    auto db = EmailDatabase::open(path);
    insert_account_folder_message(*db);
    definition = search_index_definition(*db);
  }
  {
    Connection c(path);
    c.execute(R"(
DROP TRIGGER email_search_after_update; DROP TRIGGER email_search_after_insert;
DROP TABLE email_search_terms; DROP TABLE email_search;
CREATE VIRTUAL TABLE email_search USING fts5(doc, content='', detail=none, tokenize='trigram');
INSERT INTO email_search(rowid, doc) SELECT rowid, subject FROM email_messages;
PRAGMA user_version = 2;)");
  }
  auto db = EmailDatabase::open(path);
  EXPECT_EQ(search_index_definition(*db), definition);
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_search WHERE email_search MATCH '\"a@e\"'"), 1);
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_search WHERE email_search MATCH '\"hel\"'"), 1);
}

TEST(EmailDatabaseTest, ForeignKeysCascadeAndSetNull) {
  TempDir dir;
  auto db = EmailDatabase::open(dir.path() / "email.db");
  insert_account_folder_message(*db);

  db->write([](Connection& c) {
    c.prepare("DELETE FROM email_folders WHERE id = ?").bind_all(kFolder).run();
  });
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_messages WHERE folder_id IS NULL"), 1);

  db->write([](Connection& c) {
    c.prepare("DELETE FROM email_accounts WHERE id = ?").bind_all(kAccount).run();
  });
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_messages"), 0);
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_attachments"), 0);

  insert_account_folder_message(*db);
  db->write([](Connection& c) {
    c.prepare("DELETE FROM email_accounts WHERE id = ?").bind_all(kAccount).run();
  });
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_folders"), 0);
}

// A statement that reuses many pages its own transaction freed needs a large statement
// journal; one kept in memory must not fail it.
TEST(EmailDatabaseTest, LargeStatementAfterLargeDeleteInOneTransaction) {
  TempDir dir;
  auto db = EmailDatabase::open(dir.path() / "email.db");
  const std::string fill =
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8000) "
      "INSERT INTO big SELECT randomblob(1000) FROM n";
  db->write([&](Connection& c) {
    c.execute("CREATE TABLE big (x UNIQUE)");
    c.execute(fill);
  });
  EXPECT_NO_THROW(db->write([&](Connection& c) {
    c.execute("DELETE FROM big");
    c.execute(fill);
  }));
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM big"), 8000);
}

// Searches build their SQL from what was typed, so a long-running program prepares ever new
// statement texts: the compiled statements it keeps stay bounded, and a statement still
// stepping keeps working while others are prepared around it.
TEST(EmailDatabaseTest, StatementCacheStaysBoundedOverManyDistinctTexts) {
  TempDir dir;
  auto db = EmailDatabase::open(dir.path() / "email.db");
  auto run_distinct = [&](int from, int to) {
    db->read([&](Connection& c) {
      auto outer = c.prepare(
          "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3) "
          "SELECT i FROM n");
      ASSERT_TRUE(outer.step());
      for (int i = from; i < to; ++i) {
        auto s = c.prepare("SELECT ? + " + std::to_string(i) + " AS n");
        s.bind(1, int64_t{1});
        ASSERT_TRUE(s.step());
        EXPECT_EQ(s.integer(0), i + 1);
      }
      int64_t rows = 1;
      while (outer.step()) ++rows;
      EXPECT_EQ(rows, 3);
    });
  };
  run_distinct(0, 2000);
  const int64_t warm = sqlite3_memory_used();
  run_distinct(2000, 12000);
  EXPECT_LT(sqlite3_memory_used() - warm, 1 << 20) << "compiled statements piled up";
}

struct BlockFailure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

TEST(EmailDatabaseTest, WriteRollsBackEverythingAndRethrows) {
  TempDir dir;
  auto db = EmailDatabase::open(dir.path() / "email.db");
  auto insert_label = [](Connection& c, const char* id) {
    c.prepare("INSERT INTO email_labels (id, name, created_at) VALUES (?, 'x', 0)")
        .bind_all(id)
        .run();
  };

  try {
    db->write([&](Connection& c) {
      insert_label(c, "L1");
      db->write([&](Connection& inner) { insert_label(inner, "L2"); });  // joins the outer one
      throw BlockFailure("boom");
    });
    FAIL() << "the block's error must reach the caller";
  } catch (const BlockFailure& e) {
    EXPECT_STREQ(e.what(), "boom");
  }
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_labels"), 0);

  // The connection is usable afterwards, and a nested write commits with the outer one.
  db->write([&](Connection& c) {
    insert_label(c, "L1");
    db->write([&](Connection& inner) { insert_label(inner, "L2"); });
  });
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_labels"), 2);
  EXPECT_EQ(db->write_async([&](Connection& c) {
                insert_label(c, "L3");
                return 7;
              }).get(),
            7);
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_labels"), 3);
}

TEST(EmailDatabaseTest, FailedOpenLeavesOwnerWithoutConnection) {
  TempDir dir;
  const auto blocker = dir.path() / "not-a-directory";
  std::ofstream(blocker) << "x";
  auto db = EmailDatabase::open(blocker / "email.db");
  EXPECT_FALSE(db->is_open());
  auto expect_not_initialized = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "expected EmailDatabaseError";
    } catch (const EmailDatabaseError& e) {
      EXPECT_EQ(e.kind(), EmailDatabaseError::Kind::notInitialized);
      EXPECT_STREQ(e.what(), "数据库未初始化");
    }
  };
  expect_not_initialized([&] { db->read([](Connection&) {}); });
  expect_not_initialized([&] { db->write([](Connection&) {}); });
  // Once the cause is gone, the next use opens the file.
  std::filesystem::remove(blocker);
  EXPECT_EQ(db->read([](Connection& c) { return c.table_exists("email_messages"); }), true);
}

TEST(EmailDatabaseTest, OpeningACurrentFileTakesNoWriteLockAndKeepsItPrivate) {
  namespace fs = std::filesystem;
  TempDir dir;
  const auto path = dir.path() / "email.db", journal = dir.path() / "email.db-journal";
  auto is_private = [](const fs::path& p) {
    return (fs::status(p).permissions() & fs::perms::all) == fs::perms(0600);
  };
  EmailDatabase::open(path);
  EXPECT_TRUE(is_private(path));
  std::ofstream(journal).close();  // as a crash may leave one
  for (const auto& p : {path, journal}) fs::permissions(p, fs::perms(0644));
  Connection writer(path);  // another process in the middle of a write
  writer.execute("BEGIN IMMEDIATE");
  auto db = EmailDatabase::open(path);
  EXPECT_EQ(count(*db, "SELECT COUNT(*) FROM email_accounts"), 0);
  writer.execute("ROLLBACK");
  EXPECT_TRUE(is_private(path));
  EXPECT_TRUE(!fs::exists(journal) || is_private(journal));
}

}  // namespace
}  // namespace kestrova::store
