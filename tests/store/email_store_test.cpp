#include "store/email_store.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <thread>

#include "platform/main_queue.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/folder_message_count_cache.h"
#include "support/test_support.h"
#include "util/log.h"
#include "util/uuid.h"

namespace kestrova::store {
namespace {

using platform::MainQueue;
using testing::TempDir;

EmailAccount makeAccount(std::string email = "me@example.com") {
  EmailAccount a;
  a.id = new_uuid();
  a.emailAddress = std::move(email);
  a.imapHost = "imap.example.com";
  a.smtpHost = "smtp.example.com";
  a.createdAt = a.updatedAt = 1700000000;
  return a;
}

EmailFolder makeFolder(const EmailAccount& account, EmailFolderType type, std::string name) {
  return EmailFolder::make({.id = new_uuid(), .accountId = account.id, .name = std::move(name), .type = type});
}

EmailMessage makeMessage(const EmailAccount& account, const EmailFolder& folder, std::string subject,
                         std::optional<std::string> messageId, double date = 1700000000) {
  EmailMessage m;
  m.id = new_uuid();
  m.accountId = account.id;
  m.folderId = folder.id;
  m.messageId = std::move(messageId);
  m.subject = std::move(subject);
  m.from = {"Bob", "bob@example.com"};
  m.to = {{std::nullopt, account.emailAddress}};
  m.date = date;
  m.syncedAt = m.updatedAt = date;
  return EmailMessage::make(std::move(m));
}

class EmailStoreTest : public ::testing::Test {
 protected:
  EmailStoreTest() {
    store_.saveAccount(account_);
    for (auto* f : {&inbox_, &archive_, &trash_, &spam_, &drafts_}) store_.saveFolder(*f);
  }

  int64_t count(const std::string& sql) {
    return db_->read([&](Connection& c) {
      auto s = c.prepare(sql);
      return s.step() ? s.integer(0).value_or(-1) : -1;
    });
  }
  std::optional<std::string> text(const std::string& sql, const std::string& arg) {
    return db_->read([&](Connection& c) {
      auto s = c.prepare(sql);
      s.bind(1, arg);
      return s.step() ? s.text(0) : std::nullopt;
    });
  }
  void exec(const std::string& sql) {
    db_->write([&](Connection& c) { c.execute(sql); });
  }
  // A stored copy written directly, as synchronisation of an older version may have left it.
  void insertCopy(const EmailMessage& m, std::optional<std::string> folderId, bool withBody) {
    db_->write([&](Connection& c) {
      auto s = c.prepare(
          "INSERT INTO email_messages (id, account_id, folder_id, message_id, subject, from_email, "
          "date, synced_at, updated_at, text_body, is_read, is_starred, is_draft) "
          "VALUES (?, ?, ?, ?, ?, ?, ?, 0, 0, ?, ?, ?, ?)");
      s.bind_all(m.id, m.accountId, folderId, m.messageId, m.subject, m.from.email, m.date,
                 withBody ? std::optional<std::string>("body of " + m.id) : std::nullopt, m.isRead,
                 m.isStarred, m.isDraft);
      s.run();
    });
  }

  TempDir dir_;
  std::unique_ptr<EmailDatabase> db_ = EmailDatabase::open(dir_.path() / "email.db");
  platform::SettingsStore settings_{dir_.path() / "settings.json"};
  EmailStore store_{*db_, settings_};
  EmailAccount account_ = makeAccount();
  EmailFolder inbox_ = makeFolder(account_, EmailFolderType::inbox, "INBOX");
  EmailFolder archive_ = makeFolder(account_, EmailFolderType::archive, "Archive");
  EmailFolder trash_ = makeFolder(account_, EmailFolderType::trash, "Trash");
  EmailFolder spam_ = makeFolder(account_, EmailFolderType::spam, "Junk");
  EmailFolder drafts_ = makeFolder(account_, EmailFolderType::drafts, "Drafts");
};

TEST_F(EmailStoreTest, OneLogicalMessageIsStoredOnce) {
  // The same Message-ID fetched from the inbox and from the archive.
  auto first = makeMessage(account_, inbox_, "Quarterly plan", "<plan@example.com>");
  auto second = makeMessage(account_, archive_, "Quarterly plan", " <plan@example.com> ");
  ASSERT_TRUE(store_.saveMessage(first));
  auto merged = store_.saveMessage(second);
  ASSERT_TRUE(merged);
  EXPECT_TRUE(merged->merged);
  EXPECT_EQ(merged->message.id, first.id);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE subject = 'Quarterly plan'"), 1);
  EXPECT_EQ(text("SELECT folder_id FROM email_messages WHERE id = ?", first.id), archive_.id);

  // Without Message-ID: subject differing in case and surrounding space, 0.5 s apart.
  auto a = makeMessage(account_, inbox_, "Weekly Report", std::nullopt, 1700000100);
  auto b = makeMessage(account_, inbox_, "  weekly report ", std::nullopt, 1700000100.5);
  b.from.email = "BOB@example.com";
  store_.saveMessage(a);
  EXPECT_TRUE(store_.saveMessage(b)->merged);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE LOWER(TRIM(subject)) = 'weekly report'"), 1);
  // 1.5 s apart is another message.
  store_.saveMessage(makeMessage(account_, inbox_, "Weekly Report", std::nullopt, 1700000101.6));
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE LOWER(TRIM(subject)) = 'weekly report'"), 2);

  // The same pair as drafts is two drafts.
  auto d1 = makeMessage(account_, drafts_, "Draft", std::nullopt, 1700000200);
  auto d2 = makeMessage(account_, drafts_, " draft", std::nullopt, 1700000200.5);
  d1.isDraft = d2.isDraft = true;
  store_.saveMessage(d1);
  EXPECT_FALSE(store_.saveMessage(d2)->merged);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE is_draft = 1"), 2);
}

TEST_F(EmailStoreTest, HeadersOnlySaveKeepsTheDownloadedBody) {
  auto full = makeMessage(account_, inbox_, "Invoice", "<inv@example.com>");
  full.textBody = "Pay by Friday";
  full.htmlBody = "<p>Pay by Friday</p>";
  full.isBodyLoaded = true;
  full.bodyCachedAt = 1700000500;
  store_.saveMessage(full);

  auto headers = makeMessage(account_, inbox_, "Invoice", "<inv@example.com>");
  headers.id = full.id;  // the same row written again by a header-only pass
  headers.isRead = true;
  auto saved = store_.saveMessage(headers);
  ASSERT_TRUE(saved);
  EXPECT_EQ(saved->message.textBody, "Pay by Friday");
  auto copy = makeMessage(account_, archive_, "Invoice", "<inv@example.com>");  // another id: merged
  store_.saveMessage(copy);
  EXPECT_EQ(text("SELECT text_body FROM email_messages WHERE id = ?", full.id), "Pay by Friday");
  EXPECT_EQ(text("SELECT html_body || is_body_loaded || is_read FROM email_messages WHERE id = ?", full.id),
            "<p>Pay by Friday</p>10");  // the later write's flags win
}

TEST_F(EmailStoreTest, SavingAStoredIdAgainKeepsWhatHangsOffTheRow) {
  auto draft = makeMessage(account_, drafts_, "Plan", std::nullopt, 1700000300);
  draft.isDraft = true;
  store_.saveMessage(draft);
  exec("INSERT INTO email_action_items (id, message_id, account_id, title, title_key, created_at, updated_at) "
       "VALUES ('A0000000-0000-4000-8000-000000000001', '" + draft.id + "', '" + account_.id + "', 'Call', 'call', 1, 1)");
  exec("UPDATE email_messages SET rule_applied_at = 5 WHERE id = '" + draft.id + "'");
  draft.subject = "Plan v2";
  ASSERT_TRUE(store_.saveMessage(draft));
  EXPECT_EQ(text("SELECT subject FROM email_messages WHERE id = ?", draft.id), "Plan v2");
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_action_items"), 1);
  EXPECT_EQ(text("SELECT rule_applied_at FROM email_messages WHERE id = ?", draft.id), "5.0");
}

TEST_F(EmailStoreTest, MissingFolderFallsBackToInboxThenAnyFolderThenNone) {
  auto gone = makeFolder(account_, EmailFolderType::custom, "Gone");
  store_.saveFolder(gone);
  store_.deleteFolder(gone.id);
  auto m1 = makeMessage(account_, gone, "one", "<1@x>");
  EXPECT_EQ(store_.saveMessage(m1)->message.folderId, inbox_.id);
  EXPECT_EQ(text("SELECT folder_id FROM email_messages WHERE id = ?", m1.id), inbox_.id);

  store_.deleteFolder(inbox_.id);
  auto m2 = makeMessage(account_, gone, "two", "<2@x>");
  store_.saveMessage(m2);
  auto placed = text("SELECT folder_id FROM email_messages WHERE id = ?", m2.id);
  ASSERT_TRUE(placed);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_folders WHERE id = '" + *placed + "'"), 1);

  for (auto* f : {&archive_, &trash_, &spam_, &drafts_}) store_.deleteFolder(f->id);
  auto m3 = makeMessage(account_, gone, "three", "<3@x>");
  store_.saveMessage(m3);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE folder_id IS NULL AND message_id = '<3@x>'"), 1);
}

TEST_F(EmailStoreTest, BodyFetchAndInboxExclusionFindCopiesInOtherFolders) {
  auto orphan = makeMessage(account_, inbox_, "Report", "<r@x>");
  auto archived = makeMessage(account_, archive_, "Report", "<r@x>");
  insertCopy(orphan, std::nullopt, false);
  insertCopy(archived, archive_.id, true);
  auto resolved = store_.resolveMessageForBodyFetch(orphan);
  ASSERT_TRUE(resolved);
  EXPECT_EQ(resolved->id, archived.id);

  auto fresh = makeMessage(account_, inbox_, "New", "<new@x>");
  auto kept = store_.excludeMessagesStoredInOtherFolders(account_.id, inbox_.id, {orphan, fresh});
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0].id, fresh.id);
}

TEST_F(EmailStoreTest, FolderLoadsFirstPageThenTheRestUpToTheCap) {
  std::vector<EmailMessage> batch;
  for (int i = 0; i < 1050; ++i)
    batch.push_back(makeMessage(account_, inbox_, "bulk", "<bulk" + std::to_string(i) + "@x>", i));
  EXPECT_EQ(store_.saveMessagesInBackground(batch).get(), 1050u);
  MainQueue::drain();
  auto rest = store_.loadFolderMessages(inbox_);
  EXPECT_EQ(store_.messagesIn(inbox_.id).size(), 100u);
  rest.get();
  MainQueue::drain();
  const auto& loaded = store_.messagesIn(inbox_.id);
  ASSERT_EQ(loaded.size(), 1000u);
  EXPECT_EQ(loaded.front().date, 1049);
  EXPECT_EQ(loaded.back().date, 50);
  EXPECT_EQ(store_.countCache().get(inbox_.id), 1050);
}

TEST_F(EmailStoreTest, BatchSaveMergesIntoLoadedListsNewestFirst) {
  auto old = makeMessage(account_, inbox_, "old", "<old@x>", 10);
  store_.saveMessage(old);
  store_.loadFolderMessages(inbox_).get();
  store_.applyTrainedSenderCategories = [](std::vector<EmailMessage>& batch) {
    for (auto& m : batch) m.aiCategory = EmailCategory::updates;
  };
  auto again = makeMessage(account_, inbox_, "old, edited", "<old@x>", 10);
  auto newer = makeMessage(account_, inbox_, "newer", "<newer@x>", 30);
  auto middle = makeMessage(account_, inbox_, "middle", "<middle@x>", 20);
  auto lost = makeMessage(makeAccount(), inbox_, "lost", "<lost@x>", 40);
  EXPECT_EQ(store_.saveMessagesInBackground({again, newer, middle, lost}).get(), 3u);
  MainQueue::drain();
  const auto& list = store_.messagesIn(inbox_.id);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].subject, "newer");
  EXPECT_EQ(list[1].subject, "middle");
  EXPECT_EQ(list[2].subject, "old, edited");
  EXPECT_EQ(list[2].id, old.id);
  EXPECT_EQ(list[0].aiCategory, EmailCategory::updates);
  EXPECT_EQ(store_.countCache().get(inbox_.id), 3);
}

TEST_F(EmailStoreTest, CleanupKeepsOneCopyWithMergedFlagsAndBody) {
  auto noBody = makeMessage(account_, inbox_, "Dup", "<dup@x>", 100);
  auto orphanWithBody = makeMessage(account_, inbox_, "Dup", "<dup@x>", 100);
  auto starredNoBody = makeMessage(account_, archive_, "Dup", "<dup@x>", 100);
  noBody.isRead = true;
  starredNoBody.isStarred = true;
  insertCopy(noBody, inbox_.id, false);
  insertCopy(orphanWithBody, std::nullopt, true);
  insertCopy(starredNoBody, archive_.id, false);
  // Without Message-ID: two within a second are one message; a draft pair is not.
  auto s1 = makeMessage(account_, inbox_, "Lunch?", std::nullopt, 500);
  auto s2 = makeMessage(account_, inbox_, " lunch? ", std::nullopt, 500.4);
  auto d1 = makeMessage(account_, drafts_, "Note", std::nullopt, 600);
  auto d2 = makeMessage(account_, drafts_, "Note", std::nullopt, 600);
  d1.isDraft = d2.isDraft = true;
  for (const auto* m : {&s1, &s2, &d1, &d2}) insertCopy(*m, m->folderId, true);
  insertCopy(makeMessage(account_, inbox_, "Single", "<single@x>"), std::nullopt, false);

  EXPECT_EQ(store_.cleanupDuplicateMessages(), 3);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages"), 5);
  // The kept row is the smallest id among copies in an existing folder (none has a body).
  const std::string kept = std::min(noBody.id, starredNoBody.id);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE message_id = '<dup@x>'"), 1);
  EXPECT_EQ(text("SELECT is_read || is_starred || text_body FROM email_messages WHERE id = ?", kept),
            "11body of " + orphanWithBody.id);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE LOWER(TRIM(subject)) = 'lunch?'"), 1);
  EXPECT_EQ(store_.cleanupDuplicateMessages(), 0);  // a last copy is never removed
}

TEST_F(EmailStoreTest, StartUpPassesMigrateGmailAndRunDailyMaintenanceOnce) {
  auto gmail = makeAccount("me@gmail.com");
  gmail.serviceType = EmailServiceType::gmail;
  gmail.smtpHost = std::string(smtp_preset(EmailServiceType::gmail)->host);
  gmail.smtpPort = 587;
  gmail.smtpEncryption = EmailEncryption::startTLS;
  auto custom = makeAccount("me@custom.example");
  custom.smtpPort = 587;
  store_.saveAccount(gmail);
  store_.saveAccount(custom);
  insertCopy(makeMessage(account_, inbox_, "Dup", "<dup@x>"), inbox_.id, true);
  insertCopy(makeMessage(account_, inbox_, "Dup", "<dup@x>"), inbox_.id, true);

  store_.start().get();
  MainQueue::drain();
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_accounts WHERE smtp_port = 465 AND smtp_encryption = 'ssl'"), 1);
  EXPECT_EQ(store_.accounts().size(), 3u);
  EXPECT_EQ(store_.foldersOf(account_.id).size(), 5u);
  EXPECT_EQ(store_.messagesIn(inbox_.id).size(), 1u);  // the inbox was preloaded

  EXPECT_TRUE(settings_.real(EmailStore::kLastDuplicateCleanupDateKey).has_value());
  EXPECT_TRUE(settings_.real(EmailStore::kLastSqliteVacuumDateKey).has_value());
  insertCopy(makeMessage(account_, inbox_, "Dup2", "<dup2@x>"), inbox_.id, true);
  insertCopy(makeMessage(account_, inbox_, "Dup2", "<dup2@x>"), archive_.id, true);
  store_.runDailyMaintenanceIfDue();
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE subject = 'Dup2'"), 2);
}

// ---- a batch save killed while it writes ----

constexpr const char* kCrashDbVariable = "KESTROVA_CRASH_TEST_DB";
constexpr int kCrashBatchSize = 20000;

// Runs only as the child of the test below, in a process of its own that gets killed.
TEST(EmailStoreCrashChild, SaveLargeBatch) {
  const char* path = std::getenv(kCrashDbVariable);
  if (!path) GTEST_SKIP() << "only run as the child of EmailStoreCrash";
  set_log_target(LogTarget::Silent);
  auto db = EmailDatabase::open(path);
  platform::SettingsStore settings(std::filesystem::path(path).parent_path() / "child-settings.json");
  EmailStore store(*db, settings);
  auto account = makeAccount();
  auto inbox = makeFolder(account, EmailFolderType::inbox, "INBOX");
  store.saveAccount(account);
  store.saveFolder(inbox);
  std::vector<EmailMessage> batch;
  for (int i = 0; i < kCrashBatchSize; ++i) {
    auto m = makeMessage(account, inbox, "crash batch", "<c" + std::to_string(i) + "@x>", i);
    m.textBody = std::string(1000, 'x');
    batch.push_back(std::move(m));
  }
  store.applyTrainedSenderCategories = [](std::vector<EmailMessage>&) {
    std::printf("batch-writing\n");
    std::fflush(stdout);
  };
  store.saveMessagesInBackground(std::move(batch)).get();
  std::printf("batch-done\n");
  std::fflush(stdout);
}

TEST(EmailStoreCrash, KilledBatchSaveLeavesAllOrNothing) {
  const std::string self = std::filesystem::read_symlink("/proc/self/exe");
  int killedMidWrite = 0;
  for (int delayMs : {20, 120, 400}) {
    TempDir dir;
    const auto path = dir.path() / "email.db";
    EmailDatabase::open(path);  // the schema exists before the child starts
    testing::ChildProcess child(self, {"--gtest_filter=EmailStoreCrashChild.SaveLargeBatch"},
                                {std::string(kCrashDbVariable) + "=" + path.string()});
    std::optional<std::string> line;
    while ((line = child.read_line(20000)) && *line != "batch-writing") {
    }
    ASSERT_EQ(line, "batch-writing");
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    ::kill(child.pid(), SIGKILL);
    const int status = child.wait();
    EXPECT_TRUE(status == 128 + SIGKILL || status == 0) << status;  // 0: it finished first
    std::error_code ec;
    if (std::filesystem::file_size(path.string() + "-journal", ec) > 0 && !ec) ++killedMidWrite;

    auto db = EmailDatabase::open(path);  // rolls the hot journal back
    const auto rows = db->read([](Connection& c) {
      auto s = c.prepare("SELECT COUNT(*) FROM email_messages");
      s.step();
      return s.integer(0).value_or(-1);
    });
    EXPECT_TRUE(rows == 0 || rows == kCrashBatchSize) << rows << " rows after kill at " << delayMs << " ms";
    const auto integrity = db->read([](Connection& c) {
      auto s = c.prepare("PRAGMA integrity_check");
      s.step();
      return s.text(0).value_or("");
    });
    EXPECT_EQ(integrity, "ok");
  }
  EXPECT_GT(killedMidWrite, 0) << "no kill landed inside the write; the test proved nothing";
}

}  // namespace
}  // namespace kestrova::store
