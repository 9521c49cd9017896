#include "store/email_message.h"

#include <gtest/gtest.h>

#include <string>

#include "store/json_list.h"
#include "store_test_support.h"
#include "util/text.h"

namespace kestrova::store {
namespace {

constexpr const char* kId = "E0000000-0000-4000-8000-000000000001";
constexpr const char* kAccount = "A0000000-0000-4000-8000-000000000001";

std::string repeat(std::string_view piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(EmailContactTest, ListJsonAndLenientDecoding) {
  const std::vector<EmailContact> contacts = {{"张三", "zhang@example.com"},
                                              {std::nullopt, "bob@example.com"}};
  const std::string text = encode_contact_list(contacts);
  EXPECT_EQ(text, R"([{"name":"张三","email":"zhang@example.com"},{"email":"bob@example.com"}])");
  EXPECT_EQ(decode_contact_list(text), contacts);
  EXPECT_EQ(decode_contact_list(R"([{"name":null,"email":"bob@example.com"}])"),
            (std::vector<EmailContact>{{std::nullopt, "bob@example.com"}}));

  for (const char* bad : {"", "[]", "not json", "{}", R"([{"name":"x"}])",
                          R"([{"email":"a@x"},{"email":7}])", "[\"a@x\"]"})
    EXPECT_TRUE(decode_contact_list(std::string(bad)).empty()) << bad;
  EXPECT_TRUE(decode_contact_list(std::nullopt).empty());
  // Equality is exact: no case folding of the address.
  EXPECT_NE((EmailContact{std::nullopt, "A@x"}), (EmailContact{std::nullopt, "a@x"}));
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

TEST_F(EmailMessageRowTest, ContactListsReadFromBlobOrText) {
  const std::string json = R"([{"name":"Ann","email":"ann@example.com"}])";
  auto message = db_->read([&](store::Connection& c) {
    auto s = c.prepare(
        "SELECT ? AS id, ? AS account_id, 'garbage' AS folder_id, ? AS to_contacts, ? AS "
        "cc_contacts, "
        "'[]' AS bcc_contacts, NULL AS reply_to_contacts, ? AS tags, 'oops' AS ai_tags");
    s.bind_all(kId, kAccount, Blob{json}, json, Blob{std::string_view(R"(["a","b"])")});
    EXPECT_TRUE(s.step());
    EXPECT_EQ(s.type("to_contacts"), ColumnType::Blob);
    return EmailMessage::from_row(s);
  });
  ASSERT_TRUE(message);
  const std::vector<EmailContact> ann = {{"Ann", "ann@example.com"}};
  EXPECT_EQ(message->folderId, std::nullopt);
  EXPECT_EQ(message->to, ann);
  EXPECT_EQ(message->cc, ann);
  EXPECT_TRUE(message->bcc.empty());
  EXPECT_TRUE(message->replyTo.empty());
  EXPECT_EQ(message->tags, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(message->aiTags.empty());
}

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

TEST(EmailMessageJsonTest, RoundTripOmitsAbsentOptionals) {
  EmailMessage sparse = EmailMessage::make({.id = kId, .accountId = kAccount, .date = 9});
  const OrderedJson json = sparse.to_json();
  for (const char* absent : {"folderId", "uid", "messageId", "inReplyTo", "threadId", "textBody",
                             "htmlBody", "aiSummary", "aiPriority", "aiCategory", "snoozedUntil",
                             "replyLaterUntil", "waitingSince", "internalNote", "bodyCachedAt"})
    EXPECT_FALSE(json.contains(absent)) << absent;
  EXPECT_EQ(json["from"], OrderedJson({{"email", ""}}));
  EXPECT_EQ(json["receivedDate"], 9);
  EXPECT_EQ(EmailMessage::from_json(json), sparse);

  EmailMessage full =
      EmailMessage::make({.id = kId,
                          .accountId = kAccount,
                          .folderId = "F0000000-0000-4000-8000-000000000001",
                          .uid = 7,
                          .messageId = "<m@x>",
                          .inReplyTo = "<p@x>",
                          .threadId = "t",
                          .subject = "Re: 报价",
                          .from = {"Li", "li@x"},
                          .to = {{std::nullopt, "me@x"}},
                          .cc = {{"C", "c@x"}},
                          .textBody = "body",
                          .htmlBody = "<p>body</p>",
                          .date = 1.5,
                          .isRead = true,
                          .hasAttachments = true,
                          .tags = {"work"},
                          .aiTags = {"报价"},
                          .aiSummary = "sum",
                          .aiPriority = EmailPriority::high,
                          .aiActionItems = {"reply"},
                          .aiCategory = EmailCategory::updates,
                          .attachments = {{.id = "B0000000-0000-4000-8000-000000000001",
                                           .filename = "a.pdf",
                                           .mimeType = "application/pdf",
                                           .size = 10,
                                           .partPath = "2"}},
                          .syncedAt = 2,
                          .updatedAt = 3,
                          .snoozedUntil = 4,
                          .internalNote = "call back",
                          .isBodyLoaded = true,
                          .bodyCachedAt = 5});
  const OrderedJson full_json = full.to_json();
  EXPECT_EQ(full_json["aiPriority"], "high");
  EXPECT_FALSE(full_json["attachments"][0].contains("contentId"));
  EXPECT_EQ(EmailMessage::from_json(full_json), full);
  EXPECT_EQ(EmailMessage::from_json(OrderedJson::parse(full_json.dump())), full);

  OrderedJson bad = full_json;
  bad["to"] = OrderedJson::array({{{"name", "no address"}}});
  EXPECT_EQ(EmailMessage::from_json(bad), std::nullopt);
}

}  // namespace
}  // namespace kestrova::store
