#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::mail {

// One attachment of an outgoing message. An entry without data is skipped when sending.
struct OutgoingAttachment {
  std::optional<std::string> data;      // the bytes
  std::optional<std::string> filename;  // "attachment" in the message when absent
  std::optional<std::string> mimeType;  // "application/octet-stream" when absent
};

// Everything the sender chose for one message. `from` is the account's username; with a
// `fromName` the From header carries it as "Name <address>" (RFC 2047 encoded when not
// ASCII). To and Cc entries are bare addresses or "Name <address>" mailboxes. Bcc
// recipients are not part of it because they are named nowhere in the message (the SMTP
// envelope carries them).
struct OutgoingMessage {
  std::string from;
  std::vector<std::string> to;
  std::vector<std::string> cc;
  std::string subject;
  std::string body;
  std::optional<std::string> htmlBody;         // an empty text counts as none
  std::vector<OutgoingAttachment> attachments;  // any entry makes the message multipart/mixed
  bool readReceipt = false;
  std::string fromName{};                    // the account's display name; empty: bare address
  std::optional<std::string> inReplyTo{};    // RFC 5322 §3.6.4, the answered message's msg-id
  std::vector<std::string> references{};     // msg-ids of the thread, oldest first
  std::optional<std::string> autoSubmitted{};  // RFC 3834 §5, e.g. "auto-replied"
};

// The parts of a message that change every time one is written: tests fix them to compare
// whole messages byte for byte.
struct MessageStamp {
  std::string date;          // the Date header value
  std::string messageUuid;   // left-hand side of the Message-ID
  std::string boundaryUuid;  // the outer MIME boundary is "boundary_" + this

  // The current local time and two new upper-case UUIDs.
  static MessageStamp now();
};

struct BuiltMessage {
  std::string text;       // the RFC 5322 message, lines ending in CR LF
  std::string messageId;  // the Message-ID header value, angle brackets included
};

// Writes the header block and the MIME body (plain text; plain plus HTML alternative;
// either of those plus Base64 attachments). Header values never carry a line break of
// their own: each run of CR and LF in an address, a name, the subject, a file name or a
// MIME type becomes one space, so a crafted value cannot add header lines. Address lists
// and References are folded (RFC 5322 §2.2.3) so that a long list keeps lines short;
// In-Reply-To and References keep only well-formed msg-ids. Logs each skipped attachment.
BuiltMessage build_outgoing_message(const OutgoingMessage& message, const MessageStamp& stamp);

// "EEE, dd MMM yyyy HH:mm:ss Z" in English (e.g. "Sat, 05 Dec 2026 18:01:21 +0000") for
// `seconds` since 1970 UTC, in the local time zone or the IANA zone `zone`.
std::string format_message_date(double seconds, std::optional<std::string_view> zone = std::nullopt);

// `text` with each run of CR and LF characters replaced by one space.
std::string single_line(std::string_view text);

// RFC 2047 §4.1: text with any byte of 0x80 or above becomes one "=?UTF-8?B?...?=" encoded
// word holding the whole text (no folding); ASCII text stays as it is.
std::string encode_mime_header(std::string_view text);
// For quoted parameters (name="..."): non-ASCII text as encode_mime_header, ASCII text
// with '"' and '\' escaped by a backslash.
std::string encode_mime_header_value(std::string_view text);
// RFC 2045 §6.7 quoted-printable over the UTF-8 bytes. Printable ASCII other than '=',
// space, tab, CR and LF are written as they are, every other byte as "=XX". After each
// input byte, whenever the output written so far is a positive multiple of 75 characters
// long, the soft line break "=\r\n" follows.
std::string quoted_printable_encode(std::string_view text);

}  // namespace kestrova::mail
