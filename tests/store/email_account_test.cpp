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

TEST_F(EmailAccountTest, ServiceTypeReadsFromDisplayStringOnly) {
  auto outlook = read_first<EmailAccount>(
      "SELECT 'A0000000-0000-4000-8000-000000000001' AS id, 'Outlook/Hotmail' AS service_type, "
      "'bogus' AS imap_encryption, 'connected' AS connection_status");
  ASSERT_TRUE(outlook);
  EXPECT_EQ(outlook->serviceType, EmailServiceType::outlook);
  EXPECT_EQ(outlook->imapEncryption, EmailEncryption::ssl);
  EXPECT_EQ(outlook->connectionStatus, ConnectionStatus::connected);

  auto case_name = read_first<EmailAccount>(
      "SELECT 'A0000000-0000-4000-8000-000000000001' AS id, 'outlook' AS service_type");
  ASSERT_TRUE(case_name);
  EXPECT_EQ(case_name->serviceType, EmailServiceType::custom);
}

TEST_F(EmailAccountTest, StoredRowAndJsonRoundTrip) {
  exec(
      "INSERT INTO email_accounts (id, email_address, display_name, service_type, imap_host, "
      "imap_port, imap_encryption, smtp_host, smtp_port, smtp_encryption, is_enabled, is_default, "
      "requires_biometric_unlock, is_privacy_mode_enabled, last_sync_date, connection_status, "
      "password_keychain_identifier, created_at, updated_at) VALUES "
      "('A0000000-0000-4000-8000-000000000001', 'li@163.com', '李雷', '163 网易邮箱', "
      "'imap.163.com', 993, 'ssl', 'smtp.163.com', 465, 'ssl', 0, 1, 1, 1, NULL, 'error', "
      "NULL, 1700000000.25, 1700000001.5)");
  auto account = read_first<EmailAccount>("SELECT * FROM email_accounts");
  ASSERT_TRUE(account);
  EmailAccount expected;
  expected.id = "A0000000-0000-4000-8000-000000000001";
  expected.emailAddress = "li@163.com";
  expected.displayName = "李雷";
  expected.serviceType = EmailServiceType::mail163;
  expected.imapHost = "imap.163.com";
  expected.smtpHost = "smtp.163.com";
  expected.smtpPort = 465;
  expected.smtpEncryption = EmailEncryption::ssl;
  expected.isEnabled = false;
  expected.isDefault = true;
  expected.requiresBiometricUnlock = true;
  expected.isPrivacyModeEnabled = true;
  expected.connectionStatus = ConnectionStatus::error;
  expected.createdAt = 1700000000.25;
  expected.updatedAt = 1700000001.5;
  EXPECT_EQ(*account, expected);

  const OrderedJson json = account->to_json();
  EXPECT_FALSE(json.contains("lastSyncDate"));
  EXPECT_FALSE(json.contains("passwordKeychainIdentifier"));
  EXPECT_EQ(json["serviceType"], "163 网易邮箱");
  EXPECT_EQ(EmailAccount::from_json(json), expected);

  expected.lastSyncDate = 1.5;
  expected.passwordKeychainIdentifier = "kestrova.li@163.com";
  EXPECT_EQ(EmailAccount::from_json(expected.to_json()), expected);
  EXPECT_EQ(EmailAccount::from_json(OrderedJson{{"id", expected.id}, {"imapPort", "993"}}),
            std::nullopt);
}

}  // namespace
}  // namespace kestrova::store
