#include "mail/outgoing_message.h"

#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <memory>

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

std::string join(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (const auto& item : items) {
    if (!out.empty()) out += separator;
    out += single_line(item);
  }
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
  out << "From: " + from << "To: " + join(message.to, ", ");
  if (!message.cc.empty()) out << "Cc: " + join(message.cc, ", ");
  out << "Subject: " + encode_mime_header(single_line(message.subject))
      << "Date: " + stamp.date << "Message-ID: " + built.messageId;
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
