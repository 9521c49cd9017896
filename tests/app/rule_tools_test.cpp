#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "store/database.h"
#include "tool_test_support.h"
#include "util/work_group.h"

namespace kestrova::testing {
namespace {

class RuleTools : public ToolServerTest {
 protected:
  void SetUp() override {
    ToolServerTest::SetUp();
    set_exposure("full");
    account = add_account("me@example.com", true);
    inbox = add_folder(account, "INBOX", "inbox");
    archive = add_folder(account, "Archive", "archive");
  }
  void TearDown() override {
    // Server moves of a test run against a closed port; let them end before the next test.
    WorkGroup::shared().wait_for(std::chrono::seconds(30));
  }
  std::string message(const std::string& subject, double date, const std::string& from = "a@example.com",
                      std::optional<std::string> body = std::nullopt, bool read = false) {
    MessageRow row;
    row.account_id = account;
    row.folder_id = inbox;
    row.subject = subject;
    row.date = date;
    row.from_email = from;
    row.text_body = std::move(body);
    row.is_read = read;
    return add_message(row);
  }
  std::string create(const Json& conditions, const Json& actions, const std::string& name = "r") {
    Json created = call("create_email_rule",
                        {{"accountId", account}, {"name", name}, {"conditions", conditions}, {"actions", actions}});
    return created["id"];
  }
  std::string stored(const std::string& rule, const std::string& column) {
    std::string out;
    store::EmailDatabase::shared().read([&](store::Connection& c) {
      auto s = c.prepare("SELECT " + column + " FROM email_rules WHERE id = ?");
      s.bind(1, rule);
      if (s.step()) out = s.text(0).value_or("NULL");
    });
    return out;
  }
  void exec(const std::string& sql) {
    store::EmailDatabase::shared().write([&](store::Connection& c) { c.execute(sql); });
  }
  std::string account, inbox, archive;
};

TEST_F(RuleTools, CreateNormalisesConditionsAndActions) {
  const std::string id = create(
      Json::parse(R"({"subjectContains":"Invoice","fromContains":"","isRead":"yes","hasAttachments":false,
                      "folderId":7,"unknown":"x"})"),
      Json::parse(R"({"addTag":"  urgent  ","markAsRead":1,"delete":true,"moveToFolder":"","extra":[1]})"));
  EXPECT_EQ(stored(id, "conditions"), R"({"hasAttachments":false,"subjectContains":"Invoice"})");
  EXPECT_EQ(stored(id, "actions"), R"({"addTags":["urgent"],"delete":true})");
  EXPECT_EQ(stored(id, "lua_code"), "NULL");
  EXPECT_EQ(stored(id, "is_enabled"), "1");

  // An addTags array wins over addTag; blank entries go, and an empty list drops the key.
  const std::string tags = create({}, Json::parse(R"({"addTags":[" a ","",3,"b"],"addTag":"c"})"));
  EXPECT_EQ(stored(tags, "actions"), R"({"addTags":["a","b"]})");
  const std::string none = create("not an object", Json::parse(R"({"addTags":["  "]})"));
  EXPECT_EQ(stored(none, "conditions"), "{}");
  EXPECT_EQ(stored(none, "actions"), "{}");

  EXPECT_EQ(call_error("create_email_rule", {{"accountId", account}, {"conditions", {}}, {"actions", {}}}),
            "Missing required argument: name");
  // The account is not checked first: the foreign key refuses it.
  EXPECT_NE(call_error("create_email_rule", {{"accountId", "nobody"}, {"name", "x"}}), "(no error)");
}

TEST_F(RuleTools, ListUpdateEnableAndDelete) {
  const std::string older = create({{"subjectContains", "a"}}, {{"markAsRead", true}}, "older");
  exec("UPDATE email_rules SET created_at = 1000 WHERE id = '" + older + "'");
  const std::string newer = create({}, {}, "名前 🚀 " + std::string(3000, 'x'));
  exec("UPDATE email_rules SET conditions = 'not json', actions = '[1]' WHERE id = '" + newer + "'");

  Json list = call("list_email_rules");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0]["name"], "名前 🚀 " + std::string(3000, 'x'));  // newest first, whole name
  EXPECT_EQ(list[0]["conditions"], Json::object());  // unreadable text lists as {}
  EXPECT_EQ(list[0]["actions"], Json::object());
  EXPECT_EQ(list[1]["conditions"], Json::parse(R"({"subjectContains":"a"})"));
  EXPECT_EQ(list[1]["createdAt"], "1970-01-01T00:16:40Z");
  EXPECT_EQ(list[1]["isEnabled"], true);
  EXPECT_EQ(list[1]["accountId"], account);

  // Only isEnabled: name, conditions and actions stay.
  EXPECT_EQ(call("update_email_rule", {{"ruleId", older}, {"isEnabled", false}}),
            Json::parse(R"({"id":")" + older + R"(","status":"updated"})"));
  EXPECT_EQ(stored(older, "name"), "older");
  EXPECT_EQ(stored(older, "conditions"), R"({"subjectContains":"a"})");
  EXPECT_EQ(call("list_email_rules", {{"enabledOnly", true}}).size(), 1u);
  EXPECT_EQ(call("list_email_rules", {{"accountId", "other"}}).size(), 0u);
  call("update_email_rule", {{"ruleId", older}, {"actions", {{"addTag", "x"}}}, {"name", 5}});
  EXPECT_EQ(stored(older, "actions"), R"({"addTags":["x"]})");
  EXPECT_EQ(stored(older, "name"), "older");
  EXPECT_EQ(call_error("update_email_rule", {{"ruleId", "missing"}}), "Rule not found");

  EXPECT_EQ(call_error("set_email_rule_enabled", {{"ruleId", older}, {"isEnabled", 1}}),
            "Missing required argument: isEnabled");
  EXPECT_EQ(call("set_email_rule_enabled", {{"ruleId", older}, {"isEnabled", true}}),
            Json::parse(R"({"id":")" + older + R"(","isEnabled":true})"));
  EXPECT_EQ(call("delete_email_rule", {{"ruleId", older}})["status"], "deleted");
  EXPECT_EQ(call("delete_email_rule", {{"ruleId", older}})["status"], "deleted");  // already gone
  EXPECT_EQ(call("list_email_rules").size(), 1u);

  set_exposure("readonly");
  EXPECT_EQ(call("list_email_rules").size(), 1u);
  EXPECT_EQ(call_error("delete_email_rule", {{"ruleId", newer}}), "Tool not exposed at current MCP level");
}

TEST_F(RuleTools, PreviewAndApplyMatchChangeAndCount) {
  const std::string invoice = message("Invoice 7", 300, "billing@shop.example", "Total due", true);
  const std::string straße = message("Straße", 200, "x@example.com", std::nullopt);
  message("Other", 100);
  exec("UPDATE email_messages SET from_name = 'Shop', tags = '[\"URGENT\"]' WHERE id = '" + invoice + "'");
  exec("UPDATE email_messages SET preview = 'preview mentions total' WHERE id = '" + straße + "'");
  // Drafts and deleted messages are never candidates.
  exec("INSERT INTO email_messages (id, account_id, folder_id, subject, from_email, date, is_draft, "
       "synced_at, updated_at) VALUES ('D', '" + account + "', '" + inbox + "', 'Draft', 'd@x', 400, 1, 0, 0)");

  const std::string rule = create({{"bodyContains", "TOTAL"}}, {{"addTags", {"urgent", "paid"}}, {"markAsRead", true}});
  Json preview = call("preview_email_rule", {{"ruleId", rule}, {"dryRun", false}});
  EXPECT_EQ(preview["dryRun"], true);
  EXPECT_EQ(preview["scannedCount"], 3);
  EXPECT_EQ(preview["matchedCount"], 2);  // the body, and the preview of the other
  EXPECT_EQ(preview["changedCount"], 2);
  EXPECT_EQ(preview["samples"][0], Json::parse(R"({"id":")" + invoice +
                                               R"(","subject":"Invoice 7","from":"Shop","date":"1970-01-01T00:05:00Z"})"));
  EXPECT_EQ(preview["samples"][1]["from"], "x@example.com");
  EXPECT_EQ(column(invoice, "tags"), "[\"URGENT\"]");  // nothing written

  Json applied = call("apply_email_rule", {{"ruleId", rule}});
  EXPECT_EQ(applied["dryRun"], false);
  EXPECT_EQ(applied["changedCount"], 2);
  EXPECT_EQ(applied["ruleName"], "r");
  EXPECT_EQ(applied["accountId"], account);
  EXPECT_EQ(column(invoice, "tags"), "[\"URGENT\",\"paid\"]");  // tags compared ignoring case
  EXPECT_EQ(column(straße, "is_read"), "1");
  EXPECT_TRUE(column(straße, "rule_applied_at"));
  // A second run matches the same and changes nothing.
  applied = call("apply_email_rule", {{"ruleId", rule}});
  EXPECT_EQ(applied["matchedCount"], 2);
  EXPECT_EQ(applied["changedCount"], 0);

  // Locale-aware folding: "STRASSE" finds "Straße".
  const std::string german = create({{"subjectContains", "STRASSE"}}, {{"markAsImportant", true}});
  EXPECT_EQ(call("apply_email_rule", {{"ruleId", german}, {"limit", 0}})["scannedCount"], 1);
  EXPECT_EQ(call("apply_email_rule", {{"ruleId", german}, {"limit", 100000}})["changedCount"], 1);
  EXPECT_EQ(column(straße, "is_important"), "1");
  EXPECT_EQ(call_error("apply_email_rule", {{"ruleId", "nope"}}), "Rule not found");
}

TEST_F(RuleTools, EmptyConditionsMatchEverythingButUnreadableRulesNothing) {
  for (int i = 0; i < 12; ++i) message("m" + std::to_string(i), 100 + i);
  const std::string all = create({}, {{"delete", false}});
  Json result = call("apply_email_rule", {{"ruleId", all}, {"dryRun", true}});
  EXPECT_EQ(result["matchedCount"], 12);
  EXPECT_EQ(result["changedCount"], 0);  // delete false does nothing
  EXPECT_EQ(result["samples"].size(), 10u);
  EXPECT_EQ(result["samples"][0]["subject"], "m11");

  // A hand-edited rule whose conditions read as nothing must not delete everything.
  const std::string broken = create({{"subjectContains", "m1"}}, {{"delete", true}});
  exec("UPDATE email_rules SET conditions = '{\"isRead\":\"yes\"}' WHERE id = '" + broken + "'");
  result = call("apply_email_rule", {{"ruleId", broken}});
  EXPECT_EQ(result["scannedCount"], 0);
  EXPECT_EQ(result["changedCount"], 0);
  exec("UPDATE email_rules SET conditions = 'garbage' WHERE id = '" + broken + "'");
  EXPECT_EQ(call("apply_email_rules", {{"accountId", account}})["changedCount"], 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE is_deleted = 1"), 0);
}

TEST_F(RuleTools, ApplyAllRunsNewestFirstAndSpamWithoutFolderStays) {
  const std::string m = message("Promo deal", 100);
  const std::string first = create({{"subjectContains", "promo"}}, {{"markAsSpam", true}}, "spam it");
  exec("UPDATE email_rules SET created_at = 1 WHERE id = '" + first + "'");
  // Newer rule runs first and marks read; the older one then sees is_read = 1.
  create({{"subjectContains", "deal"}}, {{"markAsRead", true}}, "read it");
  const std::string off = create({}, {{"delete", true}}, "off");
  call("set_email_rule_enabled", {{"ruleId", off}, {"isEnabled", false}});

  Json result = call("apply_email_rules", {{"accountId", account}});
  EXPECT_EQ(result["ruleCount"], 2);
  EXPECT_EQ(result["matchedCount"], 2);
  EXPECT_EQ(result["changedCount"], 2);
  EXPECT_EQ(result["rules"][0]["ruleName"], "read it");
  EXPECT_EQ(result["rules"][1]["ruleName"], "spam it");
  // No spam folder in this account: flagged, left in its folder, nothing to move.
  EXPECT_EQ(column(m, "is_spam"), "1");
  EXPECT_EQ(column(m, "folder_id"), inbox);
  EXPECT_EQ(column(m, "is_deleted"), "0");
  EXPECT_EQ(call_error("apply_email_rules", {}), "Missing required argument: accountId");
}

TEST_F(RuleTools, MovesOnlyIntoFoldersOfTheAccountAndRollsBackOnFailure) {
  // Server moves go to a closed local port and fail at once; the local change stays.
  exec("UPDATE email_accounts SET imap_host = '127.0.0.1', imap_port = 1");
  const std::string other = add_account("other@example.com");
  const std::string foreign = add_folder(other, "Elsewhere", "custom");
  const std::string a = message("alpha", 200);
  const std::string b = message("beta", 100);
  exec("UPDATE email_messages SET uid = 7");

  const std::string stray = create({}, {{"moveToFolder", foreign}, {"markAsImportant", true}});
  EXPECT_EQ(call("apply_email_rule", {{"ruleId", stray}})["changedCount"], 2);
  EXPECT_EQ(column(a, "folder_id"), inbox);  // another account's folder is ignored
  EXPECT_EQ(column(a, "is_important"), "1");

  // The second UPDATE fails: the whole call rolls back.
  const std::string move = create({}, {{"moveToFolder", archive}, {"markAsRead", true}});
  exec("CREATE TRIGGER refuse BEFORE UPDATE OF folder_id ON email_messages WHEN NEW.id = '" + b +
       "' BEGIN SELECT RAISE(ABORT, 'refused'); END");
  EXPECT_NE(call_error("apply_email_rule", {{"ruleId", move}}), "(no error)");
  EXPECT_EQ(column(a, "folder_id"), inbox);
  EXPECT_EQ(column(a, "is_read"), "0");
  exec("DROP TRIGGER refuse");

  EXPECT_EQ(call("apply_email_rule", {{"ruleId", move}})["changedCount"], 2);
  EXPECT_EQ(column(a, "folder_id"), archive);
  EXPECT_EQ(column(b, "folder_id"), archive);
  EXPECT_TRUE(WorkGroup::shared().wait_for(std::chrono::seconds(30)));
  EXPECT_EQ(column(b, "folder_id"), archive);  // a failed server move undoes nothing
}

}  // namespace
}  // namespace kestrova::testing
