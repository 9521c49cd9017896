#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "mail/certificate_trust.h"

struct _mailstream;

namespace kestrova::mail {

enum class MailProtocol { imap, smtp };

// Why a connection was given up, in words for the user.
struct TransportProblem {
  enum class Kind {
    unreachable,   // no connection: refused, no route, unknown host name
    timedOut,      // no byte within the time limit (connect, greeting, handshake, answer)
    tlsHandshake,  // the TLS handshake failed
    certificate,   // the server's certificate is not trusted
    tooLarge,      // a line, a literal or an answer beyond its cap
    tooDeep,       // an answer nested deeper than any real one
    injection,     // bytes sent ahead of the TLS handshake after STARTTLS
    cancelled,     // the process was asked to stop while the server kept silent
    proxy,         // the user's proxy could not be reached or refused the connection
    unreadable,    // libetpan could not parse an answer and lost its place in the stream
  };
  Kind kind;
  std::string text;
};

// The network connection under one IMAP or SMTP session, handed to libetpan as its
// low-level stream. It replaces libetpan's own socket and TLS code so that:
// - every wait (connect, greeting, TLS handshake, each answer) is bounded: the time limit
//   counts from the last byte, so a slow but living server is fine and a silent one is not;
//   once the process is asked to stop (platform::CancellationToken::process()), a silent
//   server is given up within a quarter of a second;
// - TLS (GnuTLS) checks the server's certificate chain against the system's certificate
//   authorities and the host name (RFC 6125) right after the handshake, before libetpan
//   reads the greeting or sends anything, so no credential ever reaches an unverified
//   server; a CertificateTrust can add one certificate or more authorities;
// - what an IMAP server sends is checked as it arrives (see mail_transport.cpp): lines,
//   literals and whole answers are capped, nesting is bounded, and the answers known to
//   crash libetpan 1.9.4 are made harmless. Message bytes pass through unchanged.
// - the end of the stream is reported as the failure it is (libetpan otherwise reads a
//   literal from a closed connection for ever).
// One transport serves one session; its problem and refusal outlive the stream.
class MailTransport {
 public:
  static constexpr std::chrono::milliseconds kDefaultTimeout = std::chrono::seconds(30);

  MailTransport(MailProtocol protocol, std::string host, uint16_t port,
                std::chrono::milliseconds timeout, CertificateTrust trust);
  ~MailTransport();
  MailTransport(const MailTransport&) = delete;
  MailTransport& operator=(const MailTransport&) = delete;

  // A connected stream, with TLS from the first byte when `tls`, for libetpan to take over
  // (mailimap_connect / mailsmtp_connect). Nothing when it failed: problem() says why
  // unless the server could simply not be reached, and tlsFailed() tells the TLS part from
  // the connect.
  _mailstream* open(bool tls);
  bool tlsFailed() const;
  // Changes the time limit of every later wait (a connection test waits less for the
  // greeting than for the answers after it).
  void setTimeout(std::chrono::milliseconds timeout);
  // Continues `stream` over TLS once the server accepted STARTTLS (RFC 3501 §6.2.1, RFC
  // 3207). False when the handshake or the certificate failed, or when the server had sent
  // more than its answer to STARTTLS (such bytes would be taken as if they came over TLS).
  bool startTls(_mailstream* stream);

  // Ends the connection after libetpan could not parse an answer. Its parser stops where it
  // failed, so the rest of that answer would be read as the answers to later commands
  // (LOGOUT included), out of step with these checks; nothing more is sent or read.
  void abandonUnreadable();
  // Why the connection was given up; nothing while it is fine or when it was only closed.
  std::optional<TransportProblem> problem() const;
  // IMAP: the text of the server's refusal (a tagged NO or BAD, or a BYE) to the last
  // command sent, cleaned up for display; nothing when there was none.
  std::optional<std::string> refusal() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

// A server's text fit for an error message: one line of at most 300 characters.
std::string quoted_server_text(std::string_view raw);

// The time limit as people read it, in the interface language: "30 秒", "0.2 秒" ("30 s").
std::string seconds_text(std::chrono::milliseconds limit);

}  // namespace kestrova::mail
