#include "mail/email_service.h"

#include <functional>
#include <mutex>

#include "mail/oauth_token.h"
#include "platform/email_credential_store.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/time.h"

namespace kestrova::mail {

namespace {

using store::EmailAccount;

void log(std::string_view emoji, std::string_view message) {
  log_line(emoji, EmailService::kComponent, message);
}

// Session parameters shared by both protocols: the login name is the address, the
// encryption goes over as its raw name ("none", "ssl", "startTLS"); the certificate trust
// is the account's. A credential that is an OAuth token set logs in with XOAUTH2 and its
// access token; any other credential is the password.
template <typename Session>
std::unique_ptr<Session> createSession(const std::string& host, int port,
                                       store::EmailEncryption encryption,
                                       const EmailAccount& account, std::string_view password,
                                       CertificateTrust trust) {
  const auto tokens = OAuthTokenSet::parse(password);
  if (!tokens && OAuthTokenSet::isTokenSet(password))
    throw EmailServiceError::authenticationFailed(localized("mail.error.oauth_damaged"));
  auto session =
      Session::initWithHost(host, port, std::string(store::raw_value(encryption)),
                            account.emailAddress, tokens ? std::string() : std::string(password));
  if (session) {
    session->setCertificateTrust(std::move(trust));
    if (tokens) session->setOAuth2AccessToken(tokens->accessToken);
  }
  return session;
}

AccountCertificateTrust trustOf(const EmailAccount& account) {
  return AccountCertificateTrust::load(platform::SettingsStore::shared(), account.id,
                                       account.emailAddress);
}

std::unique_ptr<LibEtPanIMAPSession> createIMAPSession(const EmailAccount& account,
                                                       std::string_view password,
                                                       const AccountCertificateTrust& trust) {
  return createSession<LibEtPanIMAPSession>(account.imapHost, account.imapPort,
                                            account.imapEncryption, account, password, trust.imap);
}

std::unique_ptr<LibEtPanSMTPSession> createSMTPSession(const EmailAccount& account,
                                                       std::string_view password,
                                                       const AccountCertificateTrust& trust) {
  return createSession<LibEtPanSMTPSession>(account.smtpHost, account.smtpPort,
                                            account.smtpEncryption, account, password, trust.smtp);
}

// The texts of one stage of the connection test, in the interface language.
struct StageTexts {
  std::string name;
  std::string protocol;  // "IMAP" or "SMTP"
  std::string cannotCreate;
};

// The connection test waits this long for the connect, the greeting and the TLS handshake
// (instead of the usual 30 s), so that a wrong port/encryption pair, where the client and
// the server each wait for the other to speak first, is told within seconds.
constexpr std::chrono::seconds kTestGreetingTimeout{6};

// One stage: create, connect, log in, disconnect. Both session types offer the same
// three calls, so the stage is written once.
template <typename Session>
EmailConnectionStageResult runStage(const StageTexts& texts, std::unique_ptr<Session> session,
                                    const std::string& host, int port) {
  const std::string& protocol = texts.protocol;
  auto failed = [&](std::string detail) {
    return EmailConnectionStageResult{texts.name, false, std::move(detail)};
  };
  if (!session) return failed(texts.cannotCreate);

  log("🔌", "测试 " + protocol + " 连接: " + host + ":" + std::to_string(port));
  session->setGreetingTimeout(kTestGreetingTimeout);
  LibEtPanError error;
  if (!session->connectWithError(&error)) {
    session->disconnect();
    return failed(
        localized_format("mail.test.connect_failed", protocol, error.localizedDescription));
  }
  log(log_kind::kSuccess, protocol + " 连接成功");
  log("🔐", "测试 " + protocol + " 登录…");
  if (!session->loginWithError(&error)) {
    session->disconnect();
    return failed(localized_format("mail.test.login_failed", protocol, error.localizedDescription));
  }
  log(log_kind::kSuccess, protocol + " 登录成功");
  session->disconnect();
  return {texts.name, true, localized("mail.test.success")};
}

// A stage never lets an exception out: the report is the only outcome of the test.
EmailConnectionStageResult guarded(const StageTexts& texts,
                                   const std::function<EmailConnectionStageResult()>& stage) {
  try {
    return stage();
  } catch (const std::exception& e) {
    return {texts.name, false,
            localized_format("mail.test.connect_failed", texts.protocol, e.what())};
  }
}

bool missing(const std::optional<std::string>& password) { return !password || password->empty(); }

// The advice that goes with the two library codes a wrong port/encryption pair produces.
std::optional<std::string_view> connectionAdvice(int libEtPanCode) {
  if (libEtPanCode == 27)  // MAILSMTP_ERROR_SSL
    return "SSL/TLS 错误，请检查端口和加密方式是否匹配（SSL 通常用 465，STARTTLS 用 587）";
  if (libEtPanCode == 24)  // MAILSMTP_ERROR_STARTTLS_NOT_SUPPORTED
    return "STARTTLS 握手失败，可以尝试使用 SSL 直接连接（端口 465）";
  return std::nullopt;
}

}  // namespace

EmailService& EmailService::shared() {
  static EmailService service;
  static const bool bound = service.sharedDatabase_ = true;
  (void)bound;
  return service;
}

store::EmailDatabase* EmailService::database() const {
  if (database_ || !sharedDatabase_) return database_;
  return &store::EmailDatabase::shared();
}

EmailConnectionTestReport EmailService::testConnection(const EmailAccount& account,
                                                       std::string_view password,
                                                       const AccountCertificateTrust* given,
                                                       const StageObserver& stageDone) const {
  const StageTexts imap{localized("mail.test.stage.imap"), "IMAP",
                        localized("mail.test.cannot_create.imap")};
  const StageTexts smtp{localized("mail.test.stage.smtp"), "SMTP",
                        localized("mail.test.cannot_create.smtp")};
  EmailConnectionTestReport report;
  auto finish = [&](EmailConnectionStageResult stage) {
    report.stages.push_back(std::move(stage));
    if (stageDone) stageDone(report.stages.back());
  };
  std::string credential(password);
  try {
    credential = freshCredential(account, credential);
  } catch (const std::exception& e) {
    for (const StageTexts* texts : {&imap, &smtp})
      finish({texts->name, false,
              localized_format("mail.test.login_failed", texts->protocol, e.what())});
    return report;
  }
  password = credential;
  const AccountCertificateTrust trust = given ? *given : trustOf(account);
  finish(guarded(imap, [&] {
    return runStage(imap, createIMAPSession(account, password, trust), account.imapHost,
                    account.imapPort);
  }));
  finish(guarded(smtp, [&] {
    return runStage(smtp, createSMTPSession(account, password, trust), account.smtpHost,
                    account.smtpPort);
  }));
  return report;
}

std::unique_ptr<LibEtPanIMAPSession> EmailService::openIMAPSession(
    const EmailAccount& account, const std::optional<std::string>& password) const {
  if (missing(password))
    throw EmailServiceError::authenticationFailed(localized("mail.error.no_password"));
  auto session = createIMAPSession(account, freshCredential(account, *password), trustOf(account));
  if (!session) throw EmailServiceError::connectionFailed(localized("mail.error.no_imap_session"));
  session->setResyncExtensionsDisabled(resyncDisabled_);

  LibEtPanError error;
  if (!session->connectWithError(&error))
    throw EmailServiceError::connectionFailed(error.localizedDescription);
  log(log_kind::kSuccess, "IMAP 连接成功");
  if (!session->loginWithError(&error)) {
    session->disconnect();
    throw EmailServiceError::authenticationFailed(error.localizedDescription);
  }
  log(log_kind::kSuccess, "IMAP 登录成功");
  return session;
}

std::unique_ptr<LibEtPanSMTPSession> EmailService::openSMTPSession(
    const EmailAccount& account, const std::optional<std::string>& password) const {
  if (missing(password)) {
    log(log_kind::kFailure, "SMTP 密码未找到");
    throw EmailServiceError::authenticationFailed(localized("mail.error.no_password"));
  }
  log(log_kind::kMail, "正在创建 LibEtPan SMTP 会话对象...");
  auto session = createSMTPSession(account, freshCredential(account, *password), trustOf(account));
  if (!session) {
    log(log_kind::kFailure, "无法创建 SMTP 会话对象");
    throw EmailServiceError::connectionFailed(localized("mail.error.no_smtp_session"));
  }

  log(log_kind::kMail, "SMTP 会话对象创建成功，正在连接服务器...");
  LibEtPanError error;
  if (!session->connectWithError(&error)) {
    log(log_kind::kFailure, "SMTP 连接失败: " + error.localizedDescription);
    if (error.localizedFailureReason)
      log(log_kind::kFailure, "失败原因: " + *error.localizedFailureReason);
    if (error.libEtPanErrorCode) {
      log(log_kind::kFailure, "LibEtPan 错误代码: " + std::to_string(*error.libEtPanErrorCode));
      if (auto advice = connectionAdvice(*error.libEtPanErrorCode))
        log("💡", "建议: " + std::string(*advice));
    }
    throw EmailServiceError::connectionFailed(error.localizedDescription);
  }
  log(log_kind::kSuccess, "SMTP 连接成功");

  log(log_kind::kMail, "正在登录 SMTP 服务器...");
  if (!session->loginWithError(&error)) {
    log(log_kind::kFailure, "SMTP 登录失败: " + error.localizedDescription);
    log(log_kind::kFailure,
        "错误详情: " + error.localizedFailureReason.value_or(error.localizedDescription));
    log(log_kind::kFailure, "错误域: " + std::string(error.domain()) +
                                ", 错误代码: " + std::to_string(error.code));
    session->disconnect();
    throw EmailServiceError::authenticationFailed(error.localizedDescription);
  }
  log(log_kind::kSuccess, "SMTP 登录成功");
  log(log_kind::kSuccess, "SMTP 会话创建成功");
  return session;
}

std::optional<std::string> EmailService::storedPassword(const EmailAccount& account) const {
  if (!account.passwordKeychainIdentifier) return std::nullopt;
  try {
    return platform::EmailCredentialStore::shared().read(*account.passwordKeychainIdentifier);
  } catch (const platform::EmailCredentialError& e) {
    log(log_kind::kFailure, std::string("读取账户密码失败: ") + e.what());
    throw EmailServiceError::authenticationFailed(e.what());
  }
}

std::string EmailService::freshCredential(const EmailAccount& account,
                                          const std::string& credential) const {
  auto tokens = OAuthTokenSet::parse(credential);
  if (!tokens || !tokens->needsRefresh(now_seconds())) return credential;
  // One refresh at a time: a provider that hands out a new refresh token with every
  // refresh (Microsoft) invalidates the old one, so a second refresh must start from the
  // stored result of the first.
  static std::mutex refreshing;
  const std::lock_guard lock(refreshing);
  const auto& key = account.passwordKeychainIdentifier;
  if (key) {
    if (auto stored = OAuthTokenSet::parse(storedPassword(account).value_or(""));
        stored && !stored->needsRefresh(now_seconds()))
      return stored->serialize();
  }
  try {
    const OAuthTokenSet refreshed = OAuthTokenClient().refresh(*tokens, account.emailAddress);
    const std::string serialized = refreshed.serialize();
    if (key) platform::EmailCredentialStore::shared().save(serialized, *key);
    return serialized;
  } catch (const OAuthError& e) {
    log(log_kind::kFailure, e.what());
    throw EmailServiceError::authenticationFailed(e.what());
  } catch (const platform::EmailCredentialError& e) {
    throw EmailServiceError::authenticationFailed(
        localized_format("mail.error.token_not_saved", e.what()));
  }
}

}  // namespace kestrova::mail
