#include "store/email_account.h"

#include <gtest/gtest.h>

#include "store_test_support.h"

namespace kestrova::store {
namespace {

using EmailAccountTest = testing::StoreTest;

TEST_F(EmailAccountTest, NullEnumsAndPortsReadAsDefaults) {
  auto account = read_first<EmailAccount>(
      "SELECT 'a0000000-0000-4000-8000-00000000000a' AS id, 'me@example.com' AS email_address, "
      "NULL AS display_name, NULL AS service_type, NULL AS imap_port, NULL AS imap_encryption, "
      "NULL AS smtp_port, NULL AS smtp_encryption, NULL AS connection_status, "
      "NULL AS is_enabled, 5.5 AS created_at");
  ASSERT_TRUE(account);
  EXPECT_EQ(account->id, "A0000000-0000-4000-8000-00000000000A");
  EXPECT_EQ(account->displayName, "");
  EXPECT_EQ(account->serviceType, EmailServiceType::custom);
  EXPECT_EQ(account->imapPort, 993);
  EXPECT_EQ(account->imapEncryption, EmailEncryption::ssl);
  EXPECT_EQ(account->smtpPort, 587);
  EXPECT_EQ(account->smtpEncryption, EmailEncryption::startTLS);
  EXPECT_EQ(account->connectionStatus, ConnectionStatus::disconnected);
  EXPECT_TRUE(account->isEnabled);
  EXPECT_EQ(account->createdAt, 5.5);

  EXPECT_FALSE(read_first<EmailAccount>("SELECT 'not-a-uuid' AS id"));
  EXPECT_FALSE(read_first<EmailAccount>("SELECT NULL AS id"));
}

}  // namespace
}  // namespace kestrova::store
