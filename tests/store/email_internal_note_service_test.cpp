#include "store/email_internal_note_service.h"

#include <gtest/gtest.h>

#include "mail_test_fixture.h"

namespace kestrova::store {
namespace {

using EmailInternalNoteServiceTest = testing::MailTest;

TEST_F(EmailInternalNoteServiceTest, NoteIsTrimmedAndBlankClears) {
  const auto message = add_message("Lease");
  ASSERT_EQ(load_inbox().size(), 1u);
  EmailInternalNoteService service(*db_, mail_);

  ASSERT_TRUE(service.set_note(message, std::string("\n  call the landlord first  \t")));
  auto noted = service.list_noted();
  ASSERT_EQ(noted.size(), 1u);
  EXPECT_EQ(noted[0].note, "call the landlord first");
  EXPECT_EQ(noted[0].messageId, message.id);
  EXPECT_EQ(noted[0].subject, "Lease");
  EXPECT_EQ(noted[0].senderName, "Sender");
  EXPECT_EQ(noted[0].senderEmail, "sender@example.org");
  EXPECT_EQ(noted[0].date, message.date);
  EXPECT_GT(noted[0].updatedAt, message.updatedAt);
  EXPECT_EQ(mail_.messagesIn(inbox_id_).at(0).internalNote, "call the landlord first");
  EXPECT_EQ(service.count_noted(), 1);

  ASSERT_TRUE(service.set_note(message, std::string(" \n\r\t ")));
  EXPECT_TRUE(service.list_noted().empty());
  EXPECT_EQ(service.count_noted(), 0);
  EXPECT_EQ(mail_.messagesIn(inbox_id_).at(0).internalNote, std::nullopt);
  EXPECT_TRUE(db_->read([&](Connection& c) {
    auto s = c.prepare("SELECT internal_note IS NULL FROM email_messages WHERE id = ?");
    s.bind(1, message.id);
    return s.step() && s.integer(0) == 1;
  }));

  ASSERT_TRUE(service.set_note(message, std::string("x")));
  ASSERT_TRUE(service.set_note(message, std::nullopt));
  EXPECT_EQ(service.count_noted(), 0);
}

TEST_F(EmailInternalNoteServiceTest, ListHoldsTheNewest200) {
  // Rows written directly, one transaction; a note of only spaces does not count.
  db_->write([&](Connection& c) {
    for (int i = 0; i < 205; ++i) {
      c.prepare(
           "INSERT INTO email_messages (id, account_id, subject, from_email, date, synced_at, "
           "updated_at, internal_note) VALUES (?, ?, ?, 'a@example.org', 0, 0, ?, ?)")
          .bind_all(new_uuid(), account_id_, "m" + std::to_string(i), kStart + i,
                    "note " + std::to_string(i))
          .run();
    }
    c.prepare(
         "INSERT INTO email_messages (id, account_id, subject, from_email, date, synced_at, "
         "updated_at, internal_note) VALUES (?, ?, 'blank', 'a@example.org', 0, 0, ?, '   ')")
        .bind_all(new_uuid(), account_id_, kStart + 1000)
        .run();
  });
  EmailInternalNoteService service(*db_, mail_);
  EXPECT_EQ(service.count_noted(), 205);
  auto noted = service.list_noted();
  ASSERT_EQ(noted.size(), 200u);
  EXPECT_EQ(noted.front().subject, "m204");
  EXPECT_EQ(noted.back().subject, "m5");
  EXPECT_FALSE(noted.front().senderName.has_value());

  // Clearing the newest note takes it off the list.
  auto newest = db_->read([&](Connection& c) {
    auto s = c.prepare("SELECT * FROM email_messages WHERE subject = 'm204'");
    s.step();
    return *EmailMessage::from_row(s);
  });
  ASSERT_TRUE(service.set_note(newest, std::nullopt));
  noted = service.list_noted();
  EXPECT_EQ(noted.front().subject, "m203");
  EXPECT_EQ(noted.back().subject, "m4");
}

}  // namespace
}  // namespace kestrova::store
