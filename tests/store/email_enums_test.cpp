#include "store/email_enums.h"

#include <gtest/gtest.h>

namespace kestrova::store {
namespace {

template <typename E>
void expect_raw_values_round_trip() {
  for (E value : all_cases<E>()) EXPECT_EQ(from_raw<E>(raw_value(value)), value);
}

TEST(EmailEnumsTest, RawValuesReadBackAndNothingElseDoes) {
  // Stored rows hold raw values; case names are not raw values.
  EXPECT_EQ(from_raw<EmailServiceType>("Outlook/Hotmail"), EmailServiceType::outlook);
  EXPECT_EQ(from_raw<EmailServiceType>("outlook"), std::nullopt);
  EXPECT_EQ(from_raw<EmailEncryption>("starttls"), std::nullopt);

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

}  // namespace
}  // namespace kestrova::store
