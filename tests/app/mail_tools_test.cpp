#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tool_test_support.h"

namespace kestrova::testing {
namespace {

class MailTools : public ToolServerTest {
 protected:
  void SetUp() override {
    ToolServerTest::SetUp();
    account = add_account("me@example.com", true);
    inbox = add_folder(account, "INBOX", "inbox");
    trash = add_folder(account, "Trash", "trash");
    spam = add_folder(account, "Junk", "spam");
  }
  std::string message(const std::string& folder, const std::string& subject, double date,
                      bool deleted = false, bool is_spam = false) {
    MessageRow row;
    row.account_id = account;
    row.folder_id = folder;
    row.subject = subject;
    row.date = date;
    row.is_deleted = deleted;
    row.is_spam = is_spam;
    return add_message(row);
  }
  std::string account, inbox, trash, spam;
};

std::vector<std::string> subjects(const Json& list) {
  std::vector<std::string> out;
  for (const auto& m : list) out.push_back(m["subject"]);
  return out;
}

TEST_F(MailTools, ListMessagesPagesAndAppliesFolderConditions) {
  for (int i = 0; i < 120; ++i) message(inbox, "m" + std::to_string(i), 1000 + i);
  message(inbox, "deleted", 5000, true);
  message(inbox, "spammy", 5001, false, true);
  message(trash, "in trash", 10);

  EXPECT_EQ(call("list_messages", {{"folderId", "no-such-folder"}}), Json::array());
  EXPECT_EQ(call("list_messages", {{"folderId", inbox}, {"limit", 0}}).size(), 1u);
  EXPECT_EQ(call("list_messages", {{"folderId", inbox}, {"limit", 1000}}).size(), 100u);
  EXPECT_EQ(call("list_messages", {{"folderId", inbox}}).size(), 20u);
  auto first = call("list_messages", {{"folderId", inbox}, {"limit", 2}, {"offset", -5}});
  EXPECT_EQ(subjects(first), (std::vector<std::string>{"m119", "m118"}));
  auto paged = call("list_messages", {{"folderId", inbox}, {"limit", 2}, {"offset", 2}});
  EXPECT_EQ(subjects(paged), (std::vector<std::string>{"m117", "m116"}));
  // A limit that is no integral number counts as absent (default 20); integral numbers of
  // any size are clamped to 1-100, without overflow.
  const struct {
    Json limit;
    size_t listed;
  } limits[] = {{2.5, 20},    {"abc", 20},   {"5", 20},
                {true, 20},   {nullptr, 20}, {-5, 1},
                {1e308, 100}, {-1e308, 1},   {18446744073709551615u, 100},
                {3.0, 3}};
  for (const auto& c : limits) {
    SCOPED_TRACE(c.limit.dump());
    EXPECT_EQ(call("list_messages", {{"folderId", inbox}, {"limit", c.limit}}).size(), c.listed);
  }

  // Trash: its own messages plus every deleted message of the account; spam likewise.
  EXPECT_EQ(subjects(call("list_messages", {{"folderId", trash}})),
            (std::vector<std::string>{"deleted", "in trash"}));
  EXPECT_EQ(subjects(call("list_messages", {{"folderId", spam}})), (std::vector<std::string>{"spammy"}));

  auto folders = call("list_folders", {{"accountId", account}});
  ASSERT_EQ(folders.size(), 3u);
  std::map<std::string, int64_t> totals;
  for (const auto& f : folders) totals[f["type"]] = f["totalCount"];
  EXPECT_EQ(totals, (std::map<std::string, int64_t>{{"inbox", 120}, {"trash", 2}, {"spam", 1}}));
  EXPECT_EQ(call_error("list_folders"), "Missing required argument: accountId");
}

TEST_F(MailTools, ContactListsStoredAsBlobOrTextReadTheSame) {
  const std::string id = message(inbox, "blob", 1);
  store::EmailDatabase::shared().write([&](store::Connection& c) {
    auto s = c.prepare("UPDATE email_messages SET to_contacts = ?, cc_contacts = ? WHERE id = ?");
    const std::string json = R"([{"email":"a@x"}])";
    s.bind_all(store::Blob{json}, "not json", id);
    s.run();
  });
  Json m = call("get_message", {{"messageId", id}});
  EXPECT_EQ(m["to"], Json::parse(R"([{"name":"","email":"a@x"}])"));
  EXPECT_EQ(m["cc"], Json::array());
}

TEST_F(MailTools, SearchTreatsPercentAsWildcardAndScopesByAccount) {
  message(inbox, "50 percent off", 3);
  message(inbox, "Price 50", 2);
  message(inbox, "nothing here", 1);
  message(inbox, "50 but deleted", 4, true);
  const std::string other = add_account("other@example.com");
  MessageRow row;
  row.account_id = other;
  row.subject = "50 elsewhere";
  row.date = 0.5;
  add_message(row);

  EXPECT_EQ(subjects(call("search_messages", {{"query", "50%"}})),
            (std::vector<std::string>{"50 percent off", "Price 50", "50 elsewhere"}));
  EXPECT_EQ(call("search_messages", {{"query", "50"}, {"accountId", account}}).size(), 2u);
  // Any string, even empty, selects the account form.
  EXPECT_EQ(call("search_messages", {{"query", "50"}, {"accountId", ""}}), Json::array());
  EXPECT_EQ(call("search_messages", {{"query", "PRICE"}}).size(), 1u);  // ASCII case ignored
  EXPECT_EQ(call_error("search_messages", {{"query", ""}}), "Missing required argument: query");
}

TEST_F(MailTools, CreateDraftWritesOneRowPerDraftId) {
  Json first = call("create_draft", {{"subject", "Hello"},
                                     {"body", std::string(300, 'x')},
                                     {"to", "Ann <ann@example.com>, bob@example.com,, "},
                                     {"cc", Json::array({"c@example.com", 5, "D <d@example.com>"})}});
  ASSERT_TRUE(first.is_object()) << first;
  EXPECT_EQ(first["to"], Json::parse(R"(["ann@example.com","bob@example.com"])"));
  EXPECT_EQ(first["accountId"], account);
  const std::string draft = first["draftId"];
  const std::string folder = first["folderId"];
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_folders WHERE path = '__LocalDrafts__' AND type = 'drafts' AND name = '草稿箱'"), 1);
  EXPECT_EQ(column(draft, "to_contacts"),
            R"([{"name":"Ann","email":"ann@example.com"},{"email":"bob@example.com"}])");
  EXPECT_EQ(column(draft, "cc_contacts"),
            R"([{"email":"c@example.com"},{"name":"D","email":"d@example.com"}])");
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE typeof(to_contacts) = 'blob'"), 1);
  EXPECT_EQ(column(draft, "preview")->size(), 200u);
  EXPECT_EQ(column(draft, "from_email"), "me@example.com");
  EXPECT_EQ(column(draft, "is_draft"), "1");

  Json second = call("create_draft", {{"subject", "Second"}, {"body", "b"}, {"draftId", draft}});
  EXPECT_EQ(second["folderId"], folder);  // the drafts folder is reused
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE is_draft = 1"), 1);
  EXPECT_EQ(column(draft, "subject"), "Second");
  EXPECT_EQ(column(draft, "to_contacts"), "[]");

  // Lower-case draft ids are stored in canonical form.
  std::string lower = draft;
  for (char& ch : lower) ch = static_cast<char>(std::tolower(ch));
  EXPECT_EQ(call("create_draft", {{"subject", "s"}, {"body", "b"}, {"draftId", lower}})["draftId"], draft);
  EXPECT_EQ(call_error("create_draft", {{"subject", "s"}, {"body", "b"}, {"draftId", "nope"}}),
            "Invalid UUID: nope");
  EXPECT_EQ(call_error("create_draft", {{"subject", "s"}}), "Missing required argument: body");
  EXPECT_EQ(call_error("create_draft", {{"subject", "s"}, {"body", "b"}, {"accountId", "unknown"}}),
            "No local email account is available");
}

TEST_F(MailTools, CreateDraftPrefersTheDefaultAccount) {
  const std::string newer = add_account("newer@example.com", false, 99);
  EXPECT_EQ(call("create_draft", {{"subject", "s"}, {"body", "b"}})["accountId"], account);
  EXPECT_EQ(call("create_draft", {{"subject", "s"}, {"body", "b"}, {"accountId", newer}})["accountId"], newer);
}

// An account that has a drafts folder of its own (the server's, or the demo's) gets the
// draft there, and no local-only drafts folder beside it.
TEST_F(MailTools, CreateDraftUsesTheAccountsOwnDraftsFolder) {
  const std::string drafts = add_folder(account, "Entwürfe", "drafts");
  EXPECT_EQ(call("create_draft", {{"subject", "s"}, {"body", "b"}})["folderId"], drafts);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_folders WHERE path = '__LocalDrafts__'"), 0);
}

TEST_F(MailTools, FlagsChangeEveryCopyOfAMessage) {
  const std::string archive = add_folder(account, "Archive", "archive");
  MessageRow row;
  row.account_id = account;
  row.folder_id = inbox;
  row.message_id = "<abc@example.com>";
  const std::string a = add_message(row);
  row.folder_id = archive;
  row.message_id = "  <abc@example.com> ";
  const std::string b = add_message(row);
  // Same Message-ID in another account is a different message.
  MessageRow foreign = row;
  foreign.account_id = add_account("other@example.com");
  foreign.folder_id.reset();
  const std::string c = add_message(foreign);

  Json result = call("mark_message_read", {{"messageId", a}});
  EXPECT_EQ(result, Json::parse(R"({"messageId":")" + a + R"(","isRead":true})"));
  EXPECT_EQ(column(a, "is_read"), "1");
  EXPECT_EQ(column(b, "is_read"), "1");
  EXPECT_EQ(column(c, "is_read"), "0");
  call("mark_message_read", {{"messageId", b}, {"isRead", 0}});
  EXPECT_EQ(column(a, "is_read"), "0");

  EXPECT_EQ(call_error("set_message_starred", {{"messageId", a}}), "Missing required parameter: isStarred");
  EXPECT_EQ(call_error("set_message_starred", {{"messageId", a}, {"isStarred", "yes"}}),
            "Missing required parameter: isStarred");
  call("set_message_starred", {{"messageId", a}, {"isStarred", true}});
  EXPECT_EQ(column(b, "is_starred"), "1");
  EXPECT_EQ(call_error("mark_message_read", {{"messageId", "not-a-uuid"}}), "Invalid or missing messageId");
  EXPECT_EQ(call_error("mark_message_read", {{"messageId", 12}}), "Invalid or missing messageId");
}

TEST_F(MailTools, CopiesWithoutMessageIdMatchOnSubjectSenderAndTime) {
  MessageRow row;
  row.account_id = account;
  row.folder_id = inbox;
  row.subject = "Same";
  row.from_email = "Boss@Example.com";
  row.date = 1000.0;
  const std::string a = add_message(row);
  row.from_email = "boss@example.com";
  row.date = 1000.0005;
  const std::string b = add_message(row);
  row.date = 1000.01;  // too far apart
  const std::string c = add_message(row);

  set_exposure("full");
  EXPECT_EQ(call("delete_message", {{"messageId", a}}),
            Json::parse(R"({"messageId":")" + a + R"(","status":"deleted"})"));
  EXPECT_EQ(column(a, "is_deleted"), "1");
  EXPECT_EQ(column(b, "is_deleted"), "1");
  EXPECT_EQ(column(c, "is_deleted"), "0");
}

TEST_F(MailTools, TagsAreDeduplicatedIgnoringCase) {
  MessageRow row;
  row.account_id = account;
  row.folder_id = inbox;
  row.ai_tags = R"(["work"])";
  row.message_id = "<t@x>";
  const std::string a = add_message(row);
  row.folder_id = trash;
  const std::string copy = add_message(row);

  EXPECT_EQ(call("add_tag", {{"messageId", a}, {"tag", " Work "}}),
            Json::parse(R"({"status":"added","tag":"Work"})"));
  EXPECT_EQ(column(a, "ai_tags"), R"(["work"])");
  call("add_tag", {{"messageId", a}, {"tag", "发票"}});
  EXPECT_EQ(column(copy, "ai_tags"), R"(["work","发票"])");
  EXPECT_EQ(call("remove_tag", {{"messageId", a}, {"tag", "WORK"}}),
            Json::parse(R"({"status":"removed","tag":"WORK"})"));
  EXPECT_EQ(column(copy, "ai_tags"), R"(["发票"])");
  EXPECT_EQ(call_error("add_tag", {{"messageId", a}, {"tag", "   "}}), "Missing required parameter: tag");
  EXPECT_EQ(call_error("add_tag", {{"messageId", "00000000-0000-0000-0000-000000000000"}, {"tag", "x"}}),
            "Message not found");
}

TEST_F(MailTools, ListTagsAndSearchByTag) {
  auto tagged = [&](const std::string& tags, double date, bool deleted = false) {
    MessageRow row;
    row.account_id = account;
    row.folder_id = inbox;
    row.ai_tags = tags;
    row.date = date;
    row.is_deleted = deleted;
    row.from_name = "Sender " + std::to_string(static_cast<int>(date));
    row.preview = std::string(150, 'p');
    return add_message(row);
  };
  tagged(R"(["work","finance"])", 3);
  tagged(R"(["work"])", 2);
  tagged(R"(["homework"])", 1);
  tagged(R"(["work"])", 4, true);
  tagged("broken json", 5);

  Json tags = call("list_tags");
  ASSERT_EQ(tags.size(), 3u);
  EXPECT_EQ(tags[0], Json::parse(R"({"tag":"work","count":2})"));
  // Equal counts keep the order first met, newest mail first.
  EXPECT_EQ(tags[1]["tag"], "finance");
  EXPECT_EQ(tags[2]["tag"], "homework");
  EXPECT_EQ(call("list_tags", {{"limit", 1}}).size(), 1u);

  Json found = call("search_by_tag", {{"tag", "WORK"}});
  ASSERT_EQ(found.size(), 2u);  // whole-entry match: "homework" is not "work"
  EXPECT_EQ(found[0]["from"], "Sender 3");
  EXPECT_EQ(found[0]["tags"], Json::parse(R"(["work","finance"])"));
  EXPECT_EQ(found[0]["preview"].get<std::string>().size(), 120u);
  EXPECT_EQ(found[0]["date"], "1970-01-01T00:00:03Z");
  EXPECT_EQ(call("search_by_tag", {{"tag", "work"}, {"limit", 1}}).size(), 1u);
  EXPECT_EQ(call_error("search_by_tag"), "Missing required parameter: tag");
}

TEST_F(MailTools, MoveStaysInsideTheAccount) {
  set_exposure("full");
  const std::string id = message(inbox, "to move", 1);
  const std::string other_folder = add_folder(add_account("o@example.com"), "INBOX", "inbox");
  EXPECT_EQ(call_error("move_message", {{"messageId", id}, {"targetFolderId", other_folder}}),
            "Target folder not found or belongs to a different account");
  EXPECT_EQ(column(id, "folder_id"), inbox);
  EXPECT_EQ(call_error("move_message", {{"messageId", id}}), "Invalid or missing targetFolderId");
  Json moved = call("move_message", {{"messageId", id}, {"targetFolderId", trash}});
  EXPECT_EQ(moved, Json::parse(R"({"messageId":")" + id + R"(","movedTo":")" + trash + R"("})"));
  EXPECT_EQ(column(id, "folder_id"), trash);
}

}  // namespace
}  // namespace kestrova::testing
