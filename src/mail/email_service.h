#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mail/email_connection_test.h"
#include "mail/email_service_error.h"
#include "mail/libetpan_imap_session.h"
#include "mail/libetpan_smtp_session.h"
#include "store/email_account.h"

namespace kestrova::mail {

// The account service: every conversation with an account's servers starts here. It
// opens authenticated IMAP and SMTP sessions from an account's settings and proves, in
// the connection test, that both servers can be reached with a password.
//
// All operations block on network I/O: call them from a background thread, never from
// the interface thread. Each operation uses sessions of its own, so the service may be
// used from several threads at once.
class EmailService {
 public:
  static constexpr std::string_view kComponent = "EmailService";

  // The one instance of the process, created on first use.
  static EmailService& shared();

  EmailService() = default;
  EmailService(const EmailService&) = delete;
  EmailService& operator=(const EmailService&) = delete;

  // Tries to connect and log in to the IMAP server, then (whatever the IMAP outcome) to
  // the SMTP server, each with a session of its own that is disconnected afterwards. No
  // mail is sent. Never throws: every failure becomes a failed stage.
  EmailConnectionTestReport testConnection(const store::EmailAccount& account,
                                           std::string_view password) const;

  // An IMAP session that is connected and logged in; the caller owns it and disconnects
  // it when done. Throws EmailServiceError: authenticationFailed("密码未找到") without a
  // password, connectionFailed when the server cannot be reached, authenticationFailed
  // when the login is refused.
  std::unique_ptr<LibEtPanIMAPSession> openIMAPSession(
      const store::EmailAccount& account, const std::optional<std::string>& password) const;

  // The same for SMTP (greeted and authenticated, ready for sendMessageTo).
  std::unique_ptr<LibEtPanSMTPSession> openSMTPSession(
      const store::EmailAccount& account, const std::optional<std::string>& password) const;

  // The account's password from the credential store, filed under its
  // passwordKeychainIdentifier; nothing when the account names no entry or none is stored.
  // A credential store that cannot be read throws authenticationFailed with its reason.
  std::optional<std::string> storedPassword(const store::EmailAccount& account) const;
};

}  // namespace kestrova::mail
