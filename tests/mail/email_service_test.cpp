// EmailService's session openers against the loopback Dovecot and SMTP servers: every
// failure is a typed error with its exact text.
#include "mail/email_service.h"

#include <gtest/gtest.h>
#include <libetpan/libetpan.h>

#include <stdexcept>

#include "platform/settings_store.h"
#include "support/loopback.h"
#include "support/mail_servers.h"
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
  EXPECT_EQ(std::string(e.what()),
            "连接失败: 无法连接 127.0.0.1:" + std::to_string(unreachable.imapPort) +
                ": 连接被拒绝（该端口上没有服务在监听，请检查服务器地址和端口）");
  e = thrown([&] { service_.openSMTPSession(unreachable, servers_.password); });
  EXPECT_EQ(e.kind(), EmailServiceError::Kind::connectionFailed);
  EXPECT_STREQ(e.what(), "连接失败: STARTTLS 不支持或握手失败");
}

}  // namespace
}  // namespace kestrova::mail
