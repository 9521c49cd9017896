#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::testing {

// A raw RFC 5322 message (CRLF line ends) together with what a correct reader of it must
// find: the decoded header values, the decoded text and HTML bodies and the attachments
// with their decoded bytes.
struct GeneratedMessage {
  struct Attachment {
    std::string filename;   // decoded (RFC 2231 / RFC 2047 names as UTF-8)
    std::string mimeType;   // lower-case "type/subtype"
    std::string data;       // the decoded bytes
    std::string contentId;  // without angle brackets; empty when the part has none
    bool isInline = false;  // an inline part referred to by its Content-ID
  };

  std::string raw;
  std::string kind;     // which of the shapes below, e.g. "gb2312" or "nested"
  std::string subject;  // decoded
  std::string fromName, fromEmail;
  std::vector<std::string> to;          // the recipients' addresses
  std::string messageId;                // with angle brackets; empty when the message has none
  std::string inReplyTo;                // the Message-ID of the message it answers, or empty
  std::string text;                     // the text/plain body as UTF-8 (CRLF kept); empty when none
  std::string html;                     // the text/html body as UTF-8; empty when none
  std::vector<Attachment> attachments;  // in the order they appear in the message
  int64_t date = 0;                     // the Date header, seconds since 1970 (UTC)
  bool seen = false, flagged = false;   // the flags to deliver it with
};

// The shapes of message, in the order they cycle through with the index: plain ASCII,
// plain UTF-8 (8bit), quoted-printable UTF-8, multipart/alternative, nested multiparts
// (mixed > alternative > related with an inline image by Content-ID, plus an attachment),
// base64 attachments of several types, RFC 2231 file names (UTF-8 continuations, Chinese),
// GB 2312 (headers and body), GBK (body with characters outside GB 2312), Windows-1252
// (quoted-printable, "€" and curly quotes), a reply in a thread (In-Reply-To and References
// to an earlier index), a message without Message-ID and an HTML-only message with remote
// images.
const std::vector<std::string_view>& generated_kinds();

// A fixed point in time the dates are spread out before (2025-06-01 00:00:00 UTC), so that
// a seed always gives the same bytes.
inline constexpr int64_t kGeneratorAnchor = 1748736000;

// Message `index` (0, 1, ...) of the corpus of `seed`: the same arguments always give the
// same message. Dates lie within the 30 days before `anchor`, rising with the index (they
// wrap after about ten thousand messages), in the three Date header shapes in turn
// ("Tue, 2 Jan 2024 10:00:00 +0800", "2 Jan 2024 10:00:00 -0500" and, in UTC without a
// zone, "2 Jan 2024 10:00:00"). Subjects carry the index, so no two are alike.
GeneratedMessage generate_message(uint64_t seed, int index, int64_t anchor = kGeneratorAnchor);

// Messages 0 .. count-1 of the corpus of `seed`.
std::vector<GeneratedMessage> generate_corpus(uint64_t seed, int count,
                                              int64_t anchor = kGeneratorAnchor);

}  // namespace kestrova::testing
