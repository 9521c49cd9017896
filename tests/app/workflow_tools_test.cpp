#include <gtest/gtest.h>

#include <string>

#include "store/database.h"
#include "tool_test_support.h"
#include "util/time.h"

namespace kestrova::testing {
namespace {

class WorkflowTools : public ToolServerTest {
 protected:
  void SetUp() override {
    ToolServerTest::SetUp();
    account = add_account("me@example.com", true);
    inbox = add_folder(account, "INBOX", "inbox");
  }
  std::string message(const std::string& subject, std::optional<std::string> header_id = std::nullopt,
                      const std::string& from = "ann@example.com", double date = 1700000000) {
    MessageRow row;
    row.account_id = account;
    row.folder_id = inbox;
    row.subject = subject;
    row.from_email = from;
    row.message_id = std::move(header_id);
    row.date = date;
    return add_message(row);
  }
  void exec(const std::string& sql) {
    store::EmailDatabase::shared().write([&](store::Connection& c) { c.execute(sql); });
  }
  std::optional<std::string> contact_column(const std::string& email, const std::string& column) {
    return store::EmailDatabase::shared().read([&](store::Connection& c) -> std::optional<std::string> {
      auto s = c.prepare("SELECT " + column + " FROM contacts WHERE email = ?");
      s.bind(1, email);
      if (!s.step()) return std::string("<no row>");
      return s.text(0);
    });
  }
  std::string account, inbox;
};

TEST_F(WorkflowTools, ActionItemsAreCreatedOnceAndListedNewestFirst) {
  const std::string m = message("Quarterly report");
  Json first = call("create_action_item", {{"messageId", m}, {"title", "Send the Report"},
                                           {"dueAt", "2026-12-24T10:00:00+01:00"}});
  EXPECT_EQ(first["status"], "created");
  // Titles differing only in case or surrounding blanks have the same key.
  Json again = call("create_action_item", {{"messageId", m}, {"title", "  send the report "}});
  EXPECT_EQ(again["status"], "duplicate");
  EXPECT_TRUE(again["reason"].is_string());
  EXPECT_FALSE(again.contains("id"));
  EXPECT_EQ(call_error("create_action_item", {{"messageId", "nope"}, {"title", "x"}}), "Message not found");
  EXPECT_EQ(call_error("create_action_item", {{"messageId", m}}), "Missing required argument: title");
  // An unparseable due date gives an item without one.
  Json second = call("create_action_item", {{"messageId", m}, {"title", "Book room"}, {"dueAt", "soon"}});
  exec("UPDATE email_action_items SET created_at = created_at + 10 WHERE id = '" +
       second["id"].get<std::string>() + "'");

  Json items = call("list_action_items");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]["title"], "Book room");  // newest first
  EXPECT_EQ(items[0]["dueAt"], "");
  EXPECT_EQ(items[1]["dueAt"], "2026-12-24T09:00:00Z");
  EXPECT_EQ(items[1]["source"], "manual");
  EXPECT_EQ(items[1]["state"], "open");
  EXPECT_EQ(items[1]["accountId"], account);
  EXPECT_EQ(items[1].size(), 11u);

  const std::string id = first["id"];
  EXPECT_EQ(call("mark_action_done", {{"actionId", id}}), (Json{{"ok", true}}));
  EXPECT_EQ(call("list_action_items").size(), 1u);  // only open ones by default
  Json done = call("list_action_items", {{"state", "done"}});
  ASSERT_EQ(done.size(), 1u);
  EXPECT_NE(done[0]["completedAt"], "");

  EXPECT_EQ(call_error("snooze_action", {{"actionId", id}, {"until", "tomorrow"}}),
            "Invalid ISO-8601 date: tomorrow");
  call("snooze_action", {{"actionId", id}, {"until", "2030-01-02 03:04:05"}});
  Json snoozed = call("list_action_items", {{"state", "snoozed"}});
  ASSERT_EQ(snoozed.size(), 1u);
  EXPECT_EQ(snoozed[0]["snoozedUntil"], iso8601_utc(*parse_local_datetime("2030-01-02 03:04:05")));
  call("reopen_action", {{"actionId", id}});
  Json all = call("list_action_items", {{"state", "all"}, {"messageId", m}, {"limit", 1}});
  ASSERT_EQ(all.size(), 1u);
  Json open = call("list_action_items");
  ASSERT_EQ(open.size(), 2u);
  EXPECT_EQ(open[1]["snoozedUntil"], "");
  EXPECT_EQ(open[1]["completedAt"], "");
  // The updates do not check that the item exists.
  EXPECT_EQ(call("mark_action_done", {{"actionId", "no-such-item"}}), (Json{{"ok", true}}));
}

TEST_F(WorkflowTools, FollowUpFlagsChangeEveryCopyAndClearAsDocumented) {
  const std::string a = message("Invoice", "<inv@x>");
  const std::string copy = message("Invoice", "<inv@x>");
  const std::string b = message("Other");

  EXPECT_EQ(call("set_reply_later", {{"messageId", a}, {"until", "2030-05-01T08:00:00Z"}}),
            (Json{{"ok", true}, {"cleared", false}}));
  EXPECT_EQ(column(copy, "reply_later_until"), column(a, "reply_later_until"));
  // An unparseable time clears instead of failing.
  EXPECT_EQ(call("set_reply_later", {{"messageId", a}, {"until", "later"}})["cleared"], true);
  EXPECT_EQ(column(copy, "reply_later_until"), std::nullopt);
  EXPECT_EQ(call_error("set_reply_later", {{"messageId", "missing"}}), "Message not found");

  const double before = now_seconds();
  EXPECT_EQ(call("set_waiting_on", {{"messageId", b}})["cleared"], false);  // absent: now
  EXPECT_GE(std::stod(*column(b, "waiting_since")), before - 1);
  EXPECT_EQ(call("set_waiting_on", {{"messageId", b}, {"since", nullptr}})["cleared"], true);
  EXPECT_EQ(column(b, "waiting_since"), std::nullopt);
  EXPECT_EQ(call("set_waiting_on", {{"messageId", b}, {"since", ""}})["cleared"], true);
  EXPECT_EQ(call("set_waiting_on", {{"messageId", b}, {"since", 12}})["cleared"], true);
  call("set_waiting_on", {{"messageId", b}, {"since", "2026-01-01T00:00:00Z"}});
  call("set_reply_later", {{"messageId", b}, {"until", "2030-01-01T00:00:00Z"}});
  exec("UPDATE email_messages SET snoozed_until = 1900000000 WHERE id = '" + a + "'");

  Json all = call("list_follow_ups");
  ASSERT_EQ(all["replyLater"].size(), 1u);
  EXPECT_EQ(all["replyLater"][0]["id"], b);
  EXPECT_EQ(all["replyLater"][0]["replyLaterUntil"], "2030-01-01T00:00:00Z");
  EXPECT_EQ(all["replyLater"][0]["from"], (Json{{"name", ""}, {"email", "ann@example.com"}}));
  ASSERT_EQ(all["waitingOn"].size(), 1u);
  EXPECT_EQ(all["waitingOn"][0]["waitingSince"], "2026-01-01T00:00:00Z");
  EXPECT_EQ(all["waitingOn"][0]["snoozedUntil"], "");
  ASSERT_EQ(all["snoozed"].size(), 1u);
  Json only = call("list_follow_ups", {{"kind", "snoozed"}});
  EXPECT_EQ(only.size(), 1u);
  EXPECT_TRUE(only.contains("snoozed"));
  // Deleted messages leave the queues.
  exec("UPDATE email_messages SET is_deleted = 1 WHERE id = '" + b + "'");
  EXPECT_TRUE(call("list_follow_ups", {{"kind", "reply_later"}})["replyLater"].empty());
}

TEST_F(WorkflowTools, SenderTrainingUpsertsContacts) {
  EXPECT_EQ(call("set_sender_category", {{"email", "News@Shop.example"}, {"category", "newsletter"}}),
            (Json{{"ok", true}, {"cleared", false}}));
  EXPECT_EQ(contact_column("news@shop.example", "source"), "manual");
  EXPECT_EQ(contact_column("news@shop.example", "frequency"), "1");
  EXPECT_EQ(contact_column("news@shop.example", "category"), "newsletter");
  EXPECT_NE(contact_column("news@shop.example", "trained_at"), std::nullopt);
  EXPECT_EQ(count("SELECT COUNT(*) FROM contacts"), 1);

  EXPECT_EQ(call_error("set_sender_category", {{"email", "news@shop.example"}, {"category", "spam"}}),
            "Invalid category: spam. Valid: newsletter, paperTrail, vip, lowPriority");
  EXPECT_EQ(call("set_sender_category", {{"email", "NEWS@shop.example"}, {"category", nullptr}})["cleared"], true);
  EXPECT_EQ(contact_column("news@shop.example", "category"), std::nullopt);
  EXPECT_EQ(contact_column("news@shop.example", "trained_at"), std::nullopt);
  EXPECT_EQ(count("SELECT COUNT(*) FROM contacts"), 1);

  EXPECT_EQ(call("set_sender_note", {{"email", "news@shop.example"}, {"note", "weekly deals"}})["cleared"], false);
  EXPECT_EQ(contact_column("news@shop.example", "note"), "weekly deals");
  EXPECT_EQ(call("set_sender_note", {{"email", "news@shop.example"}, {"note", ""}}),
            (Json{{"ok", true}, {"cleared", true}}));
  EXPECT_EQ(contact_column("news@shop.example", "note"), std::nullopt);
  EXPECT_EQ(call_error("set_sender_note", {{"email", "x@y.z"}}), "Missing required argument: note");
  // Addresses are keys as the contact store keeps them: trimmed and lower-cased.
  call("set_sender_note", {{"email", " New@Y.example"}, {"note", "met"}});
  call("set_sender_note", {{"email", "new@y.example"}, {"note", "met at the fair"}});
  EXPECT_EQ(count("SELECT COUNT(*) FROM contacts"), 2);
  EXPECT_EQ(contact_column("new@y.example", "note"), "met at the fair");
  EXPECT_EQ(contact_column("new@y.example", "source"), "manual");
  EXPECT_EQ(contact_column("new@y.example", "category"), std::nullopt);

  exec("UPDATE contacts SET frequency = 9, name = 'Shop' WHERE email = 'news@shop.example'");
  call("set_sender_category", {{"email", "news@shop.example"}, {"category", "vip"}});
  Json contacts = call("list_contacts");
  ASSERT_EQ(contacts.size(), 2u);
  EXPECT_EQ(contacts[0]["email"], "news@shop.example");  // most frequent first
  EXPECT_EQ(contacts[0]["name"], "Shop");
  EXPECT_EQ(contacts[1]["name"], nullptr);
  EXPECT_EQ(contacts[1]["trainedAt"], "");
  EXPECT_EQ(contacts[0].size(), 9u);
  Json vip = call("list_contacts", {{"category", "vip"}, {"limit", 0}});  // limit clamps to 1
  ASSERT_EQ(vip.size(), 1u);
  EXPECT_EQ(vip[0]["category"], "vip");
}

TEST_F(WorkflowTools, SenderProfileCountsOnlyMailFromTheAddress) {
  const double now = now_seconds();
  message("recent", std::nullopt, "Ann@Example.com", now - 3600);
  message("old", std::nullopt, "ann@example.com", now - 90 * 86400);
  const std::string trashed = message("trashed", std::nullopt, "ann@example.com", now);
  exec("UPDATE email_messages SET is_deleted = 1 WHERE id = '" + trashed + "'");
  message("other", std::nullopt, "joanne@example.com", now);

  Json p = call("get_sender_profile", {{"email", "ANN@example.com"}});
  EXPECT_EQ(p["email"], "ann@example.com");
  EXPECT_EQ(p["totalReceived"], 2);
  EXPECT_EQ(p["receivedLast30Days"], 1);
  EXPECT_EQ(p["lastReceived"], iso8601_utc(now - 3600));
  EXPECT_EQ(p["displayName"], nullptr);
  EXPECT_EQ(p["frequency"], 0);

  call("set_sender_category", {{"email", "ann@example.com"}, {"category", "paperTrail"}});
  p = call("get_sender_profile", {{"email", "ann@example.com"}});
  EXPECT_EQ(p["category"], "paperTrail");
  EXPECT_EQ(p["frequency"], 1);
  EXPECT_NE(p["trainedAt"], "");

  Json none = call("get_sender_profile", {{"email", "nobody@example.com"}});
  EXPECT_EQ(none["totalReceived"], 0);
  EXPECT_EQ(none["lastReceived"], "");
  EXPECT_EQ(call_error("get_sender_profile"), "Missing required argument: email");
}

TEST_F(WorkflowTools, TrainableToolsAreHiddenFromReadOnlyAgents) {
  set_exposure("readonly");
  const std::string m = message("x");
  EXPECT_EQ(call_error("create_action_item", {{"messageId", m}, {"title", "t"}}),
            "Tool not exposed at current MCP level");
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_action_items"), 0);
  EXPECT_TRUE(call("list_action_items").is_array());
}

}  // namespace
}  // namespace kestrova::testing
