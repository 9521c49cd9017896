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

}  // namespace
}  // namespace kestrova::rules
