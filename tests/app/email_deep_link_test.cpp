#include "app/core/email_deep_link.h"

#include <gtest/gtest.h>

namespace kestrova::app {
namespace {

constexpr std::string_view kUpper = "0F8FAD5B-D9CB-469F-A165-70867728950E";
constexpr std::string_view kLower = "0f8fad5b-d9cb-469f-a165-70867728950e";

std::optional<EmailDeepLink> parse(const std::string& url) { return EmailDeepLink::parse(url); }
std::string with(std::string_view prefix, std::string_view id, std::string_view suffix = "") {
  return std::string(prefix) + std::string(id) + std::string(suffix);
}

TEST(EmailDeepLinkTest, SchemeHostAndSlashesAreForgiving) {
  EXPECT_EQ(parse(with("KESTROVA://MESSAGE/", kUpper)), EmailDeepLink::message(kUpper));
  EXPECT_EQ(parse(with("Kestrova://Reply/", kLower)), EmailDeepLink::reply(kUpper, false));
  EXPECT_EQ(parse(with("kestrova://message//", kLower, "/")), EmailDeepLink::message(kUpper));
  EXPECT_EQ(parse(with("kestrova://account/", kUpper, "#top")), EmailDeepLink::account(kUpper));
  EXPECT_EQ(parse("kestrova://drafts/x"), EmailDeepLink::drafts());
  EXPECT_EQ(parse("kestrova://drafts"), EmailDeepLink::drafts());
  // "draft" and "drafts" are different hosts: the single draft needs its UUID.
  EXPECT_EQ(parse("kestrova://draft/x"), std::nullopt);
  EXPECT_EQ(parse(with("kestrova://draft/", kUpper))->kind, EmailDeepLink::Kind::draft);
}

TEST(EmailDeepLinkTest, LinksThatDoNotNameAResourceAreRejected) {
  EXPECT_EQ(parse("kestrova://message/not-a-uuid"), std::nullopt);
  EXPECT_EQ(parse(with("kestrova://message/", kUpper.substr(1))), std::nullopt);
  EXPECT_EQ(parse(with("kestrova://message/{", kUpper, "}")), std::nullopt);
  EXPECT_EQ(parse("kestrova://thread/"), std::nullopt);
  EXPECT_EQ(parse("kestrova://thread//"), std::nullopt);
  EXPECT_EQ(parse(with("kestrova://folder/", kUpper)), std::nullopt);
  EXPECT_EQ(parse(with("mailto://message/", kUpper)), std::nullopt);
  EXPECT_EQ(parse(with("kestrova:message/", kUpper)), std::nullopt);  // no host
  EXPECT_EQ(parse(with("kestrova://message/", kUpper, " ")), std::nullopt);  // not a URL
  EXPECT_EQ(parse(""), std::nullopt);
}

TEST(EmailDeepLinkTest, ThreadIdsArePercentDecodedWhenPossible) {
  EXPECT_EQ(parse("kestrova://thread/a%20b"), EmailDeepLink::thread("a b"));
  EXPECT_EQ(parse("kestrova://thread/re:%20%E4%BD%A0%E5%A5%BD"), EmailDeepLink::thread("re: 你好"));
  EXPECT_EQ(parse("kestrova://thread/a/b/"), EmailDeepLink::thread("a/b"));
  // A broken escape or bytes that are not UTF-8 keep the path as written.
  EXPECT_EQ(parse("kestrova://thread/100%"), EmailDeepLink::thread("100%"));
  EXPECT_EQ(parse("kestrova://thread/%FF"), EmailDeepLink::thread("%FF"));
}

TEST(EmailDeepLinkTest, OnlyTheFirstChatItemWithTheExactValueTrueSetsTheFlag) {
  const std::string email = with("kestrova://email/", kUpper);
  EXPECT_TRUE(parse(email + "?chat=true")->chat);
  EXPECT_FALSE(parse(email + "?chat=TRUE")->chat);
  EXPECT_FALSE(parse(email + "?chat=1")->chat);
  EXPECT_FALSE(parse(email + "?chat")->chat);
  EXPECT_FALSE(parse(email + "?chat=false&chat=true")->chat);
  EXPECT_TRUE(parse(email + "?from=agent&chat=true")->chat);
  EXPECT_TRUE(parse(email + "?chat=tru%65")->chat);  // query values are percent-decoded
  EXPECT_FALSE(parse(email)->chat);
  // The flag belongs to the window cases only.
  EXPECT_FALSE(parse(with("kestrova://message/", kUpper, "?chat=true"))->chat);
}

TEST(EmailDeepLinkTest, BuildThenParseGivesTheSameLinkForEveryCase) {
  const std::vector<EmailDeepLink> links = {
      EmailDeepLink::message(kLower),         EmailDeepLink::draft(kUpper),
      EmailDeepLink::account(kUpper),         EmailDeepLink::email(kUpper, true),
      EmailDeepLink::email(kUpper, false),    EmailDeepLink::reply(kLower, true),
      EmailDeepLink::reply(kUpper, false),    EmailDeepLink::drafts(),
      EmailDeepLink::thread("hello"),         EmailDeepLink::thread("re: 周报 第 3 周"),
      EmailDeepLink::thread("a/b//c"),        EmailDeepLink::thread("/etc/passwd/"),
      EmailDeepLink::thread("50% off? #1 & more"),
      EmailDeepLink::thread("<CAJ+x=y@mail.example.com>"),
  };
  for (const auto& link : links) {
    const std::string url = link.build();
    EXPECT_EQ(parse(url), link) << url;
  }
  EXPECT_EQ(EmailDeepLink::message(kLower).build(), with("kestrova://message/", kUpper));
  EXPECT_EQ(EmailDeepLink::reply(kUpper, true).build(), with("kestrova://reply/", kUpper, "?chat=true"));
  EXPECT_EQ(EmailDeepLink::thread("a b/c").build(), "kestrova://thread/a%20b/c");
}

}  // namespace
}  // namespace kestrova::app
