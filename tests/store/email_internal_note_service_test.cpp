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

}  // namespace
}  // namespace kestrova::store
