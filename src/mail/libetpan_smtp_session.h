#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/certificate_trust.h"
#include "mail/libetpan_error.h"
#include "mail/outgoing_message.h"

struct mailsmtp;

namespace kestrova::mail {

class MailTransport;

// A blocking SMTP client over libetpan that also writes the outgoing message (RFC 5322
// header block and MIME body) itself. One instance per connection, one thread at a time.
// The username is also the sender address.
//
// Calling order: create, connectWithError, loginWithError, sendMessageTo (once per
// message), disconnect; destruction disconnects.
class LibEtPanSMTPSession {
 public:
  // Nothing when libetpan cannot create its client handle. Sets a 30-second network
  // timeout on the handle.
  static std::unique_ptr<LibEtPanSMTPSession> initWithHost(std::string host, int64_t port,
                                                           std::string encryption,
                                                           std::string username,
                                                           std::string password);
  ~LibEtPanSMTPSession();
  LibEtPanSMTPSession(const LibEtPanSMTPSession&) = delete;
  LibEtPanSMTPSession& operator=(const LibEtPanSMTPSession&) = delete;

  mailsmtp* smtpSession() const { return smtp_.get(); }
  const std::string& host() const { return host_; }
  int64_t port() const { return port_; }
  const std::string& encryption() const { return encryption_; }
  const std::string& username() const { return username_; }

  // Set before connecting; as for the IMAP session (30 seconds by default).
  void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  // As for the IMAP session: a shorter limit for the connect, greeting and TLS handshake.
  void setGreetingTimeout(std::chrono::milliseconds timeout) { greetingTimeout_ = timeout; }
  void setCertificateTrust(CertificateTrust trust) { trust_ = std::move(trust); }
  // Set before logging in: the login then authenticates with SASL XOAUTH2 and this bearer
  // token instead of LOGIN/PLAIN with the password.
  void setOAuth2AccessToken(std::string token) { oauth2AccessToken_ = std::move(token); }

  // Connection failures carry the error type as description, the detail as failure
  // reason and the library code under "LibEtPanErrorCode".
  bool connectWithError(LibEtPanError* error = nullptr);
  // EHLO (HELO as fall-back), then SASL LOGIN, then PLAIN (XOAUTH2 with a token).
  bool loginWithError(LibEtPanError* error = nullptr);
  // One MAIL/RCPT/DATA transaction. Bcc recipients get the message but are named nowhere
  // in it. `messageId`, when given, receives the Message-ID header value that was sent.
  bool sendMessageTo(const std::vector<std::string>& to,
                     const std::optional<std::vector<std::string>>& cc,
                     const std::optional<std::vector<std::string>>& bcc, std::string_view subject,
                     std::string_view body, const std::optional<std::string>& htmlBody,
                     const std::optional<std::vector<OutgoingAttachment>>& attachments,
                     bool readReceipt, LibEtPanError* error = nullptr,
                     std::string* messageId = nullptr);
  // The same transaction for a message with every header field the caller chose (display
  // name, threading headers, Auto-Submitted). The sender is always the session's username.
  // To and Cc entries may be "Name <address>" mailboxes: the envelope gets the address.
  // `built`, when given, receives the message exactly as sent (for the sent-folder copy).
  bool sendMessage(OutgoingMessage message, const std::vector<std::string>& bcc,
                   LibEtPanError* error = nullptr, BuiltMessage* built = nullptr);
  void disconnect();

  // Header encoders: one UTF-8 Base64 encoded word for non-ASCII text, else the text
  // (encodeMimeHeaderValue also escapes '"' and '\' in ASCII text for quoted parameters).
  static std::string encodeMimeHeader(std::string_view text);
  static std::string encodeMimeHeaderValue(std::string_view text);
  static std::string quotedPrintableEncode(std::string_view text);
  static std::string encodeModifiedUTF7(std::string_view text);

 private:
  LibEtPanSMTPSession(mailsmtp* smtp, std::string host, int64_t port, std::string encryption,
                      std::string username, std::string password);

  // Connects, reads the greeting and (for "startTLS") upgrades; the libetpan result code.
  int openConnection();
  // Why the connection was given up, or the server's refusal ("535 …") after a failed
  // command; empty when there is neither.
  std::string failureCause(int code) const;
  // Logs "❌ <message>" and records the failure, the cause added to the description.
  bool fail(LibEtPanError* error, int code, const std::string& message) const;

  // Releasing the handle sends QUIT first when connected.
  struct HandleRelease {
    void operator()(mailsmtp* smtp) const;
  };
  std::unique_ptr<mailsmtp, HandleRelease> smtp_;
  std::string host_;
  int64_t port_ = 0;
  std::string encryption_;
  std::string username_;
  std::string password_;
  std::optional<std::string> oauth2AccessToken_;
  std::chrono::milliseconds timeout_;
  std::optional<std::chrono::milliseconds> greetingTimeout_;
  CertificateTrust trust_;
  std::unique_ptr<MailTransport> transport_;
};

}  // namespace kestrova::mail
