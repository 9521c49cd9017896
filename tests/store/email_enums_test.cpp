#include "store/email_enums.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrova::store {
namespace {

template <typename E>
void expect_raw_values_round_trip() {
  for (E value : all_cases<E>()) EXPECT_EQ(from_raw<E>(raw_value(value)), value);
}

TEST(EmailEnumsTest, RawValuesReadBackAndNothingElseDoes) {
  std::vector<std::string> raw;
  for (auto type : all_cases<EmailServiceType>()) raw.emplace_back(raw_value(type));
  EXPECT_EQ(raw,
            (std::vector<std::string>{"Gmail", "Outlook/Hotmail", "iCloud", "Microsoft Exchange",
                                      "Yahoo Mail", "AOL", "163 网易邮箱", "QQ 邮箱",
                                      "阿里云企业邮箱", "腾讯企业邮箱", "自定义"}));
  EXPECT_EQ(from_raw<EmailServiceType>("Outlook/Hotmail"), EmailServiceType::outlook);
  // Case names are not raw values.
  EXPECT_EQ(from_raw<EmailServiceType>("outlook"), std::nullopt);
  EXPECT_EQ(from_raw<EmailServiceType>("gmail"), std::nullopt);
  EXPECT_EQ(from_raw<EmailEncryption>("starttls"), std::nullopt);
  EXPECT_EQ(raw_value(EmailEncryption::startTLS), "startTLS");

  expect_raw_values_round_trip<EmailServiceType>();
  expect_raw_values_round_trip<EmailEncryption>();
  expect_raw_values_round_trip<ConnectionStatus>();
  expect_raw_values_round_trip<EmailFolderType>();
  expect_raw_values_round_trip<EmailPriority>();
  expect_raw_values_round_trip<EmailCategory>();
  expect_raw_values_round_trip<EmailActionItemState>();
  expect_raw_values_round_trip<EmailActionItemSource>();
  expect_raw_values_round_trip<EmailVirtualFolderKind>();
}

TEST(EmailEnumsTest, ServerPresets) {
  for (auto type : all_cases<EmailServiceType>()) {
    SCOPED_TRACE(std::string(case_name(type)));
    if (type == EmailServiceType::custom) {
      EXPECT_EQ(imap_preset(type), std::nullopt);
      EXPECT_EQ(smtp_preset(type), std::nullopt);
      continue;
    }
    auto imap = imap_preset(type);
    auto smtp = smtp_preset(type);
    ASSERT_TRUE(imap && smtp);
    EXPECT_EQ(imap->port, 993);
    EXPECT_EQ(imap->encryption, EmailEncryption::ssl);
    const bool start_tls = type == EmailServiceType::outlook ||
                           type == EmailServiceType::exchange || type == EmailServiceType::icloud;
    EXPECT_EQ(smtp->port, start_tls ? 587 : 465);
    EXPECT_EQ(smtp->encryption, start_tls ? EmailEncryption::startTLS : EmailEncryption::ssl);
    EXPECT_FALSE(imap->host.empty());
    EXPECT_FALSE(smtp->host.empty());
  }
  EXPECT_EQ(imap_preset(EmailServiceType::exchange), imap_preset(EmailServiceType::outlook));
  EXPECT_EQ(smtp_preset(EmailServiceType::exchange), smtp_preset(EmailServiceType::outlook));
  EXPECT_EQ(smtp_preset(EmailServiceType::gmail)->host, "smtp.gmail.com");
  EXPECT_EQ(case_name(EmailServiceType::mail163), "mail163");
}

TEST(EmailEnumsTest, SymbolsKeysAndColours) {
  EXPECT_EQ(symbol(EmailFolderType::spam), "exclamationmark.triangle.fill");
  EXPECT_EQ(symbol(EmailFolderType::drafts), "doc.text");
  EXPECT_EQ(symbol(EmailCategory::forums), "bubble.left.and.bubble.right");
  EXPECT_EQ(localization_key(EmailPriority::urgent), "priority.urgent");
  EXPECT_EQ(color_name(EmailPriority::low), "gray");
  EXPECT_EQ(localization_key(EmailCategory::promotions), "category.promotions");
  EXPECT_EQ(localization_key(EmailVirtualFolderKind::attachments),
            "email.virtual_folder.attachments");
  EXPECT_EQ(symbol(EmailVirtualFolderKind::starred), "star.fill");
}

}  // namespace
}  // namespace kestrova::store
