// LibEtPanSMTPSession against the loopback SMTP server (which keeps every message with its
// envelope), and against scripted servers for what a real one will not do.
#include <gtest/gtest.h>
#include <libetpan/libetpan.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "mail/email_content_decoder.h"
#include "mail/libetpan_smtp_session.h"
#include "support/loopback.h"
#include "support/mail_servers.h"
#include "support/test_support.h"
#include "util/base64.h"

namespace kestrova::mail {
namespace {

using testing::MailServers;

// A loopback server for one connection: sends `greeting`, then one scripted reply per
// line the client sends; when the replies run out it hangs up.
class ScriptedSmtpServer {
 public:
  ScriptedSmtpServer(std::string greeting, std::vector<std::string> replies) {
    thread_ = std::thread([this, greeting = std::move(greeting), replies = std::move(replies)] {
      const int fd = listener_.accept();
      if (fd < 0) return;
      testing::send_all(fd, greeting);
      std::string buffer;
      for (const auto& reply : replies) {
        if (!testing::read_crlf_line(fd, buffer)) break;
        testing::send_all(fd, reply);
      }
      close(fd);
    });
  }
  ~ScriptedSmtpServer() {
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return listener_.port(); }

 private:
  testing::LoopbackListener listener_;
  std::thread thread_;
};

// The header lines of a message (continuation lines unfolded), up to the empty line.
std::vector<std::string> headers_of(const std::string& data) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (true) {
    const size_t end = data.find("\r\n", at);
    if (end == std::string::npos || end == at) return lines;
    std::string line = data.substr(at, end - at);
    if ((line[0] == ' ' || line[0] == '\t') && !lines.empty())
      lines.back() += line;
    else
      lines.push_back(line);
    at = end + 2;
  }
}

std::optional<std::string> header(const std::string& data, std::string_view name) {
  for (const auto& line : headers_of(data))
    if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == ':')
      return line.substr(name.size() + 2);
  return std::nullopt;
}

// The body of the MIME part that follows the `Content-Type: <type>` line in `data`, up to
// the next boundary line.
std::string part_body(const std::string& data, const std::string& type_line) {
  const size_t type = data.find(type_line);
  if (type == std::string::npos) return "<missing " + type_line + ">";
  const size_t start = data.find("\r\n\r\n", type) + 4;
  const size_t end = data.find("\r\n--", start);
  return data.substr(start, end - start);
}
std::string qp_part(const std::string& data, const std::string& type_line) {
  return EmailContentDecoder::decodeTransferEncoding(part_body(data, type_line),
                                                     "quoted-printable");
}

class SmtpSessionTest : public ::testing::Test {
 protected:
  std::unique_ptr<LibEtPanSMTPSession> session(int port, const std::string& encryption,
                                               const std::string& password = "") {
    auto smtp = LibEtPanSMTPSession::initWithHost(servers_.host, port, encryption, user_,
                                                  password.empty() ? servers_.password : password);
    smtp->setCertificateTrust({.caFile = servers_.ca_file.string()});
    return smtp;
  }
  std::unique_ptr<LibEtPanSMTPSession> logged_in(int port, const std::string& encryption) {
    auto smtp = session(port, encryption);
    LibEtPanError error;
    if (!smtp->connectWithError(&error) || !smtp->loginWithError(&error)) {
      ADD_FAILURE() << error.localizedDescription;
      return nullptr;
    }
    return smtp;
  }

  // The connect failure carries the error type, the detail and the code.
  static void expect_connect_failure(LibEtPanSMTPSession& smtp, int code, const std::string& type,
                                     const std::string& detail) {
    LibEtPanError error;
    EXPECT_FALSE(smtp.connectWithError(&error));
    EXPECT_EQ(error.code, code);
    EXPECT_EQ(error.domain(), "LibEtPanError");
    EXPECT_EQ(error.localizedDescription, type);
    EXPECT_EQ(error.localizedFailureReason, detail);
    EXPECT_EQ(error.libEtPanErrorCode, code);
  }

  testing::TempDir dir_;
  testing::ScopedHome home_{dir_.path()};
  const MailServers& servers_ = MailServers::shared();
  const std::string user_ = servers_.fresh_user();
};

TEST_F(SmtpSessionTest, SendsOverEveryEncryptionWithBccOnlyInTheEnvelope) {
  const std::tuple<std::string, int, std::string, bool> variants[] = {
      {"none", servers_.smtp_no_tls, "no_tls", false},
      {"startTLS", servers_.smtp_starttls, "starttls", true},
      {"ssl", servers_.smtp_ssl, "ssl", true}};
  const std::string attachment_bytes = std::string("\x00\xFF binary \r\n.\r\n", 15) + std::string(200, 'z');
  size_t sent = 0;
  for (const auto& [encryption, port, listener, tls] : variants) {
    SCOPED_TRACE(encryption);
    auto smtp = logged_in(port, encryption);
    ASSERT_TRUE(smtp);
    LibEtPanError error;
    std::string message_id;
    const std::string body = "Grüße = greetings\r\n.a line starting with a dot\r\n" + std::string(90, 'x');
    ASSERT_TRUE(smtp->sendMessageTo({"to1@example.org", "to2@example.org"},
                                    std::vector<std::string>{"cc@example.org"},
                                    std::vector<std::string>{"hidden@example.org"}, "季度报告 Q3",
                                    body, "<p>Grüße</p>",
                                    std::vector<OutgoingAttachment>{{attachment_bytes, "data.bin", std::nullopt}},
                                    /*readReceipt=*/true, &error, &message_id))
        << error.localizedDescription;
    smtp->disconnect();
    ++sent;

    const auto mails = servers_.received_from(user_);
    ASSERT_EQ(mails.size(), sent);
    const auto& mail = mails.back();
    EXPECT_EQ(mail.listener, listener);
    EXPECT_EQ(mail.tls, tls);
    EXPECT_EQ(mail.auth_user, user_);
    EXPECT_EQ(mail.rcpt_to,
              (std::vector<std::string>{"to1@example.org", "to2@example.org", "cc@example.org",
                                        "hidden@example.org"}));
    EXPECT_EQ(mail.data.find("hidden@example.org"), std::string::npos) << mail.data;
    for (const auto& line : headers_of(mail.data)) EXPECT_FALSE(line.starts_with("Bcc")) << line;

    EXPECT_EQ(header(mail.data, "From"), user_);
    EXPECT_EQ(header(mail.data, "To"), "to1@example.org, to2@example.org");
    EXPECT_EQ(header(mail.data, "Cc"), "cc@example.org");
    EXPECT_EQ(header(mail.data, "Subject"), "=?UTF-8?B?" + base64::encode("季度报告 Q3") + "?=");
    EXPECT_EQ(header(mail.data, "Message-ID"), message_id);
    EXPECT_TRUE(std::regex_match(message_id, std::regex("<[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}@kestrova\\.test>")))
        << message_id;
    const std::string date = header(mail.data, "Date").value_or("");
    EXPECT_TRUE(std::regex_match(
        date, std::regex("(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \\d\\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                         "20\\d\\d \\d\\d:\\d\\d:\\d\\d [+-]\\d{4}")))
        << date;
    EXPECT_EQ(header(mail.data, "Disposition-Notification-To"), user_);
    EXPECT_EQ(header(mail.data, "Return-Receipt-To"), user_);
    EXPECT_EQ(header(mail.data, "MIME-Version"), "1.0");

    // The bodies come back as they were written, dot-stuffing undone by the server.
    EXPECT_EQ(qp_part(mail.data, "Content-Type: text/plain; charset=UTF-8"), body);
    EXPECT_EQ(qp_part(mail.data, "Content-Type: text/html; charset=UTF-8"), "<p>Grüße</p>");
    const std::string encoded = part_body(mail.data, "Content-Type: application/octet-stream; name=\"data.bin\"");
    EXPECT_EQ(base64::decode(encoded), attachment_bytes);
    size_t line_start = 0;
    while (line_start < encoded.size()) {
      const size_t end = encoded.find("\r\n", line_start);
      const size_t length = (end == std::string::npos ? encoded.size() : end) - line_start;
      EXPECT_LE(length, 76u);
      if (end == std::string::npos) break;
      line_start = end + 2;
    }
  }
}

TEST_F(SmtpSessionTest, WrongPasswordFailsAfterBothMechanisms) {
  auto smtp = session(servers_.smtp_no_tls, "none", "wrong-password");
  ASSERT_TRUE(smtp->connectWithError());
  LibEtPanError error;
  EXPECT_FALSE(smtp->loginWithError(&error));
  EXPECT_NE(error.code, MAILSMTP_NO_ERROR);
  // The server's refusal follows the code.
  EXPECT_EQ(error.localizedDescription,
            "认证失败: " + std::to_string(error.code) + "（服务器: 535 5.7.8 Authentication credentials invalid）");
  EXPECT_FALSE(error.libEtPanErrorCode);
  EXPECT_TRUE(servers_.received_from(user_).empty());
}

TEST_F(SmtpSessionTest, ConnectionFailuresCarryTypeDetailAndCode) {
  {
    SCOPED_TRACE("STARTTLS against a server that does not offer it");
    auto smtp = session(servers_.smtp_no_tls, "startTLS");
    expect_connect_failure(*smtp, MAILSMTP_ERROR_STARTTLS_NOT_SUPPORTED, "STARTTLS 不支持或握手失败",
                           "服务器可能不支持 STARTTLS，或 SSL/TLS 握手失败。请尝试使用 SSL 直接连接（端口 465）。");
  }
  {
    SCOPED_TRACE("nobody listening");
    const int port = testing::closed_loopback_port();
    auto smtp = session(port, "none");
    const std::string refused = "无法连接 127.0.0.1:" + std::to_string(port) +
                                ": 连接被拒绝（该端口上没有服务在监听，请检查服务器地址和端口）";
    expect_connect_failure(*smtp, MAILSMTP_ERROR_CONNECTION_REFUSED, refused, refused);
  }
  {
    SCOPED_TRACE("TLS against a plain-text port, and plain text against a silent one");
    auto smtp = session(servers_.smtp_no_tls, "ssl");
    LibEtPanError error;
    EXPECT_FALSE(smtp->connectWithError(&error));
    EXPECT_EQ(error.code, MAILSMTP_ERROR_SSL);
    EXPECT_TRUE(error.localizedDescription.starts_with("TLS 握手失败"))
        << error.localizedDescription;
    EXPECT_NE(error.localizedFailureReason->find("请检查端口与加密方式是否匹配"), std::string::npos);

    ScriptedSmtpServer silent("", {""});
    smtp = LibEtPanSMTPSession::initWithHost("127.0.0.1", silent.port(), "none", "u", "p");
    smtp->setTimeout(std::chrono::milliseconds(200));
    EXPECT_FALSE(smtp->connectWithError(&error));
    EXPECT_EQ(error.code, MAILSMTP_ERROR_STREAM);
    EXPECT_EQ(error.localizedFailureReason,
              "等待服务器问候超时（0.2 秒内没有收到任何数据）；该端口可能要求 SSL/TLS（IMAP 通常 993，SMTP 通常 "
              "465），请检查端口与加密方式是否匹配");
  }
  {
    SCOPED_TRACE("hang-up in the middle of the greeting");
    ScriptedSmtpServer cut("220-smtp.example ESMTP", {});
    auto smtp = LibEtPanSMTPSession::initWithHost("127.0.0.1", cut.port(), "none", "u", "p");
    expect_connect_failure(*smtp, MAILSMTP_ERROR_STREAM, "流错误", "网络流错误，可能是网络连接中断。");
  }
  {
    SCOPED_TRACE("another protocol");
    ScriptedSmtpServer http("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", {});
    auto smtp = LibEtPanSMTPSession::initWithHost("127.0.0.1", http.port(), "none", "u", "p");
    expect_connect_failure(*smtp, MAILSMTP_ERROR_STREAM, "流错误", "网络流错误，可能是网络连接中断。");
  }
  {
    SCOPED_TRACE("hang-up in the middle of the EHLO answer");
    ScriptedSmtpServer cut("220 smtp.example ESMTP\r\n", {"250-smtp.example\r\n250-AUTH"});
    auto smtp = LibEtPanSMTPSession::initWithHost("127.0.0.1", cut.port(), "none", "u", "p");
    ASSERT_TRUE(smtp->connectWithError());
    LibEtPanError error;
    EXPECT_FALSE(smtp->loginWithError(&error));
    EXPECT_EQ(error.localizedDescription, "HELO/EHLO 失败: " + std::to_string(error.code));
  }
  {
    SCOPED_TRACE("a code without advice keeps its number in both texts");
    // A 421 greeting (service not available) is an unexpected code to the library.
    ScriptedSmtpServer busy("421 busy, try later\r\n", {});
    auto smtp = LibEtPanSMTPSession::initWithHost("127.0.0.1", busy.port(), "none", "u", "p");
    expect_connect_failure(*smtp, MAILSMTP_ERROR_UNEXPECTED_CODE,
                           "连接失败: " + std::to_string(MAILSMTP_ERROR_UNEXPECTED_CODE) + "（服务器: 421 busy, try later）",
                           "LibEtPan 错误代码: " + std::to_string(MAILSMTP_ERROR_UNEXPECTED_CODE));
  }
}

TEST_F(SmtpSessionTest, LineBreakInAnAddressIsRefusedBeforeTheTransaction) {
  auto smtp = logged_in(servers_.smtp_no_tls, "none");
  ASSERT_TRUE(smtp);
  LibEtPanError error;
  EXPECT_FALSE(smtp->sendMessageTo({"a@example.org\r\nRCPT TO:<evil@example.org>"}, std::nullopt,
                                   std::nullopt, "s", "b", std::nullopt, std::nullopt, false, &error));
  EXPECT_EQ(error.code, -1);
  EXPECT_EQ(error.localizedDescription, "添加收件人失败: a@example.org RCPT TO:<evil@example.org>, 错误: -1");
  EXPECT_FALSE(smtp->sendMessageTo({"a@example.org"}, std::nullopt,
                                   std::vector<std::string>{"b@example.org\nX"}, "s", "b", std::nullopt,
                                   std::nullopt, false, &error));
  EXPECT_EQ(error.localizedDescription, "添加BCC收件人失败: b@example.org X, 错误: -1");
  // The session is still good for a proper message.
  EXPECT_TRUE(smtp->sendMessageTo({"a@example.org"}, std::nullopt, std::nullopt, "s", "b", std::nullopt,
                                  std::nullopt, false, &error))
      << error.localizedDescription;
  const auto mails = servers_.received_from(user_);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"a@example.org"});
}

TEST_F(SmtpSessionTest, EveryOperationFailsAfterDisconnect) {
  auto smtp = logged_in(servers_.smtp_no_tls, "none");
  ASSERT_TRUE(smtp);
  smtp->disconnect();
  EXPECT_EQ(smtp->smtpSession(), nullptr);
  LibEtPanError errors[3];
  EXPECT_FALSE(smtp->connectWithError(&errors[0]));
  EXPECT_FALSE(smtp->loginWithError(&errors[1]));
  EXPECT_FALSE(smtp->sendMessageTo({"a@example.org"}, std::nullopt, std::nullopt, "s", "b", std::nullopt,
                                   std::nullopt, false, &errors[2]));
  for (const auto& error : errors) {
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.localizedDescription, "SMTP 会话未初始化");
  }
  smtp->disconnect();
}

}  // namespace
}  // namespace kestrova::mail
