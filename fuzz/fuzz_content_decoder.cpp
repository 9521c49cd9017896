// libFuzzer target for the MIME decoder. The first input byte picks the mode:
//   even  the rest is a raw message: EmailContentDecoder::decode, then attachmentData for
//         the first attachments found (by its path, and by name and type with the path
//         cleared; each lookup parses the message again, so only a few are looked up), and
//         decodeHeaders;
//   odd   the rest is one header value for decodeMimeHeader (and, split at its first
//         "|", bytes and a charset name for decodeText).
//
// Beyond "no crash, no sanitizer report, no leak" it aborts when
//   - a text result (bodies, file names, types, headers, contacts) is not valid UTF-8;
//   - originalSize is not the input's size, or wasTruncated is set;
//   - a partPath is not dot-separated positive numbers, or two attachments share one;
//   - a MIME type is not lower-case "type/subtype";
//   - attachmentData by path finds nothing for one of the first attachments decode()
//     reported, or gives another number of bytes than its size;
//   - containsRemoteResources is set without an HTML body;
//   - decodeMimeHeader of a value that holds no "=?" and is valid UTF-8 without line
//     breaks changes it.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "mail/email_content_decoder.h"
#include "mail/mime_charset.h"
#include "util/text.h"

namespace {

// Attachments looked up again with attachmentData (by path and by name) per input.
constexpr size_t kCheckedAttachments = 2;

using kestrova::mail::EmailAttachmentMeta;
using kestrova::mail::EmailBodyContent;
using kestrova::mail::EmailContentDecoder;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "invariant broken: %s [%.*s]\n", what, static_cast<int>(detail.size()),
               detail.data());
  std::abort();
}

void check_utf8(std::string_view s, const char* what) {
  if (!kestrova::text::is_valid_utf8(s)) fail(what, s);
}

bool well_formed_path(std::string_view path) {
  if (path.empty()) return false;
  bool digit_seen = false;
  char previous = '.';
  for (char c : path) {
    if (c == '.') {
      if (!digit_seen) return false;
      digit_seen = false;
    } else if (c >= '0' && c <= '9') {
      if (c == '0' && previous == '.') return false;
      digit_seen = true;
    } else {
      return false;
    }
    previous = c;
  }
  return digit_seen;
}

bool well_formed_type(std::string_view type) {
  const size_t slash = type.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == type.size()) return false;
  for (char c : type)
    if (c >= 'A' && c <= 'Z') return false;
  return true;
}

void check_message(std::string_view raw) {
  const EmailBodyContent content = EmailContentDecoder::decode(raw);
  if (content.originalSize != static_cast<int64_t>(raw.size())) fail("originalSize");
  if (content.wasTruncated) fail("wasTruncated");
  if (content.textBody) check_utf8(*content.textBody, "textBody");
  if (content.htmlBody) check_utf8(*content.htmlBody, "htmlBody");
  if (content.containsRemoteResources && !content.htmlBody) fail("remote resources without HTML");
  std::set<std::string> paths;
  size_t looked_up = 0;
  for (const EmailAttachmentMeta& a : content.attachments) {
    if (!well_formed_path(a.partPath)) fail("partPath", a.partPath);
    if (!paths.insert(a.partPath).second) fail("duplicate partPath", a.partPath);
    check_utf8(a.filename, "filename");
    check_utf8(a.mimeType, "mimeType");
    if (!well_formed_type(a.mimeType)) fail("mimeType", a.mimeType);
    if (a.size < 0) fail("size");
    if (a.contentId) check_utf8(*a.contentId, "contentId");
    if (a.encoding) check_utf8(*a.encoding, "encoding");
    if (a.charset) check_utf8(*a.charset, "charset");
    if (looked_up++ >= kCheckedAttachments) continue;
    const auto data = EmailContentDecoder::attachmentData(raw, a);
    if (!data) fail("attachmentData by path", a.partPath);
    if (static_cast<int64_t>(data->size()) != a.size) fail("attachment size", a.partPath);
    EmailAttachmentMeta by_name = a;
    by_name.partPath.clear();
    if (!EmailContentDecoder::attachmentData(raw, by_name)) fail("attachmentData by name", a.filename);
  }
  const auto headers = EmailContentDecoder::decodeHeaders(raw);
  check_utf8(headers.subject, "subject");
  auto check_contact = [](const kestrova::store::EmailContact& c) {
    check_utf8(c.email, "contact email");
    if (c.name) check_utf8(*c.name, "contact name");
  };
  if (headers.from) check_contact(*headers.from);
  for (const auto* list : {&headers.to, &headers.cc, &headers.replyTo})
    for (const auto& c : *list) check_contact(c);
  for (const auto* field : {&headers.date, &headers.messageId, &headers.inReplyTo})
    if (*field) check_utf8(**field, "header text");
}

void check_header(std::string_view value) {
  const std::string decoded = EmailContentDecoder::decodeMimeHeader(value);
  check_utf8(decoded, "decodeMimeHeader");
  if (value.find("=?") == std::string_view::npos && value.find_first_of("\r\n") == std::string_view::npos &&
      kestrova::text::is_valid_utf8(value) && decoded != value)
    fail("plain header changed", value);
  const size_t bar = value.find('|');
  if (bar != std::string_view::npos) {
    const std::string text = EmailContentDecoder::decodeText(value.substr(0, bar), value.substr(bar + 1));
    check_utf8(text, "decodeText");
    check_utf8(kestrova::mail::repair_garbled_text(value), "repair_garbled_text");
    const double score = kestrova::mail::readability_score(value);
    if (!(score >= -2.0 && score <= 1.0)) fail("readability score");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0)
    check_message(input);
  else
    check_header(input);
  return 0;
}
