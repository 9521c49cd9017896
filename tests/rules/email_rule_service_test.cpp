#include <gtest/gtest.h>

#include "rules/email_rule_service.h"
#include "store/database.h"
#include "support/test_support.h"

namespace kestrova::rules {
namespace {

const std::string kA = "A0000000-0000-4000-8000-000000000001";
const std::string kB = "B0000000-0000-4000-8000-000000000002";
const std::string kInbox = "F0000000-0000-4000-8000-000000000001";
const std::string kArchive = "F0000000-0000-4000-8000-000000000002";
const std::string kJunk = "F0000000-0000-4000-8000-000000000003";

class RuleServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = store::EmailDatabase::open(dir_.path() / "mail.db");
    ASSERT_TRUE(db_->is_open());
    for (const auto& id : {kA, kB})
      exec("INSERT INTO email_accounts (id, email_address, service_type, imap_host, imap_port, "
           "imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, updated_at) VALUES ('" +
           id + "', '" + id + "@x', 'Gmail', 'h', 993, 'ssl', 'h', 465, 'ssl', 0, 0)");
    folder(kInbox, "INBOX", "inbox");
    folder(kArchive, "Archive", "archive");
  }
  void exec(const std::string& sql) {
    db_->write([&](store::Connection& c) { c.execute(sql); });
  }
  void folder(const std::string& id, const std::string& path, const std::string& type) {
    exec("INSERT INTO email_folders (id, account_id, name, path, type) VALUES ('" + id + "', '" + kA + "', '" +
         path + "', '" + path + "', '" + type + "')");
  }
  void mail(const std::string& id, const std::string& subject, double date, int uid) {
    exec("INSERT INTO email_messages (id, account_id, folder_id, uid, subject, from_email, date, synced_at, "
         "updated_at) VALUES ('" + id + "', '" + kA + "', '" + kInbox + "', " + std::to_string(uid) + ", '" +
         subject + "', 's@x', " + std::to_string(date) + ", 0, 0)");
  }
  std::string value(const std::string& sql) {
    return db_->read([&](store::Connection& c) {
      auto s = c.prepare(sql);
      return s.step() ? s.text(0).value_or("NULL") : std::string("none");
    });
  }
  EmailRule rule(const std::string& id, const std::string& account, double created) {
    EmailRule r;
    r.id = id;
    r.accountId = account;
    r.name = id;
    r.createdAt = r.updatedAt = created;
    return r;
  }

  testing::TempDir dir_;
  std::unique_ptr<store::EmailDatabase> db_;
  std::vector<PendingRuleServerMove> moves_;
  // Server moves are collected instead of started.
  EmailRuleService service() {
    return EmailRuleService(*db_, [this](PendingRuleServerMove m) { moves_.push_back(std::move(m)); });
  }
};

TEST_F(RuleServiceTest, StorageOrderingEnableAndCascade) {
  EmailRuleService service(*db_);
  service.save(rule("r1", kB, 10));
  service.save(rule("r2", kA, 20));
  auto r3 = rule("r3", kA, 30);
  r3.isEnabled = false;
  r3.luaCode = "return true";
  service.save(r3);
  auto names = [](const std::vector<EmailRule>& rules) {
    std::vector<std::string> out;
    for (const auto& r : rules) out.push_back(r.id);
    return out;
  };
  EXPECT_EQ(names(service.rulesForApplication(std::nullopt, true)), (std::vector<std::string>{"r3", "r2", "r1"}));
  EXPECT_EQ(names(service.rulesForApplication(std::nullopt)), (std::vector<std::string>{"r2", "r1"}));
  EXPECT_EQ(service.rule("r3")->luaCode, "return true");
  EXPECT_EQ(*service.rule("r3"), r3);  // whole row round-trips, created_at kept
  service.setEnabled("r3", true);
  EXPECT_EQ(names(service.rulesForApplication(kA)), (std::vector<std::string>{"r3", "r2"}));
  service.remove("r2");
  EXPECT_EQ(names(service.rulesOf(kA)), (std::vector<std::string>{"r3"}));
  exec("DELETE FROM email_accounts WHERE id = '" + kB + "'");
  EXPECT_FALSE(service.rule("r1"));
  exec("UPDATE email_rules SET actions = 'broken' WHERE id = 'r3'");
  EXPECT_FALSE(service.rule("r3")->isDecodable);
}

TEST_F(RuleServiceTest, ApplyWritesOnceHandsOverMovesAndRollsBack) {
  mail("m1", "Invoice one", 200, 11);
  mail("m2", "Invoice two", 100, 12);
  mail("m3", "Hello", 150, 13);
  auto r = rule("move", kA, 1);
  r.conditions.subjectContains = "INVOICE";
  r.actions.moveToFolder = kArchive;
  r.actions.addTags = std::vector<std::string>{"bills"};

  const auto preview = service().preview(r);
  ASSERT_EQ(preview.items.size(), 2u);
  EXPECT_EQ(preview.items[0].id, "m1");
  EXPECT_EQ(value("SELECT folder_id FROM email_messages WHERE id = 'm1'"), kInbox);

  // A failing statement inside the transaction: nothing changes, nothing moves.
  exec("CREATE TRIGGER refuse BEFORE UPDATE ON email_messages WHEN NEW.id = 'm2' BEGIN "
       "SELECT RAISE(ABORT, 'refused'); END");
  EXPECT_ANY_THROW(service().apply(r));
  EXPECT_EQ(value("SELECT tags FROM email_messages WHERE id = 'm1'"), "NULL");
  EXPECT_TRUE(moves_.empty());
  exec("DROP TRIGGER refuse");

  auto result = service().apply(r);
  EXPECT_EQ(result.scannedCount, 3u);
  EXPECT_EQ(result.matchedCount, 2u);
  EXPECT_EQ(result.changedCount, 2u);
  EXPECT_EQ(value("SELECT folder_id FROM email_messages WHERE id = 'm2'"), kArchive);
  EXPECT_EQ(value("SELECT tags FROM email_messages WHERE id = 'm2'"), R"(["bills"])");
  EXPECT_NE(value("SELECT rule_applied_at FROM email_messages WHERE id = 'm2'"), "NULL");
  ASSERT_EQ(moves_.size(), 1u);
  EXPECT_EQ(moves_[0].targetFolderId, kArchive);
  ASSERT_EQ(moves_[0].messages.size(), 2u);
  EXPECT_EQ(moves_[0].messages[0].folderId, kInbox);  // the former folder, for the server
  EXPECT_EQ(moves_[0].messages[0].uid, 11u);

  moves_.clear();
  exec("UPDATE email_messages SET updated_at = 0");
  result = service().apply(r);
  EXPECT_EQ(result.changedCount, 0u);
  EXPECT_EQ(value("SELECT COUNT(*) FROM email_messages WHERE updated_at <> 0"), "0");  // no row written
  EXPECT_TRUE(moves_.empty());
}

TEST_F(RuleServiceTest, SpamTargetsAndUnreadableRules) {
  mail("m1", "Cheap pills", 100, 1);
  auto spam = rule("spam", kA, 1);
  spam.conditions.subjectContains = "pills";
  spam.actions.markAsSpam = true;
  service().save(spam);
  // No spam folder: flagged, left where it is, nothing for the server.
  EXPECT_EQ(service().applyEnabled(kA)[0].changedCount, 1u);
  EXPECT_EQ(value("SELECT folder_id FROM email_messages WHERE id = 'm1'"), kInbox);
  EXPECT_TRUE(moves_.empty());

  folder(kJunk, "Junk", "spam");
  exec("UPDATE email_messages SET is_spam = 0");
  EXPECT_EQ(service().apply(spam).changedCount, 1u);
  EXPECT_EQ(value("SELECT folder_id FROM email_messages WHERE id = 'm1'"), kJunk);
  ASSERT_EQ(moves_.size(), 1u);

  // Stored text that cannot be read never turns into "every message".
  auto wipe = rule("wipe", kA, 2);
  wipe.conditions.subjectContains = "nothing matches this";
  wipe.actions.deleteMessage = true;
  service().save(wipe);
  exec("UPDATE email_rules SET conditions = '{\"isRead\":1}' WHERE id = 'wipe'");
  const auto results = service().applyEnabled(kA);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].ruleId, "wipe");
  EXPECT_EQ(results[0].scannedCount, 0u);
  EXPECT_TRUE(service().previewEnabled(kA).items.size() == 1u);
  EXPECT_EQ(service().previewEnabled(kA).label, "全部已启用规则");
  EXPECT_EQ(value("SELECT is_deleted FROM email_messages WHERE id = 'm1'"), "0");
}

TEST_F(RuleServiceTest, ChainedMovesInOneRunMoveFromWhereTheServerHasTheMessage) {
  folder(kJunk, "Junk", "custom");
  mail("m1", "Report", 100, 21);
  mail("m2", "Report too", 90, 22);
  auto archive = rule("to-archive", kA, 2);  // newest: runs first
  archive.actions.moveToFolder = kArchive;
  service().save(archive);
  auto junk = rule("to-junk", kA, 1);
  junk.conditions.subjectContains = "too";
  junk.actions.moveToFolder = kJunk;
  service().save(junk);
  auto back = rule("back-home", kA, 0);
  back.conditions.subjectContains = "report";
  back.conditions.isRead = false;
  service().save(back);

  service().applyEnabled(kA);
  ASSERT_EQ(moves_.size(), 2u);
  for (const auto& move : moves_) {
    ASSERT_EQ(move.messages.size(), 1u);
    EXPECT_EQ(move.messages[0].folderId, kInbox);  // never the folder an earlier rule chose
  }
  EXPECT_EQ(moves_[0].targetFolderId, kArchive);
  EXPECT_EQ(moves_[0].messages[0].id, "m1");
  EXPECT_EQ(moves_[1].targetFolderId, kJunk);
  EXPECT_EQ(moves_[1].messages[0].id, "m2");

  // A later rule that puts the message back where the server has it cancels its move.
  moves_.clear();
  exec("UPDATE email_messages SET folder_id = '" + kInbox + "'");
  exec("UPDATE email_rules SET actions = '{\"moveToFolder\":\"" + kInbox + "\"}' WHERE id = 'back-home'");
  exec("UPDATE email_rules SET created_at = 0.5 WHERE id = 'to-junk'");
  exec("DELETE FROM email_rules WHERE id = 'to-archive'");
  exec("UPDATE email_rules SET created_at = 0.1 WHERE id = 'back-home'");
  service().applyEnabled(kA);  // to-junk moves m2, back-home returns it
  EXPECT_TRUE(moves_.empty());
  EXPECT_EQ(value("SELECT folder_id FROM email_messages WHERE id = 'm2'"), kInbox);
}

TEST_F(RuleServiceTest, IncomingBatchChangesInPlace) {
  auto r = rule("in", kA, 1);
  r.conditions.fromContains = "NEWS@";
  r.actions.markAsRead = true;
  r.actions.moveToFolder = kArchive;
  service().save(r);
  auto other = rule("other-account-folder", kA, 0);
  other.actions.moveToFolder = "F9999999-0000-4000-8000-000000000009";  // not a folder of the account
  other.actions.markAsImportant = true;
  service().save(other);

  store::EmailAccount account;
  account.id = kA;
  std::vector<store::EmailMessage> batch(2);
  batch[0].id = "n1";
  batch[0].from.email = "news@shop.example";
  batch[0].folderId = kInbox;
  batch[0].uid = 5;
  batch[1].id = "n2";
  batch[1].from.email = "friend@example.com";
  batch[1].folderId = kInbox;
  batch[1].uid = 6;
  const auto moves = service().applyToIncoming(account, batch);
  EXPECT_TRUE(batch[0].isRead);
  EXPECT_EQ(batch[0].folderId, kArchive);
  EXPECT_EQ(batch[1].folderId, kInbox);
  EXPECT_TRUE(batch[1].isImportant);
  ASSERT_EQ(moves.size(), 1u);
  EXPECT_EQ(moves[0].messages.size(), 1u);
  EXPECT_EQ(moves[0].messages[0].folderId, kInbox);
  EXPECT_TRUE(moves_.empty());  // the caller starts incoming moves
}

}  // namespace
}  // namespace kestrova::rules
