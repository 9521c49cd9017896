#include "store/email_thread_service.h"

#include <gtest/gtest.h>

#include "mail_test_fixture.h"
#include "store/database.h"
#include "util/uuid.h"

namespace kestrova::store {
namespace {

class EmailThreadServiceTest : public testing::SmallStoreTest {
 protected:
  EmailThreadServiceTest() : service_(*db_) {
    archive_id_ = new_uuid();
    exec("INSERT INTO email_folders (id, account_id, name, type, path) VALUES ('" + archive_id_ +
         "', '" + account_id_ + "', 'Archive', 'archive', 'Archive')");
  }

  // A message of conversation `thread` sent by `from` at kStart + `at`, with To and Cc
  // written as contact JSON.
  EmailMessage add(
      const std::string& thread, const std::string& subject, double at, const std::string& from,
      const std::string& to_json = "[]",
      const std::function<void(EmailMessage&)>& change = [](EmailMessage&) {}) {
    auto m = add_message(subject, [&](EmailMessage& m) {
      m.from = {std::nullopt, from};
      m.date = kStart + at;
      change(m);
    });
    db_->write([&](Connection& c) {
      c.prepare(
           "UPDATE email_messages SET thread_id = ?, to_contacts = ?, is_read = ?, "
           "is_draft = ?, is_spam = ? WHERE id = ?")
          .bind_all(thread, to_json, m.isRead, m.isDraft, m.isSpam, m.id)
          .run();
    });
    return m;
  }

  EmailThreadService service_;
  std::string archive_id_;
};

TEST_F(EmailThreadServiceTest, SummaryIsDerivedFromTheConversation) {
  // Added out of date order: the root is the earliest message, not the first written.
  add("lunch", "Re: Lunch", 300, "Carol@Example.org",
      R"([{"email":"bob@example.org"},{"email":" ALICE@example.org "}])",
      [](EmailMessage& m) { m.messageId = "<c@x>"; });
  add("lunch", "Lunch", 100, "alice@example.org", R"([{"name":"Bob","email":"Bob@Example.org"}])",
      [](EmailMessage& m) {
        m.messageId = " <a@x> ";
        m.isRead = true;
      });
  add("lunch", "Re: Lunch", 200, "bob@example.org", R"([{"email":"alice@example.org"}])",
      [](EmailMessage& m) { m.messageId = "<b@x>"; });
  // Not part of it: another conversation, a draft, a deleted and a spam message.
  add("dinner", "Dinner", 900, "dave@example.org");
  add("lunch", "Re: Lunch", 950, "me@example.org", "[]", [](EmailMessage& m) { m.isDraft = true; });
  add("lunch", "Re: Lunch", 960, "eve@example.org", "[]",
      [](EmailMessage& m) { m.isDeleted = true; });
  add("lunch", "Re: Lunch", 970, "spam@example.org", "[]",
      [](EmailMessage& m) { m.isSpam = true; });

  auto t = service_.refreshThread(account_id_, "lunch");
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->subject, "Lunch");
  EXPECT_EQ(t->rootMessageId, "<a@x>");
  EXPECT_EQ(t->messageId, "<c@x>");
  EXPECT_EQ(t->participantEmails, (std::vector<std::string>{"alice@example.org", "bob@example.org",
                                                            "carol@example.org"}));
  EXPECT_EQ(t->messageCount, 3);
  EXPECT_EQ(t->unreadCount, 2);
  EXPECT_EQ(t->lastMessageDate, kStart + 300);
  EXPECT_EQ(t->id, EmailThreadService::derivedThreadRowId(account_id_, "lunch"));
  EXPECT_EQ(service_.thread(t->id), t);
  EXPECT_EQ(service_.findThread(account_id_, "<a@x>"), t);
  EXPECT_EQ(service_.findThread(account_id_, "<c@x>"), t);
  EXPECT_EQ(service_.findThread(account_id_, "<b@x>"), std::nullopt);
  EXPECT_EQ(service_.findThread(new_uuid(), "<a@x>"), std::nullopt);
}

TEST_F(EmailThreadServiceTest, CopiesInTwoFoldersCountOnce) {
  add("report", "Report", 10, "a@example.org", "[]",
      [](EmailMessage& m) { m.messageId = "<r@x>"; });
  add("report", "Report", 10, "a@example.org", "[]", [&](EmailMessage& m) {
    m.messageId = "<r@x>";
    m.folderId = archive_id_;
    m.isRead = true;  // read in one folder: the message is read
  });
  // Without Message-ID: subject, sender and date decide.
  for (int copy = 0; copy < 2; ++copy) {
    add("report", "Report", 20, "b@example.org", "[]", [&](EmailMessage& m) {
      m.messageId.reset();
      if (copy == 1) m.folderId = archive_id_;
    });
  }
  add("report", "Report", 20, "c@example.org", "[]", [](EmailMessage& m) { m.messageId.reset(); });

  auto t = service_.refreshThread(account_id_, "report");
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->messageCount, 3);
  EXPECT_EQ(t->unreadCount, 2);
  EXPECT_EQ(t->messageId, std::nullopt);  // the newest has none (ties broken by id)
}

TEST_F(EmailThreadServiceTest, RefreshKeepsTheRowAndRemovesItWhenEmpty) {
  auto first = add("plans", "Plans", 100, "a@example.org", "[]",
                   [](EmailMessage& m) { m.messageId = "<p1@x>"; });
  // A row written earlier under another id for the same root is the one kept.
  EmailThread earlier{.id = new_uuid(),
                      .accountId = account_id_,
                      .subject = std::string("Plans"),
                      .rootMessageId = std::string("<p1@x>"),
                      .lastMessageDate = kStart,
                      .createdAt = kStart - 500,
                      .updatedAt = kStart - 500};
  service_.saveThread(earlier);

  add("plans", "Re: Plans", 200, "b@example.org", "[]",
      [](EmailMessage& m) { m.messageId = "<p2@x>"; });
  auto t = service_.refreshThread(account_id_, "plans");
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->id, earlier.id);
  EXPECT_EQ(t->createdAt, kStart - 500);
  EXPECT_GT(t->updatedAt, kStart);
  EXPECT_EQ(t->messageCount, 2);
  EXPECT_EQ(service_.threads(account_id_).size(), 1u);

  // A conversation without any Message-ID is found again by its derived row id.
  add("no ids", "No ids", 50, "c@example.org", "[]", [](EmailMessage& m) { m.messageId.reset(); });
  auto bare = service_.refreshThread(account_id_, "no ids");
  ASSERT_TRUE(bare.has_value());
  auto again = service_.refreshThread(account_id_, "no ids");
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->id, bare->id);
  EXPECT_EQ(again->createdAt, bare->createdAt);
  auto listed = service_.threads(account_id_);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].id, earlier.id);  // newest last message first
  EXPECT_EQ(listed[1].id, bare->id);

  exec("UPDATE email_messages SET is_deleted = 1 WHERE thread_id = 'no ids'");
  EXPECT_EQ(service_.refreshThread(account_id_, "no ids"), std::nullopt);
  EXPECT_EQ(service_.thread(bare->id), std::nullopt);
  EXPECT_EQ(service_.refreshThread(account_id_, "never seen"), std::nullopt);

  service_.deleteThread(earlier.id);
  EXPECT_TRUE(service_.threads(account_id_).empty());
  (void)first;
}

TEST_F(EmailThreadServiceTest, BatchRefreshIsOneTransaction) {
  add("one", "One", 1, "a@example.org");
  add("two", "Two", 2, "b@example.org");
  service_.refreshThreads(account_id_, {"one", "two", "one", "nothing"});
  auto listed = service_.threads(account_id_);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].subject, "Two");
  EXPECT_EQ(listed[1].subject, "One");

  // A failing write leaves every summary as it was: a trigger refuses the second row.
  exec("UPDATE email_messages SET subject = 'One changed' WHERE thread_id = 'one'");
  add("boom", "Boom", 3, "c@example.org");
  exec(
      "CREATE TRIGGER refuse_boom BEFORE INSERT ON email_threads WHEN NEW.subject = 'Boom' "
      "BEGIN SELECT RAISE(ABORT, 'refused'); END");
  EXPECT_THROW(service_.refreshThreads(account_id_, {"one", "boom"}), Error);
  listed = service_.threads(account_id_);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[1].subject, "One");
}

TEST(EmailThreadRowIdTest, DerivedIdIsAStableUuid) {
  const auto id = EmailThreadService::derivedThreadRowId("A", "hello");
  EXPECT_TRUE(is_uuid(id));
  EXPECT_EQ(parse_uuid(id), id);  // canonical upper-case
  EXPECT_EQ(id[14], '8');
  EXPECT_EQ(id, EmailThreadService::derivedThreadRowId("A", "hello"));
  EXPECT_NE(id, EmailThreadService::derivedThreadRowId("B", "hello"));
  EXPECT_NE(EmailThreadService::derivedThreadRowId("ab", "c"),
            EmailThreadService::derivedThreadRowId("a", "bc"));
}

}  // namespace
}  // namespace kestrova::store
