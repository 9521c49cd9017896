#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/email_contact.h"

namespace kestrova::mail {

// One attachment found while decoding a message.
struct EmailAttachmentMeta {
  std::string partPath;  // IMAP part number "2", "1.2" (usable with BODY.PEEK[<partPath>])
  std::string filename;
  std::string mimeType;  // lower-case "type/subtype"; "application/octet-stream" when none
  int64_t size = 0;      // decoded bytes
  std::optional<std::string> contentId;  // without angle brackets
  bool isInline = false;
  std::optional<std::string> encoding;  // transfer encoding as written, lower-cased ("base64")
  std::optional<std::string> charset;
  bool operator==(const EmailAttachmentMeta&) const = default;
};

// A decoded message body.
struct EmailBodyContent {
  std::optional<std::string> textBody;  // UTF-8
  std::optional<std::string> htmlBody;  // UTF-8
  bool containsRemoteResources = false;
  int64_t originalSize = 0;  // bytes of the raw input given to decode()
  bool wasTruncated = false;  // decode() leaves it false; the caller that truncates sets it
  std::vector<EmailAttachmentMeta> attachments;
};

// Headers of a raw message, decoded (used by import and by tests).
struct DecodedHeaders {
  std::string subject;                      // RFC 2047 decoded, unfolded
  std::optional<store::EmailContact> from;  // decoded display name + address
  std::vector<store::EmailContact> to, cc, replyTo;
  std::optional<std::string> date;       // the Date header text as written (unfolded)
  std::optional<std::string> messageId;  // as written, angle brackets kept
  std::optional<std::string> inReplyTo;
};

// Decodes raw RFC 5322 messages: header fields (RFC 2047 encoded words), the MIME structure
// (RFC 2045-2046, parsed by libetpan), transfer encodings, RFC 2231 parameters and charsets
// (see mail/mime_charset.h). Stateless; every function is thread-safe and every text it
// returns is valid UTF-8.
//
// How a message becomes an EmailBodyContent:
//  - Parts are numbered as IMAP numbers them (RFC 3501 §6.4.5): the body of a message that
//    is not multipart is "1"; the parts of a multipart are 1, 2, ... and the children of a
//    nested multipart "2.1", "2.2"; inside a message/rfc822 part "3" the parts of its
//    multipart body are "3.1", "3.2", ... and a body that is not multipart is "3.1".
//  - A part is an attachment when its Content-Disposition is "attachment" or it has a
//    "filename" or "name" parameter (RFC 2231 continuations and charsets honoured, RFC 2047
//    words decoded), or when it is a leaf whose type is not text/* (the images of a
//    multipart/related, an unnamed PDF, the delivery-status part of a bounce). `isInline`
//    is true for attachments with a Content-ID whose disposition is "inline" or missing.
//    Attachments without a name are called by their Content-ID, else "attachment"; a
//    message/rfc822 attachment without a name is called by its decoded subject plus ".eml"
//    (else "message.eml").
//  - The first text/plain leaf that is not an attachment gives `textBody`, the first
//    text/html one `htmlBody` (document order, depth first; later ones are ignored). The
//    text parts of an attached message (a message/rfc822 part that is itself an
//    attachment) are not descended into: it is listed as one attachment. A message/rfc822
//    part that is not an attachment (a forwarded or bounced message shown inline) is walked
//    like a multipart; its bodies are used only when the outer message has none.
//  - A message without Content-Type is text/plain; an unknown or broken type is an opaque
//    leaf.
//  - `containsRemoteResources`: the HTML body contains "http://", "https://", "src=\"//" or
//    "href=\"//".
//
// Bounded cost: at most 64 containers (multipart and message parts) are parsed as such;
// after the 64th "multipart" or "message/" token in the input, further containers are read
// as opaque leaves, so libetpan's parser (which recurses once per nesting level) cannot
// exhaust the stack however deep a message nests. At most 4096 parts are walked; later parts
// are ignored.
class EmailContentDecoder {
 public:
  // RFC 2047 encoded words replaced by their text (B and Q, any charset via the charset
  // rules); text between two adjacent encoded words that is only white space is dropped
  // (RFC 2047 §6.2), and adjacent words in one charset are converted together (so a
  // character split across two words survives); invalid words stay as written. Raw 8-bit
  // bytes that are not UTF-8 are repaired/decoded like body text with no charset. Folding
  // line breaks are removed.
  static std::string decodeMimeHeader(std::string_view value);
  // The whole message: bodies, attachments, remote-resource flag, originalSize = raw.size().
  static EmailBodyContent decode(std::string_view rawMessage);
  // Bytes in the named charset to UTF-8 ("gb2312" as GB 2312, "gbk" as GB 18030, IANA names
  // through ICU, unknown → UTF-8 with U+FFFD), then the garbled-text repair.
  static std::string decodeText(std::string_view bytes, std::string_view charset);
  // Transfer decoding, the name compared case-insensitively: "base64" (characters outside
  // the alphabet ignored), "quoted-printable" (RFC 2045 §6.7; soft line breaks removed, an
  // "=" not followed by two hex digits kept as written), "7bit", "8bit", "binary" and
  // anything else as is.
  static std::string decodeTransferEncoding(std::string_view bytes, std::string_view encoding);
  // The decoded bytes of the part an attachment's metadata names (by partPath, else by
  // filename + mimeType), for the whole-message fall-back of attachment download. Nothing
  // when not found.
  static std::optional<std::string> attachmentData(std::string_view rawMessage,
                                                   const EmailAttachmentMeta& attachment);
  // The top-level header fields. Addresses are parsed as RFC 5322 address lists (group
  // members included); display names are decoded like decodeMimeHeader.
  static DecodedHeaders decodeHeaders(std::string_view rawMessage);
};

}  // namespace kestrova::mail
