#include "mail/outgoing_message.h"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <memory>

#include "mail/mail_address.h"
#include "util/base64.h"
#include "util/log.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::mail {

namespace {

constexpr std::string_view kComponent = "LibEtPan SMTP";
constexpr std::string_view kCrlf = "\r\n";
constexpr size_t kBase64LineLength = 76;
constexpr size_t kQuotedPrintableLineLength = 75;

constexpr size_t kFoldWidth = 78;  // RFC 5322 §2.1.1 recommended line length

enum class ListSeparator { comma, space };

// One header line of `items` separated by ", " or " ", folded before an item that would
// take the line past kFoldWidth (an item longer than that gets a line of its own).
std::string folded(std::string_view name, const std::vector<std::string>& items,
                   ListSeparator separator) {
  std::string out = std::string(name) + ": ";
  size_t line_start = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string item = single_line(items[i]);
    const bool last = i + 1 == items.size();
    const std::string piece = last || separator == ListSeparator::space ? item : item + ",";
    if (i > 0) {
      if (out.size() - line_start + 1 + piece.size() > kFoldWidth) {
        out += "\r\n";
        line_start = out.size();
      }
      out += ' ';
    }
    out += piece;
  }
  return out;
}

// The mailbox as the header writes it: "Name <address>" entries with their names encoded,
// anything else as it was given.
std::string header_mailbox(std::string_view entry) {
  if (auto mailbox = parse_mailbox(entry)) return format_mailbox(mailbox->name, mailbox->address);
  return single_line(entry);
}

std::vector<std::string> header_mailboxes(const std::vector<std::string>& entries) {
  std::vector<std::string> out;
  out.reserve(entries.size());
  for (const auto& entry : entries) out.push_back(header_mailbox(entry));
  return out;
}

bool is_ascii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// The right-hand side of the Message-ID: what follows the last "@" of the sender, or the
// whole sender when it has none.
std::string message_id_domain(std::string_view from) {
  const auto at = from.rfind('@');
  return std::string(at == std::string_view::npos ? from : from.substr(at + 1));
}

// Writes lines, each followed by CR LF.
class Lines {
 public:
  Lines& operator<<(std::string_view line) {
    text_ += line;
    text_ += kCrlf;
    return *this;
  }
  void raw(std::string_view text) { text_ += text; }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

void write_text_part(Lines& out, std::string_view subtype, std::string_view text) {
  out << "Content-Type: text/" + std::string(subtype) + "; charset=UTF-8"
      << "Content-Transfer-Encoding: quoted-printable"
      << "";
  out << quoted_printable_encode(text);
}

// RFC 2046 §5.1.4: the plain text and the HTML version of the same body, between
// `boundary` lines.
void write_alternative(Lines& out, std::string_view boundary, std::string_view plain,
                       std::string_view html) {
  const std::string delimiter = "--" + std::string(boundary);
  out << "Content-Type: multipart/alternative; boundary=\"" + std::string(boundary) + "\""
      << "" << delimiter;
  write_text_part(out, "plain", plain);
  out << delimiter;
  write_text_part(out, "html", html);
  out << delimiter + "--";
}

void write_attachment(Lines& out, std::string_view delimiter,
                      const OutgoingAttachment& attachment) {
  const std::string name =
      encode_mime_header_value(single_line(attachment.filename.value_or("attachment")));
  const std::string type = single_line(attachment.mimeType.value_or("application/octet-stream"));
  out << delimiter << "Content-Type: " + type + "; name=\"" + name + "\""
      << "Content-Transfer-Encoding: base64"
      << "Content-Disposition: attachment; filename=\"" + name + "\""
      << "";
  const std::string encoded = base64::encode(*attachment.data);
  for (size_t at = 0; at < encoded.size(); at += kBase64LineLength)
    out << std::string_view(encoded).substr(at, kBase64LineLength);
}

}  // namespace

MessageStamp MessageStamp::now() {
  return MessageStamp{format_message_date(now_seconds()), new_uuid(), new_uuid()};
}

BuiltMessage build_outgoing_message(const OutgoingMessage& message, const MessageStamp& stamp) {
  const std::string from = single_line(message.from);
  BuiltMessage built;
  built.messageId = "<" + stamp.messageUuid + "@" + message_id_domain(from) + ">";

  Lines out;
  out << "From: " + format_mailbox(message.fromName, from)
      << folded("To", header_mailboxes(message.to), ListSeparator::comma);
  if (!message.cc.empty()) out << folded("Cc", header_mailboxes(message.cc), ListSeparator::comma);
  out << "Subject: " + encode_mime_header(single_line(message.subject)) << "Date: " + stamp.date
      << "Message-ID: " + built.messageId;
  if (message.inReplyTo) {
    if (auto id = valid_message_id(*message.inReplyTo)) out << "In-Reply-To: " + *id;
  }
  std::vector<std::string> references;
  for (const auto& reference : message.references)
    if (auto id = valid_message_id(reference)) references.push_back(std::move(*id));
  if (!references.empty()) out << folded("References", references, ListSeparator::space);
  if (message.autoSubmitted) out << "Auto-Submitted: " + single_line(*message.autoSubmitted);
  if (message.readReceipt)
    out << "Disposition-Notification-To: " + from << "Return-Receipt-To: " + from;
  out << "MIME-Version: 1.0";

  const std::string boundary = "boundary_" + stamp.boundaryUuid;
  const bool has_html = message.htmlBody && !message.htmlBody->empty();
  if (!message.attachments.empty()) {
    const std::string delimiter = "--" + boundary;
    out << "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"" << "" << delimiter;
    if (has_html)
      write_alternative(out, "alt_boundary", message.body, *message.htmlBody);
    else
      write_text_part(out, "plain", message.body);
    for (const auto& attachment : message.attachments) {
      if (!attachment.data) {
        log_line("⚠️", kComponent,
                 "跳过无效附件: " + attachment.filename.value_or("unknown"));
        continue;
      }
      write_attachment(out, delimiter, attachment);
    }
    out << delimiter + "--";
  } else if (has_html) {
    write_alternative(out, boundary, message.body, *message.htmlBody);
  } else {
    out << "Content-Type: text/plain; charset=UTF-8"
        << "Content-Transfer-Encoding: quoted-printable"
        << "";
    out.raw(quoted_printable_encode(message.body));
  }
  built.text = out.take();
  return built;
}

std::string format_message_date(double seconds, std::optional<std::string_view> zone) {
  UErrorCode status = U_ZERO_ERROR;
  icu::SimpleDateFormat format(icu::UnicodeString("EEE, dd MMM yyyy HH:mm:ss Z", -1, US_INV),
                               icu::Locale("en_US_POSIX"), status);
  if (U_FAILURE(status)) return {};
  if (zone) {
    format.adoptTimeZone(icu::TimeZone::createTimeZone(
        icu::UnicodeString::fromUTF8(icu::StringPiece(zone->data(), static_cast<int32_t>(zone->size())))));
  } else {
    format.adoptTimeZone(icu::TimeZone::createDefault());
  }
  icu::UnicodeString formatted;
  format.format(seconds * 1000.0, formatted);
  std::string out;
  formatted.toUTF8String(out);
  return out;
}

std::string single_line(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool in_break = false;
  for (char c : text) {
    const bool line_break = c == '\r' || c == '\n';
    if (line_break && !in_break) out.push_back(' ');
    if (!line_break) out.push_back(c);
    in_break = line_break;
  }
  return out;
}

std::string encode_mime_header(std::string_view text) {
  if (is_ascii(text)) return std::string(text);
  return "=?UTF-8?B?" + base64::encode(text) + "?=";
}

std::string encode_mime_header_value(std::string_view text) {
  if (!is_ascii(text)) return encode_mime_header(text);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string quoted_printable_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    const bool literal = (byte >= 33 && byte <= 126 && byte != '=') || byte == ' ' ||
                         byte == '\t' || byte == '\r' || byte == '\n';
    if (literal) {
      out.push_back(c);
    } else {
      out.push_back('=');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
    // The count runs over the whole output (earlier soft breaks and hard line ends
    // included), so "=XX" triplets that step over a multiple of 75 make a longer line.
    if (out.size() % kQuotedPrintableLineLength == 0) out += "=\r\n";
  }
  return out;
}

}  // namespace kestrova::mail
