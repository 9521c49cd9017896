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

}  // namespace
}  // namespace kestrova::store
