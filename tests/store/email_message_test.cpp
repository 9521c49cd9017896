#include "store/email_message.h"

#include <gtest/gtest.h>

#include <string>

#include "store_test_support.h"
#include "util/text.h"

namespace kestrova::store {
namespace {

constexpr const char* kId = "E0000000-0000-4000-8000-000000000001";

std::string repeat(std::string_view piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(EmailMessageTest, ConstructionFillsPreviewAndReceivedDate) {
  const std::string body = repeat("abcde", 100);
  auto m = EmailMessage::make({.textBody = body, .date = 1000});
  EXPECT_EQ(m.preview, body.substr(0, 200));
  EXPECT_EQ(m.receivedDate, 1000);

  // Characters, not bytes: a family emoji is one character of several code points.
  const std::string family = "👨‍👩‍👧";
  auto emoji = EmailMessage::make({.textBody = repeat("中" + family, 150)});
  EXPECT_EQ(emoji.preview, repeat("中" + family, 100));
  EXPECT_EQ(text::character_count(emoji.preview), 200u);

  auto kept =
      EmailMessage::make({.textBody = body, .preview = "  own  ", .date = 5, .receivedDate = 7});
  EXPECT_EQ(kept.preview, "  own  ");
  EXPECT_EQ(kept.receivedDate, 7);
  EXPECT_EQ(EmailMessage::make({.textBody = "  short\n"}).preview, "  short\n");
  EXPECT_EQ(EmailMessage::make({}).preview, "");
}

using EmailMessageRowTest = testing::StoreTest;

TEST_F(EmailMessageRowTest, StoredRowReadsBackWithDefaults) {
  exec(
      "INSERT INTO email_accounts (id, email_address, service_type, imap_host, imap_port, "
      "imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, updated_at) VALUES "
      "('A0000000-0000-4000-8000-000000000001', 'me@x', 'Gmail', 'h', 993, 'ssl', 'h', 465, "
      "'ssl', 0, 0)");
  exec(
      "INSERT INTO email_messages (id, account_id, folder_id, uid, subject, from_name, "
      "from_email, preview, text_body, date, ai_priority, ai_category, synced_at, updated_at, "
      "is_starred, reply_later_until) VALUES ('e0000000-0000-4000-8000-000000000001', "
      "'A0000000-0000-4000-8000-000000000001', NULL, 4294967295, '周报', NULL, "
      "'boss@example.com', NULL, '正文', 1700000000.5, 'critical', NULL, 1, 2, 1, 3.25)");
  auto m = read_first<EmailMessage>("SELECT * FROM email_messages");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->id, kId);
  EXPECT_EQ(m->folderId, std::nullopt);
  EXPECT_EQ(m->uid, 4294967295u);
  EXPECT_EQ(m->from, (EmailContact{std::nullopt, "boss@example.com"}));
  EXPECT_EQ(m->preview, "正文");  // NULL preview with a body present
  EXPECT_EQ(m->receivedDate, 1700000000.5);
  EXPECT_EQ(m->aiPriority, std::nullopt);  // unknown raw value
  EXPECT_EQ(m->aiCategory, std::nullopt);
  EXPECT_TRUE(m->isStarred);
  EXPECT_EQ(m->replyLaterUntil, 3.25);
  EXPECT_TRUE(m->attachments.empty());
  EXPECT_FALSE(read_first<EmailMessage>(
      "SELECT 'x' AS id, 'A0000000-0000-4000-8000-000000000001' AS account_id"));
}

}  // namespace
}  // namespace kestrova::store
