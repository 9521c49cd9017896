#include "mail/email_deduplication_service.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

namespace kestrova::mail {
namespace {

using Service = EmailDeduplicationService;
using store::EmailMessage;

constexpr const char* kAccount = "6f1c2a4e-0d7b-4c1e-9a53-2b8f4e6d1a01";
constexpr const char* kInbox = "0b9e1f3c-5a2d-4e7f-8c61-9d3a2b4c5e02";
constexpr const char* kArchive = "3c7d9e1f-2b4a-4c6e-8f10-1a2b3c4d5e03";

EmailMessage message(const std::string& subject) {
  EmailMessage m;
  m.id = "9a8b7c6d-5e4f-4a3b-8c2d-1e0f9a8b7c04";
  m.accountId = kAccount;
  m.subject = subject;
  m.from = {std::string("Bob"), "bob@example.org"};
  m.date = 1'700'000'000;
  return m;
}

TEST(EmailDeduplicationServiceTest, KeyTakesTheFirstRuleThatApplies) {
  auto with_id = message("a");
  with_id.messageId = "  <x@example.org>\r\n";
  with_id.folderId = kInbox;
  with_id.uid = 7;
  EXPECT_EQ(Service::key(with_id),
            Service::DeduplicationKey(Service::MessageIdKey{"<x@example.org>"}));

  // A blank Message-ID is no Message-ID: folder and UID decide.
  auto blank_id = with_id;
  blank_id.messageId = " \t";
  EXPECT_EQ(Service::key(blank_id),
            Service::DeduplicationKey(Service::UidKey{kAccount, kInbox, 7}));

  // A UID without a folder is not enough.
  auto uid_only = message("a");
  uid_only.uid = 7;
  EXPECT_TRUE(std::holds_alternative<Service::ContentHashKey>(Service::key(uid_only)));
}

TEST(EmailDeduplicationServiceTest, SameFolderAndUidWithoutMessageIdAreEqual) {
  auto first = message("Invoice");
  first.folderId = kInbox;
  first.uid = 42;
  auto second = message("Completely different");
  second.id = "11111111-2222-4333-8444-555555555555";
  second.folderId = kInbox;
  second.uid = 42;
  EXPECT_EQ(Service::key(first), Service::key(second));
  EXPECT_EQ(Service::KeyHash{}(Service::key(first)), Service::KeyHash{}(Service::key(second)));

  auto elsewhere = second;
  elsewhere.folderId = kArchive;
  EXPECT_NE(Service::key(first), Service::key(elsewhere));
  auto other_uid = second;
  other_uid.uid = 43;
  EXPECT_NE(Service::key(first), Service::key(other_uid));
}

TEST(EmailDeduplicationServiceTest, ContentHashTextAndDigestAreExact) {
  auto m = message("  Hello World \n");
  m.from.email = "Bob@Example.ORG";
  m.date = 1'700'000'000.4;
  m.preview = "  First line of Preview\t";
  EXPECT_EQ(Service::contentHashText(m),
            "hello world|bob@example.org|1700000000|first line of preview");
  // printf '%s' 'hello world|bob@example.org|1700000000|first line of preview' | sha256sum
  EXPECT_EQ(Service::key(m),
            Service::DeduplicationKey(Service::ContentHashKey{
                "159d23bf795f43b7fd017eee33b6c11c8f05394b837c1f6bcbd18e7f5467f859"}));
}

TEST(EmailDeduplicationServiceTest, PreviewIsCutAtCharactersNotBytes) {
  // 99 CJK characters and a black cat (one character of four code points), then more text
  // that must not take part; the date rounds to whole seconds.
  auto m = message("RE: 猫");
  m.date = 1'700'000'000.6;
  std::string preview;
  for (int i = 0; i < 99; ++i) preview += "猫";
  preview += "🐈‍⬛";
  preview += "DROPPED";
  m.preview = preview;
  std::string expected_preview = preview.substr(0, preview.size() - 7);
  EXPECT_EQ(Service::contentHashText(m), "re: 猫|bob@example.org|1700000001|" + expected_preview);
  EXPECT_EQ(Service::key(m),
            Service::DeduplicationKey(Service::ContentHashKey{
                "137c15647a86347973c06032fbbf6b487271c326905f3419c671c2d4ae86409b"}));

  // The text after the 100th character changes nothing; a different sender does.
  auto longer = m;
  longer.preview += " and more";
  EXPECT_EQ(Service::key(longer), Service::key(m));
  auto other_sender = m;
  other_sender.from.email = "carol@example.org";
  EXPECT_NE(Service::key(other_sender), Service::key(m));
}

TEST(EmailDeduplicationServiceTest, KeysOfDifferentKindsNeverMatch) {
  // The same text as a Message-ID and as a fallback are different identities.
  std::unordered_set<Service::DeduplicationKey, Service::KeyHash> keys;
  keys.insert(Service::MessageIdKey{"abc"});
  keys.insert(Service::FallbackKey{"abc"});
  keys.insert(Service::ContentHashKey{"abc"});
  keys.insert(Service::MessageIdKey{"abc"});
  EXPECT_EQ(keys.size(), 3u);
}

TEST(EmailDeduplicationServiceTest, DeduplicateKeepsTheFirstOfEachKeyInOrder) {
  std::vector<EmailMessage> batch;
  auto a = message("a");
  a.messageId = "<a@example.org>";
  a.preview = "first copy";
  auto b = message("b");
  b.folderId = kInbox;
  b.uid = 5;
  auto a_again = message("a, seen again");
  a_again.messageId = "<a@example.org> ";
  a_again.preview = "second copy";
  auto c = message("c");
  auto b_again = message("b again");
  b_again.folderId = kInbox;
  b_again.uid = 5;
  auto c_again = message("  C ");  // same hash text as c
  batch = {a, b, a_again, c, b_again, c_again};

  auto kept = Service::deduplicate(batch);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0].preview, "first copy");
  EXPECT_EQ(kept[1].subject, "b");
  EXPECT_EQ(kept[2].subject, "c");
  EXPECT_TRUE(Service::deduplicate({}).empty());
}

}  // namespace
}  // namespace kestrova::mail
