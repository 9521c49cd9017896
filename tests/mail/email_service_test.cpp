// EmailService's connection test and session openers against the loopback Dovecot and SMTP
// servers, the error descriptions, and the provider presets of the account editor.
#include "mail/email_service.h"

#include <libetpan/libetpan.h>

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "mail/email_provider_catalog.h"
#include "platform/email_credential_store.h"
#include "platform/settings_store.h"
#include "support/loopback.h"
#include "support/mail_servers.h"
#include "support/session_bus.h"
#include "support/test_support.h"
#include "util/uuid.h"

namespace kestrova::mail {
namespace {

using store::EmailAccount;
using store::EmailEncryption;
using store::EmailServiceType;
using testing::MailServers;

class EmailServiceTest : public ::testing::Test {
 protected:
  EmailAccount account() const {
    EmailAccount a;
    a.id = new_uuid();
    a.emailAddress = user_;
    a.serviceType = EmailServiceType::custom;
    a.imapHost = servers_.host;
    a.imapPort = servers_.imap_plain;
    a.imapEncryption = EmailEncryption::startTLS;
    a.smtpHost = servers_.host;
    a.smtpPort = servers_.smtp_ssl;
    a.smtpEncryption = EmailEncryption::ssl;
    // Both servers have a certificate from the fixture's own CA.
    AccountCertificateTrust trust;
    trust.imap.caFile = trust.smtp.caFile = servers_.ca_file.string();
    trust.save(platform::SettingsStore::shared(), a.id);
    return a;
  }

  template <typename F>
  static EmailServiceError thrown(F&& f) {
    try {
      f();
    } catch (const EmailServiceError& e) {
      return e;
    }
    throw std::logic_error("no EmailServiceError was thrown");
  }

  testing::TempDir dir_;
  testing::ScopedHome home_{dir_.path()};
  const MailServers& servers_ = MailServers::shared();
  const std::string user_ = servers_.fresh_user();
  const EmailService& service_ = EmailService::shared();
};

TEST_F(EmailServiceTest, ConnectionTestPassesBothStages) {
  const auto report = service_.testConnection(account(), servers_.password);
  ASSERT_EQ(report.stages.size(), 2u);
  EXPECT_EQ(report.stages[0], (EmailConnectionStageResult{"接收服务器 (IMAP)", true, "连接和登录成功"}));
  EXPECT_EQ(report.stages[1], (EmailConnectionStageResult{"发送服务器 (SMTP)", true, "连接和登录成功"}));
  EXPECT_TRUE(report.allSucceeded());
  EXPECT_FALSE(report.firstFailureDetail());

  const auto shown = ConnectionTestResult::from(report);
  EXPECT_TRUE(shown.success);
  EXPECT_EQ(shown.message, "IMAP 与 SMTP 均已通过");
  ASSERT_EQ(shown.stages.size(), 2u);
  EXPECT_EQ(shown.stages[0].name, "接收服务器 (IMAP)");
  EXPECT_TRUE(parse_uuid(shown.stages[0].id));
  EXPECT_NE(shown.stages[0].id, shown.stages[1].id);
  // No message was sent.
  EXPECT_TRUE(servers_.received_from(user_).empty());
}

TEST_F(EmailServiceTest, WrongPasswordFailsTheImapStageAndStillTriesSmtp) {
  const auto report = service_.testConnection(account(), "not-the-password");
  ASSERT_EQ(report.stages.size(), 2u);
  EXPECT_FALSE(report.stages[0].success);
  EXPECT_EQ(report.stages[0].detail, "IMAP 登录失败: 登录失败: " + std::to_string(MAILIMAP_ERROR_LOGIN) +
                                         "（服务器: [AUTHENTICATIONFAILED] Authentication failed.）");
  EXPECT_FALSE(report.stages[1].success);
  EXPECT_TRUE(report.stages[1].detail.starts_with("SMTP 登录失败: 认证失败: ")) << report.stages[1].detail;
  EXPECT_EQ(report.firstFailureDetail(), report.stages[0].detail);
  EXPECT_EQ(ConnectionTestResult::from(report).message, "连接失败，请查看详细阶段信息");
}

TEST_F(EmailServiceTest, UnreachableImapHostWithWorkingSmtp) {
  EmailAccount a = account();
  a.imapPort = testing::closed_loopback_port();
  a.smtpPort = servers_.smtp_no_tls;
  a.smtpEncryption = EmailEncryption::startTLS;  // refused by that port
  auto report = service_.testConnection(a, servers_.password);
  ASSERT_EQ(report.stages.size(), 2u);
  EXPECT_FALSE(report.stages[0].success);
  EXPECT_TRUE(report.stages[0].detail.starts_with("IMAP 连接失败: 连接失败: ")) << report.stages[0].detail;
  EXPECT_EQ(report.stages[1].detail, "SMTP 连接失败: STARTTLS 不支持或握手失败");

  a.smtpEncryption = EmailEncryption::none;
  report = service_.testConnection(a, servers_.password);
  EXPECT_FALSE(report.stages[0].success);
  EXPECT_TRUE(report.stages[1].success) << report.stages[1].detail;
  const auto shown = ConnectionTestResult::from(report);
  EXPECT_FALSE(shown.success);
  EXPECT_EQ(shown.message, "连接失败，请查看详细阶段信息");
  EXPECT_EQ(report.firstFailureDetail(), report.stages[0].detail);
}

TEST_F(EmailServiceTest, OpenedSessionsAreReadyForWork) {
  auto imap = service_.openIMAPSession(account(), servers_.password);
  ASSERT_TRUE(imap);
  EXPECT_TRUE(imap->selectFolder("INBOX"));
  imap->disconnect();

  auto smtp = service_.openSMTPSession(account(), servers_.password);
  ASSERT_TRUE(smtp);
  LibEtPanError error;
  EXPECT_TRUE(smtp->sendMessageTo({"friend@example.org"}, std::nullopt, std::nullopt, "hi", "body",
                                  std::nullopt, std::nullopt, false, &error))
      << error.localizedDescription;
  smtp->disconnect();
  EXPECT_EQ(servers_.received_from(user_).size(), 1u);
}

TEST_F(EmailServiceTest, OpenersThrowTypedErrors) {
  const EmailAccount a = account();
  for (const std::optional<std::string>& missing : {std::optional<std::string>(), std::optional<std::string>("")}) {
    auto e = thrown([&] { service_.openIMAPSession(a, missing); });
    EXPECT_EQ(e.kind(), EmailServiceError::Kind::authenticationFailed);
    EXPECT_STREQ(e.what(), "认证失败: 密码未找到");
    e = thrown([&] { service_.openSMTPSession(a, missing); });
    EXPECT_STREQ(e.what(), "认证失败: 密码未找到");
  }

  auto e = thrown([&] { service_.openIMAPSession(a, std::string("wrong")); });
  EXPECT_EQ(e.kind(), EmailServiceError::Kind::authenticationFailed);
  EXPECT_TRUE(std::string(e.what()).starts_with("认证失败: 登录失败: " + std::to_string(MAILIMAP_ERROR_LOGIN) + "（服务器: "))
      << e.what();
  e = thrown([&] { service_.openSMTPSession(a, std::string("wrong")); });
  EXPECT_EQ(e.kind(), EmailServiceError::Kind::authenticationFailed);
  EXPECT_TRUE(std::string(e.what()).starts_with("认证失败: 认证失败: ")) << e.what();

  EmailAccount unreachable = a;
  unreachable.imapPort = testing::closed_loopback_port();
  unreachable.smtpPort = servers_.smtp_no_tls;
  unreachable.smtpEncryption = EmailEncryption::startTLS;
  e = thrown([&] { service_.openIMAPSession(unreachable, servers_.password); });
  EXPECT_EQ(e.kind(), EmailServiceError::Kind::connectionFailed);
  EXPECT_TRUE(std::string(e.what()).starts_with("连接失败: 连接失败: ")) << e.what();
  e = thrown([&] { service_.openSMTPSession(unreachable, servers_.password); });
  EXPECT_EQ(e.kind(), EmailServiceError::Kind::connectionFailed);
  EXPECT_STREQ(e.what(), "连接失败: STARTTLS 不支持或握手失败");
}

TEST_F(EmailServiceTest, StoredPasswordComesFromTheCredentialStore) {
  testing::ScopedEnvironment backend("KESTROVA_CREDENTIAL_STORE", "file");
  EmailAccount a = account();
  EXPECT_FALSE(service_.storedPassword(a));  // names no entry
  a.passwordKeychainIdentifier = a.id;
  EXPECT_FALSE(service_.storedPassword(a));  // nothing filed under it
  platform::EmailCredentialStore::shared().save(servers_.password, a.id);
  EXPECT_EQ(service_.storedPassword(a), servers_.password);
  EXPECT_TRUE(service_.openIMAPSession(a, service_.storedPassword(a)));
}

TEST(EmailServiceError, DescriptionsPrefixThePayload) {
  EXPECT_STREQ(EmailServiceError::connectionFailed("x").what(), "连接失败: x");
  EXPECT_STREQ(EmailServiceError::authenticationFailed("x").what(), "认证失败: x");
  EXPECT_STREQ(EmailServiceError::invalidConfiguration("x").what(), "配置无效: x");
  EXPECT_STREQ(EmailServiceError::networkError(std::runtime_error("断开")).what(), "网络错误: 断开");
  EXPECT_STREQ(EmailServiceError::networkError(LibEtPanError{3, "流错误", std::nullopt, 3}).what(),
               "网络错误: 流错误");
  EXPECT_STREQ(EmailServiceError::parseError("x").what(), "解析错误: x");
  EXPECT_STREQ(EmailServiceError::timedOut("x").what(), "请求超时: x");
  EXPECT_EQ(EmailServiceError::timedOut("y").payload(), "y");
}

TEST(EmailProviderPresets, NewAccountsTakeThePresetAndStoredOnesKeepTheirServers) {
  EmailAccount a;
  a.serviceType = EmailServiceType::outlook;
  auto applied = applyProviderPreset(a, AccountEditorState::creatingAccount);
  EXPECT_TRUE(applied.serverSettingsChanged);
  EXPECT_FALSE(applied.showAdvancedSettings);
  EXPECT_EQ(a.smtpPort, 587);
  EXPECT_EQ(a.smtpEncryption, EmailEncryption::startTLS);
  EXPECT_EQ(a.imapPort, 993);
  EXPECT_EQ(a.imapEncryption, EmailEncryption::ssl);
  EXPECT_FALSE(a.imapHost.empty());
  const EmailAccount outlook = a;

  a.serviceType = EmailServiceType::custom;
  applied = applyProviderPreset(a, AccountEditorState::creatingAccount);
  EXPECT_FALSE(applied.serverSettingsChanged);
  EXPECT_TRUE(applied.showAdvancedSettings);
  EXPECT_EQ(a.smtpHost, outlook.smtpHost);
  EXPECT_EQ(a.smtpPort, 587);

  a.serviceType = EmailServiceType::gmail;
  for (auto state : {AccountEditorState::loadingExistingAccount, AccountEditorState::editingExistingAccount}) {
    EXPECT_FALSE(applyProviderPreset(a, state).serverSettingsChanged);
    EXPECT_EQ(a.smtpHost, outlook.smtpHost);
  }
  applyProviderPreset(a, AccountEditorState::creatingAccount);
  EXPECT_EQ(a.smtpPort, 465);
  EXPECT_EQ(a.smtpEncryption, EmailEncryption::ssl);

  // Exchange shares Outlook's servers.
  EmailAccount exchange;
  exchange.serviceType = EmailServiceType::exchange;
  applyProviderPreset(exchange, AccountEditorState::creatingAccount);
  EXPECT_EQ(exchange.imapHost, outlook.imapHost);
  EXPECT_EQ(exchange.smtpHost, outlook.smtpHost);
}

TEST(EmailProviderPresets, CatalogNamesRecognisesAndOrders) {
  const auto brands = EmailProviderCatalog::brands();
  ASSERT_EQ(brands.size(), store::all_cases<EmailServiceType>().size());
  std::set<EmailServiceType> seen;
  for (size_t i = 0; i < brands.size(); ++i) {
    seen.insert(brands[i].id);
    if (i > 0) {
      EXPECT_LT(brands[i - 1].priority, brands[i].priority);
    }
    EXPECT_EQ(brands[i].summary, "provider." + std::string(store::case_name(brands[i].id)) + ".summary");
  }
  EXPECT_EQ(seen.size(), brands.size());

  EXPECT_EQ(EmailProviderCatalog::recognize("someone@Gmail.COM"), EmailServiceType::gmail);
  EXPECT_EQ(EmailProviderCatalog::recognize("a@b@hotmail.com"), EmailServiceType::outlook);
  EXPECT_EQ(EmailProviderCatalog::recognize("x@qq.com"), EmailServiceType::qq);
  EXPECT_FALSE(EmailProviderCatalog::recognize("x@gmail.com.evil.example"));
  EXPECT_FALSE(EmailProviderCatalog::recognize("gmail.com"));
  EXPECT_FALSE(EmailProviderCatalog::recognize(""));
}

}  // namespace
}  // namespace kestrova::mail
