#include "mail/libetpan_smtp_session.h"

#include <libetpan/libetpan.h>
#include <unicode/unistr.h>

#include <cstdlib>

#include "mail/broken_pipe.h"
#include "mail/mail_address.h"
#include "mail/mail_proxy_settings.h"
#include "mail/mail_transport.h"
#include "mail/modified_utf7.h"
#include "platform/thread_priority.h"
#include "util/localization.h"
#include "util/log.h"

namespace kestrova::mail {

namespace {

constexpr std::string_view kComponent = "LibEtPan SMTP";
constexpr time_t kTimeoutSeconds = 30;

void log(std::string_view emoji, const std::string& message) {
  log_line(emoji, kComponent, message);
}

// Logs "❌ <message>" and reports the failure under `code`.
bool fail(LibEtPanError* error, int code, const std::string& message) {
  log("❌", message);
  set_error(error, LibEtPanError{code, message, std::nullopt, std::nullopt});
  return false;
}

bool fail_uninitialised(LibEtPanError* error, const std::string& log_message) {
  log("❌", log_message);
  set_error(error,
            LibEtPanError{-1, localized("mail.smtp.no_session"), std::nullopt, std::nullopt});
  return false;
}

// The user-facing kind and explanation of a failed connection, by libetpan result code.
std::pair<std::string, std::string> describe_connect_failure(int code) {
  switch (code) {
    case MAILSMTP_ERROR_STREAM:
      return {localized("mail.smtp.stream.type"), localized("mail.smtp.stream.detail")};
    case MAILSMTP_ERROR_HOSTNAME:
      return {localized("mail.smtp.hostname.type"), localized("mail.smtp.hostname.detail")};
    case MAILSMTP_ERROR_STARTTLS_TEMPORARY_FAILURE:
      return {localized("mail.smtp.starttls_temporary.type"),
              localized("mail.smtp.starttls_temporary.detail")};
    case MAILSMTP_ERROR_STARTTLS_NOT_SUPPORTED:
      return {localized("mail.smtp.starttls_unsupported.type"),
              localized("mail.smtp.starttls_unsupported.detail")};
    case MAILSMTP_ERROR_CONNECTION_REFUSED:
      return {localized("mail.smtp.refused.type"), localized("mail.smtp.refused.detail")};
    case MAILSMTP_ERROR_SSL:
      return {localized("mail.smtp.tls.type"), localized("mail.smtp.tls.detail")};
    default:
      return {localized_format("mail.smtp.other.type", code),
              localized_format("mail.smtp.other.detail", code)};
  }
}

// Reports the user's mail proxy; the transport connects through it (mail/mail_transport.h).
void log_proxy_settings(const MailProxySettings& proxy) {
  if (!proxy.enabled) {
    log("🔌", "未启用代理");
    return;
  }
  log("🔌", "使用代理: " + proxy.url());
}

std::string join(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += ", ";
    out += item;
  }
  return out;
}

bool has_line_break(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

// Text length as the user interface counts it (UTF-16 code units).
size_t utf16_length(std::string_view text) {
  return static_cast<size_t>(
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))
          .length());
}

// The envelope address of each header entry ("Name <address>" or a bare address).
std::vector<std::string> envelope_addresses(const std::vector<std::string>& entries) {
  std::vector<std::string> out;
  out.reserve(entries.size());
  for (const auto& entry : entries) {
    auto mailbox = parse_mailbox(entry);
    out.push_back(mailbox ? mailbox->address : entry);
  }
  return out;
}

const std::vector<std::string>& or_empty(const std::optional<std::vector<std::string>>& list) {
  static const std::vector<std::string> kEmpty;
  return list ? *list : kEmpty;
}

// The texts of one kind of recipient (To, Cc, Bcc) in the RCPT phase.
struct RecipientKind {
  const std::vector<std::string>& addresses;
  std::string_view step;            // step log, or empty for To
  std::string_view each_prefix;     // "添加收件人: " ...
  std::string_view failure_key;     // the failure's localisation key
  std::string_view success;         // "收件人添加成功" ...
};

}  // namespace

void LibEtPanSMTPSession::HandleRelease::operator()(mailsmtp* smtp) const {
  if (!smtp) return;
  if (smtp->stream) mailsmtp_quit(smtp);
  mailsmtp_free(smtp);
}

LibEtPanSMTPSession::LibEtPanSMTPSession(mailsmtp* smtp, std::string host, int64_t port,
                                         std::string encryption, std::string username,
                                         std::string password)
    : smtp_(smtp),
      host_(std::move(host)),
      port_(port),
      encryption_(std::move(encryption)),
      username_(std::move(username)),
      password_(std::move(password)),
      timeout_(MailTransport::kDefaultTimeout) {}

LibEtPanSMTPSession::~LibEtPanSMTPSession() { disconnect(); }

std::string LibEtPanSMTPSession::failureCause(int code) const {
  if (transport_) {
    if (auto problem = transport_->problem()) return problem->text;
  }
  const mailsmtp* smtp = smtp_.get();
  const bool transportFailure = code == MAILSMTP_ERROR_STREAM || code == MAILSMTP_ERROR_MEMORY ||
                                code == MAILSMTP_ERROR_SSL ||
                                code == MAILSMTP_ERROR_CONNECTION_REFUSED ||
                                code == MAILSMTP_ERROR_HOSTNAME || code < 0;
  if (transportFailure || !smtp || smtp->response_code < 400 || !smtp->response) return "";
  return localized_format(
      "mail.smtp.server_said",
      quoted_server_text(std::to_string(smtp->response_code) + " " + smtp->response));
}

bool LibEtPanSMTPSession::fail(LibEtPanError* error, int code, const std::string& message) const {
  const std::string cause = failureCause(code);
  return kestrova::mail::fail(
      error, code,
      cause.empty() ? message : message + localized_format("mail.error.detail", cause));
}

std::unique_ptr<LibEtPanSMTPSession> LibEtPanSMTPSession::initWithHost(std::string host,
                                                                       int64_t port,
                                                                       std::string encryption,
                                                                       std::string username,
                                                                       std::string password) {
  ignore_broken_pipe_signal();
  mailsmtp* smtp = mailsmtp_new(0, nullptr);
  if (!smtp) return nullptr;
  mailsmtp_set_timeout(smtp, kTimeoutSeconds);
  log("📧", "已设置连接超时: 30秒");
  return std::unique_ptr<LibEtPanSMTPSession>(
      new LibEtPanSMTPSession(smtp, std::move(host), port, std::move(encryption),
                              std::move(username), std::move(password)));
}

bool LibEtPanSMTPSession::connectWithError(LibEtPanError* error) {
  if (!smtp_) return fail_uninitialised(error, "会话未初始化");
  platform::lower_thread_to_utility_priority();
  log("🔌", "尝试连接: " + host_ + " 端口 " + std::to_string(port_) + " 加密方式 " + encryption_);
  log_proxy_settings(MailProxySettings::load());

  log("🔌", "开始连接，主机: " + host_ + ", 端口: " + std::to_string(static_cast<uint16_t>(port_)));
  const int result = openConnection();
  if (result == MAILSMTP_NO_ERROR) {
    transport_->setTimeout(timeout_);  // the answers after the greeting get the full limit
    log("✅", "连接成功");
    return true;
  }

  auto [type, detail] = describe_connect_failure(result);
  // A broken connection's cause, in words, replaces the generic texts; a refusal is added
  // to the type.
  if (const std::string cause = failureCause(result); !cause.empty()) {
    const bool broken = transport_ && transport_->problem();
    type = broken ? cause : type + localized_format("mail.error.detail", cause);
    if (broken) detail = cause;
  }
  log("❌", "连接失败，错误代码: " + std::to_string(result));
  log("❌", "错误类型: " + type);
  log("❌", "错误详情: " + detail);
  set_error(error, LibEtPanError{result, std::move(type), std::move(detail), result});
  return false;
}

int LibEtPanSMTPSession::openConnection() {
  const bool implicitTls = encryption_ == "ssl";
  if (implicitTls)
    log("🔌", "使用 SSL 加密连接");
  else if (encryption_ == "startTLS")
    log("🔌", "使用 STARTTLS 连接");
  else
    log("🔌", "使用无加密连接");
  CertificateTrust trust = trust_;
  if (trust.trustCommand.empty())
    trust.trustCommand = AccountCertificateTrust::trustCommandFor("ACCOUNT", false);
  transport_ =
      std::make_unique<MailTransport>(MailProtocol::smtp, host_, static_cast<uint16_t>(port_),
                                      greetingTimeout_.value_or(timeout_), std::move(trust));
  mailstream* stream = transport_->open(implicitTls);
  if (!stream)
    return transport_->tlsFailed() ? MAILSMTP_ERROR_SSL : MAILSMTP_ERROR_CONNECTION_REFUSED;
  // Takes the stream, and closes it when the greeting fails.
  int result = mailsmtp_connect(smtp_.get(), stream);
  if (encryption_ != "startTLS" || result != MAILSMTP_NO_ERROR) return result;
  log("🔌", "Socket 连接成功，开始 STARTTLS 握手");
  // RFC 3207: STARTTLS is only known to be offered after EHLO lists it.
  mailesmtp_ehlo(smtp_.get());
  result = mailesmtp_starttls(smtp_.get());
  if (result != MAILSMTP_NO_ERROR) return result;
  return transport_->startTls(smtp_->stream) ? MAILSMTP_NO_ERROR : MAILSMTP_ERROR_SSL;
}

bool LibEtPanSMTPSession::loginWithError(LibEtPanError* error) {
  if (!smtp_) return fail_uninitialised(error, "登录失败: 会话未初始化");
  platform::lower_thread_to_utility_priority();
  log("🔐", "开始登录，用户名: " + username_);

  log("🔐", "步骤 1: 发送 EHLO 命令");
  int result = mailesmtp_ehlo(smtp_.get());
  if (result == MAILSMTP_NO_ERROR) {
    log("✅", "EHLO 成功");
  } else {
    log("⚠️", "EHLO 失败 (代码: " + std::to_string(result) + ")，尝试 HELO");
    result = mailsmtp_helo(smtp_.get());
    if (result != MAILSMTP_NO_ERROR)
      return fail(error, result, localized_format("mail.smtp.failed.helo", result));
    log("✅", "HELO 成功");
  }

  log("🔐", "步骤 2: 执行认证");
  // No server name, address pair or realm: LOGIN and PLAIN need none of them.
  auto authenticate = [&](const char* mechanism) {
    return mailesmtp_auth_sasl(smtp_.get(), mechanism, nullptr, nullptr, nullptr, username_.c_str(),
                               username_.c_str(), password_.c_str(), nullptr);
  };
  if (oauth2AccessToken_) {
    result =
        mailsmtp_oauth2_authenticate(smtp_.get(), username_.c_str(), oauth2AccessToken_->c_str());
    if (result != MAILSMTP_NO_ERROR)
      return fail(error, result, localized_format("mail.smtp.failed.xoauth2", result));
    log("✅", "XOAUTH2 认证成功");
    return true;
  }
  result = authenticate("LOGIN");
  if (result == MAILSMTP_NO_ERROR) {
    log("✅", "LOGIN 认证成功");
  } else {
    log("⚠️", "LOGIN 认证失败 (代码: " + std::to_string(result) + ")，尝试 PLAIN 认证");
    result = authenticate("PLAIN");
    if (result != MAILSMTP_NO_ERROR) {
      std::string message = localized_format("mail.smtp.failed.auth", result);
      if (const std::string cause = failureCause(result); !cause.empty())
        message += localized_format("mail.error.detail", cause);
      log("❌", "认证失败，错误代码: " + std::to_string(result));
      log("❌", "错误信息: " + message);
      log("💡", "提示: 如果您使用 Gmail，请确保使用应用专用密码");
      set_error(error, LibEtPanError{result, message, std::nullopt, std::nullopt});
      return false;
    }
    log("✅", "PLAIN 认证成功");
  }
  log("✅", "登录成功");
  return true;
}

bool LibEtPanSMTPSession::sendMessageTo(
    const std::vector<std::string>& to, const std::optional<std::vector<std::string>>& cc,
    const std::optional<std::vector<std::string>>& bcc, std::string_view subject,
    std::string_view body, const std::optional<std::string>& htmlBody,
    const std::optional<std::vector<OutgoingAttachment>>& attachments, bool readReceipt,
    LibEtPanError* error, std::string* messageId) {
  OutgoingMessage message{username_,
                          to,
                          or_empty(cc),
                          std::string(subject),
                          std::string(body),
                          htmlBody,
                          attachments.value_or(std::vector<OutgoingAttachment>{}),
                          readReceipt};
  BuiltMessage built;
  if (!sendMessage(std::move(message), or_empty(bcc), error, &built)) return false;
  if (messageId) *messageId = built.messageId;
  return true;
}

bool LibEtPanSMTPSession::sendMessage(OutgoingMessage message, const std::vector<std::string>& bcc,
                                      LibEtPanError* error, BuiltMessage* built) {
  if (!smtp_) return fail_uninitialised(error, "发送失败: 会话未初始化");
  platform::lower_thread_to_utility_priority();
  mailsmtp* smtp = smtp_.get();
  message.from = username_;
  const auto to = envelope_addresses(message.to);
  const auto cc_list = envelope_addresses(message.cc);
  const auto& bcc_list = bcc;

  log("📧", "开始发送邮件");
  log("📧", "发件人: " + single_line(username_));
  log("📧", "收件人: " + single_line(join(to)));
  if (!cc_list.empty()) log("📧", "抄送: " + single_line(join(cc_list)));
  if (!bcc_list.empty()) log("📧", "密送: " + single_line(join(bcc_list)));
  log("📧", "主题: " + single_line(message.subject));
  log("📧", "正文长度: " + std::to_string(utf16_length(message.body)) + " 字符");
  if (message.htmlBody)
    log("📧", "HTML 正文长度: " + std::to_string(utf16_length(*message.htmlBody)) + " 字符");
  if (!message.attachments.empty()) {
    log("📧", "附件数量: " + std::to_string(message.attachments.size()));
    for (const auto& attachment : message.attachments)
      log("📧", "附件: " + single_line(attachment.filename.value_or("unknown")) + " (" +
                   single_line(attachment.mimeType.value_or("application/octet-stream")) + ", " +
                   std::to_string(attachment.data ? attachment.data->size() : 0) + " 字节)");
  }

  const RecipientKind kinds[] = {
      {to, "", "添加收件人: ", "mail.smtp.failed.rcpt", "收件人添加成功"},
      {cc_list, "步骤 2.1: 添加 CC 收件人", "添加 CC 收件人: ", "mail.smtp.failed.rcpt_cc",
       "CC 收件人添加成功"},
      {bcc_list, "步骤 2.2: 添加 BCC 收件人", "添加 BCC 收件人: ", "mail.smtp.failed.rcpt_bcc",
       "BCC 收件人添加成功"},
  };
  // libetpan writes envelope addresses into the command line as they are, so a line break
  // in one would start a command of its own. Such a send is refused before MAIL FROM.
  if (has_line_break(username_))
    return fail(error, -1, localized_format("mail.smtp.failed.sender", -1));
  for (const auto& kind : kinds)
    for (const auto& address : kind.addresses)
      if (has_line_break(address))
        return fail(error, -1, localized_format(kind.failure_key, single_line(address), -1));

  // RFC 5321 §3.3: one MAIL/RCPT/DATA transaction per message.
  log("📧", "步骤 1: 设置发件人");
  const bool extended = smtp->esmtp != 0;
  int result = extended ? mailesmtp_mail(smtp, username_.c_str(), 1, nullptr)
                        : mailsmtp_mail(smtp, username_.c_str());
  if (result != MAILSMTP_NO_ERROR)
    return fail(error, result, localized_format("mail.smtp.failed.sender", result));
  log("✅", "发件人设置成功");

  log("📧", "步骤 2: 添加收件人");
  for (const auto& kind : kinds) {
    const bool is_to = kind.step.empty();
    if (!is_to && kind.addresses.empty()) continue;
    if (!is_to) log("📧", std::string(kind.step));
    for (const auto& address : kind.addresses) {
      log("📧", std::string(kind.each_prefix) + address);
      result = extended ? mailesmtp_rcpt(smtp, address.c_str(), 0, nullptr)
                        : mailsmtp_rcpt(smtp, address.c_str());
      if (result != MAILSMTP_NO_ERROR)
        return fail(error, result, localized_format(kind.failure_key, address, result));
    }
    log("✅", std::string(kind.success));
  }

  log("📧", "步骤 3: 开始数据阶段");
  result = mailsmtp_data(smtp);
  if (result != MAILSMTP_NO_ERROR)
    return fail(error, result, localized_format("mail.smtp.failed.data", result));
  log("✅", "数据阶段开始成功");

  log("📧", "步骤 4: 构建 MIME 消息");
  BuiltMessage sent = build_outgoing_message(message, MessageStamp::now());

  log("📧", "步骤 5: 发送消息数据");
  log("📧", "消息大小: " + std::to_string(sent.text.size()) + " 字节");
  // libetpan dot-stuffs the text and writes the terminating "." line.
  result = mailsmtp_data_message(smtp, sent.text.data(), sent.text.size());
  if (result != MAILSMTP_NO_ERROR) {
    log("❌", "错误代码: " + std::to_string(result));
    return fail(error, result, localized_format("mail.smtp.failed.send", result));
  }
  log("✅", "邮件发送成功");
  if (built) *built = std::move(sent);
  return true;
}

void LibEtPanSMTPSession::disconnect() { smtp_.reset(); }

std::string LibEtPanSMTPSession::encodeMimeHeader(std::string_view text) {
  return encode_mime_header(text);
}

std::string LibEtPanSMTPSession::encodeMimeHeaderValue(std::string_view text) {
  return encode_mime_header_value(text);
}

std::string LibEtPanSMTPSession::quotedPrintableEncode(std::string_view text) {
  return quoted_printable_encode(text);
}

std::string LibEtPanSMTPSession::encodeModifiedUTF7(std::string_view text) {
  return encode_modified_utf7(text);
}

}  // namespace kestrova::mail
