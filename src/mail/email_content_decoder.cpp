#include "mail/email_content_decoder.h"

#include <libetpan/libetpan.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <utility>

#include "mail/mime_charset.h"
#include "util/base64.h"
#include "util/c_free.h"
#include "util/text.h"

namespace kestrova::mail {

namespace {

using MimePtr = CHandle<mailmime, &mailmime_free>;
using AddressListPtr = CHandle<mailimf_address_list, &mailimf_address_list_free>;

// Containers (multipart and message parts) parsed as such; see the class comment.
constexpr int kMaxContainers = 64;
// Parts walked per message.
constexpr int kMaxParts = 4096;
// Bytes after a boundary parameter searched for the end of its header block and the end of
// the preamble that follows.
constexpr size_t kPreambleWindow = 64 * 1024;
// Longest charset name an encoded word may carry.
constexpr size_t kMaxWordCharset = 64;

char lower_char(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = lower_char(c);
  return out;
}

bool equals_ascii_ci(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower_char(a[i]) != lower_char(b[i])) return false;
  return true;
}

bool starts_with_ci(std::string_view s, size_t at, std::string_view prefix) {
  return s.size() - at >= prefix.size() && equals_ascii_ci(s.substr(at, prefix.size()), prefix);
}

bool is_wsp(char c) { return c == ' ' || c == '\t'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim_ascii(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether two hex digits start at `at`.
bool hex_pair_at(std::string_view s, size_t at) {
  return at + 1 < s.size() && hex_value(s[at]) >= 0 && hex_value(s[at + 1]) >= 0;
}

// Removes the line breaks of folded header text (RFC 5322 §2.2.3); a break not followed by
// white space is removed too, so the result is always one line.
std::string unfold(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value)
    if (c != '\r' && c != '\n') out.push_back(c);
  return out;
}

// RFC 2045 §6.7. libetpan's decoder stops at the first "=" that is not followed by two hex
// digits and drops the rest of the part; this one keeps such an "=" as written (rule (1) of
// the robustness notes) and removes soft line breaks ("=" plus optional white space before a
// line end).
std::string decode_quoted_printable(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    const char c = in[i];
    if (c != '=') {
      out.push_back(c);
      continue;
    }
    if (hex_pair_at(in, i + 1)) {
      out.push_back(static_cast<char>(hex_value(in[i + 1]) * 16 + hex_value(in[i + 2])));
      i += 2;
      continue;
    }
    // A soft line break: "=", optional trailing white space, then CR LF or LF (or the end).
    size_t j = i + 1;
    while (j < in.size() && is_wsp(in[j])) ++j;
    if (j == in.size()) {
      i = j - 1;
      continue;
    }
    if (in[j] == '\n') {
      i = j;
      continue;
    }
    if (in[j] == '\r' && j + 1 < in.size() && in[j + 1] == '\n') {
      i = j + 1;
      continue;
    }
    out.push_back('=');
  }
  return out;
}

// RFC 2045 §6.8 through libetpan, which skips every character outside the alphabet.
std::string decode_base64_lenient(std::string_view in) {
  if (in.empty()) return {};
  size_t index = 0;
  char* result = nullptr;
  size_t result_length = 0;
  if (mailmime_part_parse(in.data(), in.size(), &index, MAILMIME_MECHANISM_BASE64, &result,
                          &result_length) != MAILIMF_NO_ERROR)
    return {};
  const CHandle<char, &mailmime_decoded_part_free> owned(result);
  return std::string(result, result_length);
}

// ---- RFC 2047 encoded words ----

struct HeaderPiece {
  bool word = false;
  std::string charset;  // lower-cased, language suffix removed (words only)
  std::string bytes;    // decoded bytes of a word, or the literal text
};

// Parses an encoded word "=?charset?B|Q?text?=" at `at`; on success sets `end` to the
// position after it and returns the piece.
std::optional<HeaderPiece> parse_encoded_word(std::string_view s, size_t at, size_t& end) {
  if (!starts_with_ci(s, at, "=?")) return std::nullopt;
  const size_t charset_start = at + 2;
  const size_t charset_end = s.find('?', charset_start);
  if (charset_end == std::string_view::npos || charset_end == charset_start ||
      charset_end - charset_start > kMaxWordCharset)
    return std::nullopt;
  if (charset_end + 2 >= s.size() || s[charset_end + 2] != '?') return std::nullopt;
  const char mode = lower_char(s[charset_end + 1]);
  if (mode != 'b' && mode != 'q') return std::nullopt;
  const size_t text_start = charset_end + 3;
  const size_t text_end = s.find('?', text_start);
  if (text_end == std::string_view::npos || text_end == text_start || text_end + 1 >= s.size() ||
      s[text_end + 1] != '=')
    return std::nullopt;
  std::string_view charset = s.substr(charset_start, charset_end - charset_start);
  if (charset.find_first_of(" \t") != std::string_view::npos) return std::nullopt;
  // RFC 2231 §5: "charset*language".
  if (const size_t star = charset.find('*'); star != std::string_view::npos)
    charset = charset.substr(0, star);
  if (charset.empty()) return std::nullopt;
  const std::string_view text = s.substr(text_start, text_end - text_start);

  HeaderPiece piece;
  piece.word = true;
  piece.charset = lower_ascii(charset);
  if (mode == 'b') {
    std::optional<std::string> bytes = base64::decode(text);
    if (!bytes) return std::nullopt;
    piece.bytes = std::move(*bytes);
  } else {
    for (size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      if (c == '_') {
        piece.bytes.push_back(' ');
      } else if (c == '=' && hex_pair_at(text, i + 1)) {
        piece.bytes.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
        i += 2;
      } else {
        piece.bytes.push_back(c);
      }
    }
  }
  end = text_end + 2;
  return piece;
}

std::string literal_text(std::string_view bytes) {
  if (text::is_valid_utf8(bytes)) return std::string(bytes);
  return decode_charset_text(bytes, "");
}

bool only_white_space(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return is_space(c); });
}

// ---- header blocks ----

struct HeaderField {
  std::string name;   // lower-cased
  std::string value;  // unfolded, trimmed
};

// Longest header field kept (name, value and folds): enough for any real Subject or address
// list; the rest of a longer field is dropped, so a field of hundreds of megabytes costs one
// scan instead of several copies and decodes.
constexpr size_t kMaxHeaderField = 1 << 20;

// The header fields of `raw` up to the first empty line (or the end). A first line that is
// an mbox "From " separator is skipped; lines without a colon are ignored; a field is cut at
// kMaxHeaderField bytes.
std::vector<HeaderField> header_fields(std::string_view raw) {
  std::vector<HeaderField> fields;
  size_t at = 0;
  if (raw.substr(0, 5) == "From ") {
    const size_t eol = raw.find('\n');
    at = eol == std::string_view::npos ? raw.size() : eol + 1;
  }
  std::string current;
  auto flush = [&] {
    if (current.empty()) return;
    const size_t colon = current.find(':');
    if (colon != std::string::npos && colon > 0) {
      std::string_view name = trim_ascii(std::string_view(current).substr(0, colon));
      std::string_view value = trim_ascii(std::string_view(current).substr(colon + 1));
      if (!name.empty()) fields.push_back({lower_ascii(name), std::string(value)});
    }
    current.clear();
  };
  while (at < raw.size()) {
    size_t eol = raw.find('\n', at);
    if (eol == std::string_view::npos) eol = raw.size();
    std::string_view line = raw.substr(at, eol - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    at = eol + 1;
    if (line.empty()) break;
    if (is_wsp(line.front())) {
      if (current.size() < kMaxHeaderField)
        current += line.substr(0, kMaxHeaderField - current.size());
      continue;
    }
    flush();
    current.assign(line.substr(0, kMaxHeaderField));
  }
  flush();
  return fields;
}

const std::string* field_value(const std::vector<HeaderField>& fields, std::string_view name) {
  for (const auto& field : fields)
    if (field.name == name) return &field.value;
  return nullptr;
}

store::EmailContact contact(const char* display_name, std::string_view address) {
  store::EmailContact c;
  c.email = std::string(trim_ascii(address));
  if (display_name) {
    std::string name = text::trim(EmailContentDecoder::decodeMimeHeader(display_name));
    if (!name.empty()) c.name = std::move(name);
  }
  c.email = literal_text(c.email);
  return c;
}

void append_mailboxes(const mailimf_mailbox_list* list, std::vector<store::EmailContact>& out) {
  if (!list || !list->mb_list) return;
  for (clistiter* it = clist_begin(list->mb_list); it; it = clist_next(it)) {
    const auto* mailbox = static_cast<const mailimf_mailbox*>(clist_content(it));
    if (mailbox && mailbox->mb_addr_spec)
      out.push_back(contact(mailbox->mb_display_name, mailbox->mb_addr_spec));
  }
}

// "Name <address>" or "address", for lists libetpan refuses (raw 8-bit names, stray
// characters).
store::EmailContact loose_contact(std::string_view item) {
  item = trim_ascii(item);
  const size_t open = item.rfind('<');
  const size_t close = item.rfind('>');
  if (open != std::string_view::npos && close != std::string_view::npos && close > open) {
    std::string_view name = trim_ascii(item.substr(0, open));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
      name = name.substr(1, name.size() - 2);
    const std::string name_text(name);
    return contact(name.empty() ? nullptr : name_text.c_str(),
                   item.substr(open + 1, close - open - 1));
  }
  return contact(nullptr, item);
}

std::vector<store::EmailContact> address_list(std::string_view value) {
  std::vector<store::EmailContact> out;
  if (trim_ascii(value).empty()) return out;
  size_t index = 0;
  mailimf_address_list* parsed = nullptr;
  if (mailimf_address_list_parse(value.data(), value.size(), &index, &parsed) ==
          MAILIMF_NO_ERROR &&
      trim_ascii(value.substr(index)).empty()) {
    const AddressListPtr list(parsed);
    for (clistiter* it = clist_begin(list->ad_list); it; it = clist_next(it)) {
      const auto* address = static_cast<const mailimf_address*>(clist_content(it));
      if (!address) continue;
      if (address->ad_type == MAILIMF_ADDRESS_MAILBOX && address->ad_data.ad_mailbox &&
          address->ad_data.ad_mailbox->mb_addr_spec)
        out.push_back(contact(address->ad_data.ad_mailbox->mb_display_name,
                              address->ad_data.ad_mailbox->mb_addr_spec));
      else if (address->ad_type == MAILIMF_ADDRESS_GROUP && address->ad_data.ad_group)
        append_mailboxes(address->ad_data.ad_group->grp_mb_list, out);
    }
    return out;
  }
  if (parsed) mailimf_address_list_free(parsed);
  // Split at commas outside quotes and angle brackets.
  bool quoted = false;
  int angle = 0;
  size_t start = 0;
  for (size_t i = 0; i <= value.size(); ++i) {
    const bool end = i == value.size();
    const char c = end ? ',' : value[i];
    if (!end && c == '"') quoted = !quoted;
    if (!end && !quoted && c == '<') ++angle;
    if (!end && !quoted && c == '>' && angle > 0) --angle;
    if (c == ',' && (end || (!quoted && angle == 0))) {
      std::string_view item = trim_ascii(value.substr(start, i - start));
      if (!item.empty()) {
        store::EmailContact c2 = loose_contact(item);
        if (!c2.email.empty()) out.push_back(std::move(c2));
      }
      start = i + 1;
    }
  }
  return out;
}

// ---- the MIME structure ----

// The value of a "boundary" parameter starting at `at` (just after the word), quoted or not;
// empty when there is none.
std::string_view boundary_value_at(std::string_view raw, size_t at) {
  while (at < raw.size() && is_wsp(raw[at])) ++at;
  if (at >= raw.size() || raw[at] != '=') return {};
  ++at;
  while (at < raw.size() && is_wsp(raw[at])) ++at;
  if (at < raw.size() && raw[at] == '"') {
    const size_t close = raw.find_first_of("\"\r\n", at + 1);
    if (close == std::string_view::npos || raw[close] != '"') return {};
    return raw.substr(at + 1, close - at - 1);
  }
  size_t end = at;
  while (end < raw.size() && raw[end] != ';' && !is_space(raw[end])) ++end;
  return raw.substr(at, end - at);
}

// The input libetpan parses: `raw` itself, or a copy of the same length with two kinds of
// change. Body data is always read from `raw` through `original`, so neither shows in
// decoded text.
//  - Every "multipart" and "message/" token after the first kMaxContainers has its first
//    letter replaced by 'x', so that those parts parse as opaque leaves.
//  - libetpan ends a preamble at the first line that starts, after optional white space,
//    with "--" and the boundary, even when the line goes on ("--separate" for boundary
//    "sep") or is indented, and parses the rest of that line as the first part. A delimiter
//    line starts at the line start and has only white space after the boundary (RFC 2046
//    §5.1.1); preamble lines that only look like one get their first "-" replaced by 'x'.
class StructureInput {
 public:
  explicit StructureInput(std::string_view raw) : raw_(raw) {
    int containers = 0;
    int boundaries = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
      // The whole message passes through here, so bytes that cannot start a token are
      // passed over with an OR and a few compares: `| 0x20` lower-cases 'B', 'M', 'O',
      // 'U' and 'E' and maps no other byte onto those letters.
      const char c = static_cast<char>(raw[i] | 0x20);
      if (c != 'b' && c != 'm') continue;
      const char next = i + 1 < raw.size() ? static_cast<char>(raw[i + 1] | 0x20) : '\0';
      if (c == 'b' ? next != 'o' : (next != 'u' && next != 'e')) continue;
      if (c == 'b' && boundaries < kMaxContainers && starts_with_ci(raw, i, "boundary")) {
        if (hide_false_delimiters(i + 8)) ++boundaries;
        continue;
      }
      if (c != 'm') continue;
      size_t token = 0;
      if (starts_with_ci(raw, i, "multipart")) {
        token = 9;
      } else if (starts_with_ci(raw, i, "message")) {
        size_t j = i + 7;
        while (j < raw.size() && is_space(raw[j])) ++j;
        if (j < raw.size() && raw[j] == '/') token = 7;
      }
      if (token == 0) continue;
      if (++containers > kMaxContainers) {
        replace(i, 'x');
        containers_neutralised_ = true;
      }
      i += token - 1;
    }
  }

  std::string_view parsed() const { return copy_.empty() ? raw_ : std::string_view(copy_); }
  bool neutralised() const { return containers_neutralised_; }

  // Maps a range libetpan returned back to the same bytes of the raw message.
  std::string_view original(const char* data, size_t length) const {
    const std::string_view p = parsed();
    if (data >= p.data() && data <= p.data() + p.size()) {
      const auto offset = static_cast<size_t>(data - p.data());
      return raw_.substr(offset, std::min(length, raw_.size() - offset));
    }
    return std::string_view(data, length);
  }

 private:
  void replace(size_t at, char c) {
    if (copy_.empty()) copy_.assign(raw_);
    copy_[at] = c;
  }

  // For the boundary parameter whose name ends at `at`: the preamble runs from the end of
  // that header block to the first real delimiter line. Nothing changes when no real opening
  // delimiter follows within kPreambleWindow bytes, or a closing one comes first: the
  // look-alike is then the only start of a part there is. Returns whether `at` starts a
  // boundary parameter.
  bool hide_false_delimiters(size_t at) {
    const std::string_view boundary = boundary_value_at(raw_, at);
    if (boundary.empty() || boundary.size() > 200) return false;
    const std::string_view window = raw_.substr(0, std::min(raw_.size(), at + kPreambleWindow));
    const size_t lf_lf = window.find("\n\n", at);
    const size_t lf_crlf = window.find("\n\r\n", at);
    size_t line = std::min(lf_lf == std::string_view::npos ? lf_lf : lf_lf + 2,
                           lf_crlf == std::string_view::npos ? lf_crlf : lf_crlf + 3);
    std::vector<size_t> false_delimiters;
    while (line < window.size()) {
      size_t eol = window.find('\n', line);
      if (eol == std::string_view::npos) eol = window.size();
      const std::string_view text = window.substr(line, eol - line);
      size_t dashes = 0;
      while (dashes < text.size() && is_wsp(text[dashes])) ++dashes;
      if (text.substr(dashes, 2) == "--" && text.substr(dashes + 2, boundary.size()) == boundary) {
        std::string_view rest = text.substr(dashes + 2 + boundary.size());
        const bool close = rest.substr(0, 2) == "--";
        if (close) rest.remove_prefix(2);
        if (dashes == 0 && only_white_space(rest)) {
          if (!close)
            for (const size_t d : false_delimiters) replace(d, 'x');
          return true;
        }
        false_delimiters.push_back(line + dashes);
      }
      line = eol + 1;
    }
    return true;
  }

  std::string_view raw_;
  std::string copy_;
  bool containers_neutralised_ = false;
};

struct Parameter {
  std::string name;  // lower-cased
  std::string value;
};

void collect_parameters(clist* list, std::vector<Parameter>& out) {
  if (!list) return;
  for (clistiter* it = clist_begin(list); it; it = clist_next(it)) {
    const auto* p = static_cast<const mailmime_parameter*>(clist_content(it));
    if (p && p->pa_name) out.push_back({lower_ascii(p->pa_name), p->pa_value ? p->pa_value : ""});
  }
}

std::string percent_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && hex_pair_at(s, i + 1)) {
      out.push_back(static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// RFC 2231 ext-value "charset'language'%XX..." as UTF-8 (a value without the two quotes is
// taken as percent-encoded UTF-8).
std::string extended_value(std::string_view value, std::string* charset_out = nullptr) {
  const size_t first = value.find('\'');
  const size_t second = first == std::string_view::npos ? first : value.find('\'', first + 1);
  std::string charset;
  if (second != std::string_view::npos) {
    charset = std::string(value.substr(0, first));
    value = value.substr(second + 1);
  }
  if (charset_out) *charset_out = charset;
  return percent_decode(value);
}

// The value of parameter `name` (lower-case): RFC 2231 forms first ("name*", then the
// continuations "name*0", "name*0*", "name*1", ...), else the plain "name"; RFC 2047 words
// decoded. Nothing when absent or empty.
std::optional<std::string> parameter_value(const std::vector<Parameter>& params,
                                           std::string_view name) {
  const std::string star = std::string(name) + "*";
  for (const auto& p : params)
    if (p.name == star) {
      std::string charset;
      const std::string bytes = extended_value(p.value, &charset);
      std::string text = decode_charset_text(bytes, charset.empty() ? "utf-8" : charset);
      if (!text.empty()) return text;
    }
  std::map<int, std::pair<bool, std::string>> sections;  // index → (encoded, value)
  for (const auto& p : params) {
    if (p.name.size() <= star.size() || p.name.compare(0, star.size(), star) != 0) continue;
    std::string_view rest = std::string_view(p.name).substr(star.size());
    const bool encoded = !rest.empty() && rest.back() == '*';
    if (encoded) rest.remove_suffix(1);
    if (rest.empty() || rest.size() > 4 ||
        !std::all_of(rest.begin(), rest.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    sections.emplace(std::stoi(std::string(rest)), std::make_pair(encoded, p.value));
  }
  if (!sections.empty() && sections.begin()->first == 0) {
    std::string bytes;
    std::string charset;
    int expected = 0;
    bool any_encoded = false;
    for (const auto& [index, section] : sections) {
      if (index != expected++) break;
      if (section.first) {
        any_encoded = true;
        bytes += index == 0 ? extended_value(section.second, &charset) : percent_decode(section.second);
      } else {
        bytes += section.second;
      }
    }
    std::string text = any_encoded ? decode_charset_text(bytes, charset.empty() ? "utf-8" : charset)
                                   : EmailContentDecoder::decodeMimeHeader(bytes);
    if (!text.empty()) return text;
  }
  for (const auto& p : params)
    if (p.name == name) {
      std::string text = EmailContentDecoder::decodeMimeHeader(p.value);
      if (!text.empty()) return text;
    }
  return std::nullopt;
}

std::string mechanism_name(const mailmime_mechanism* m) {
  switch (m->enc_type) {
    case MAILMIME_MECHANISM_7BIT: return "7bit";
    case MAILMIME_MECHANISM_8BIT: return "8bit";
    case MAILMIME_MECHANISM_BINARY: return "binary";
    case MAILMIME_MECHANISM_QUOTED_PRINTABLE: return "quoted-printable";
    case MAILMIME_MECHANISM_BASE64: return "base64";
    default: return m->enc_token ? lower_ascii(trim_ascii(m->enc_token)) : std::string();
  }
}

// What the MIME header fields of one part say.
struct PartInfo {
  std::string type;     // lower-case "type/subtype"; "text/plain" when none is written
  bool typeWritten = false;
  std::vector<Parameter> typeParams;
  std::optional<std::string> encoding;
  enum class Disposition { None, Inline, Attachment, Other } disposition = Disposition::None;
  std::vector<Parameter> dispositionParams;
  std::optional<std::string> contentId;
};

std::string content_type_name(const mailmime_content* content) {
  if (!content || !content->ct_type) return "text/plain";
  std::string type;
  const mailmime_type* t = content->ct_type;
  if (t->tp_type == MAILMIME_TYPE_DISCRETE_TYPE && t->tp_data.tp_discrete_type) {
    switch (t->tp_data.tp_discrete_type->dt_type) {
      case MAILMIME_DISCRETE_TYPE_TEXT: type = "text"; break;
      case MAILMIME_DISCRETE_TYPE_IMAGE: type = "image"; break;
      case MAILMIME_DISCRETE_TYPE_AUDIO: type = "audio"; break;
      case MAILMIME_DISCRETE_TYPE_VIDEO: type = "video"; break;
      case MAILMIME_DISCRETE_TYPE_APPLICATION: type = "application"; break;
      default:
        if (t->tp_data.tp_discrete_type->dt_extension)
          type = lower_ascii(t->tp_data.tp_discrete_type->dt_extension);
    }
  } else if (t->tp_type == MAILMIME_TYPE_COMPOSITE_TYPE && t->tp_data.tp_composite_type) {
    switch (t->tp_data.tp_composite_type->ct_type) {
      case MAILMIME_COMPOSITE_TYPE_MESSAGE: type = "message"; break;
      case MAILMIME_COMPOSITE_TYPE_MULTIPART: type = "multipart"; break;
      default:
        if (t->tp_data.tp_composite_type->ct_token)
          type = lower_ascii(t->tp_data.tp_composite_type->ct_token);
    }
  }
  // libetpan fills in the subtype "unknown" when none is written ("Content-Type: text"):
  // such a type is broken, and the part an opaque leaf.
  if (type.empty() || !content->ct_subtype || equals_ascii_ci(content->ct_subtype, "unknown"))
    return "application/octet-stream";
  return type + "/" + lower_ascii(content->ct_subtype);
}

PartInfo part_info(const mailmime* mime) {
  PartInfo info;
  // libetpan leaves the content type null when the part has no Content-Type field.
  info.typeWritten = mime->mm_content_type != nullptr;
  info.type = content_type_name(mime->mm_content_type);
  if (mime->mm_content_type) collect_parameters(mime->mm_content_type->ct_parameters, info.typeParams);
  if (!mime->mm_mime_fields || !mime->mm_mime_fields->fld_list) return info;
  for (clistiter* it = clist_begin(mime->mm_mime_fields->fld_list); it; it = clist_next(it)) {
    const auto* field = static_cast<const mailmime_field*>(clist_content(it));
    if (!field) continue;
    switch (field->fld_type) {
      case MAILMIME_FIELD_TRANSFER_ENCODING:
        if (field->fld_data.fld_encoding && !info.encoding) {
          std::string name = mechanism_name(field->fld_data.fld_encoding);
          if (!name.empty()) info.encoding = literal_text(name);
        }
        break;
      case MAILMIME_FIELD_ID:
        if (field->fld_data.fld_id && !info.contentId) {
          std::string_view id = trim_ascii(field->fld_data.fld_id);
          if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
          if (!id.empty()) info.contentId = literal_text(id);
        }
        break;
      case MAILMIME_FIELD_DISPOSITION: {
        const mailmime_disposition* d = field->fld_data.fld_disposition;
        if (!d || info.disposition != PartInfo::Disposition::None) break;
        info.disposition = PartInfo::Disposition::Other;
        if (d->dsp_type && d->dsp_type->dsp_type == MAILMIME_DISPOSITION_TYPE_INLINE)
          info.disposition = PartInfo::Disposition::Inline;
        if (d->dsp_type && d->dsp_type->dsp_type == MAILMIME_DISPOSITION_TYPE_ATTACHMENT)
          info.disposition = PartInfo::Disposition::Attachment;
        if (!d->dsp_parms) break;
        for (clistiter* p = clist_begin(d->dsp_parms); p; p = clist_next(p)) {
          const auto* parm = static_cast<const mailmime_disposition_parm*>(clist_content(p));
          if (!parm) continue;
          if (parm->pa_type == MAILMIME_DISPOSITION_PARM_FILENAME && parm->pa_data.pa_filename)
            info.dispositionParams.push_back({"filename", parm->pa_data.pa_filename});
          else if (parm->pa_type == MAILMIME_DISPOSITION_PARM_PARAMETER &&
                   parm->pa_data.pa_parameter && parm->pa_data.pa_parameter->pa_name)
            info.dispositionParams.push_back(
                {lower_ascii(parm->pa_data.pa_parameter->pa_name),
                 parm->pa_data.pa_parameter->pa_value ? parm->pa_data.pa_parameter->pa_value : ""});
        }
        break;
      }
      default: break;
    }
  }
  return info;
}

std::optional<std::string> part_filename(const PartInfo& info) {
  if (auto name = parameter_value(info.dispositionParams, "filename")) return name;
  return parameter_value(info.typeParams, "name");
}

bool is_neutralised_type(const std::string& type) {
  return type.rfind("xultipart/", 0) == 0 || type.rfind("xessage/", 0) == 0 ||
         type == "xultipart" || type == "xessage";
}

// One attachment found by the walk, with where its bytes are.
struct FoundAttachment {
  EmailAttachmentMeta meta;
  std::string_view data;  // the encoded body (a range of the raw message)
  std::string encoding;   // lower-cased transfer encoding, empty when none
};

class MimeWalker {
 public:
  MimeWalker(const StructureInput& input, bool measure) : input_(input), measure_(measure) {}

  void walk_message(const mailmime* top) {
    if (!top) return;
    if (top->mm_type == MAILMIME_MESSAGE) {
      const mailmime* root = top->mm_data.mm_message.mm_msg_mime;
      if (root) visit(root, "", false);
      return;
    }
    visit(top, "", false);
  }

  EmailBodyContent& content() { return content_; }
  std::vector<FoundAttachment>& found() { return found_; }

  void finish() {
    if (!content_.textBody && fallback_text_) content_.textBody = std::move(fallback_text_);
    if (!content_.htmlBody && fallback_html_) content_.htmlBody = std::move(fallback_html_);
    if (content_.htmlBody) {
      const std::string& html = *content_.htmlBody;
      content_.containsRemoteResources =
          html.find("http://") != std::string::npos || html.find("https://") != std::string::npos ||
          html.find("src=\"//") != std::string::npos || html.find("href=\"//") != std::string::npos;
    }
  }

 private:
  static std::string child_path(const std::string& container, int index) {
    return container.empty() ? std::to_string(index) : container + "." + std::to_string(index);
  }

  // `number` is the part's IMAP number; for the root body of a message it is empty.
  void visit(const mailmime* mime, const std::string& number, bool nested_message) {
    if (++parts_ > kMaxParts) return;
    switch (mime->mm_type) {
      case MAILMIME_MULTIPLE: {
        const clist* list = mime->mm_data.mm_multipart.mm_mp_list;
        if (!list) return;
        int index = 0;
        for (clistiter* it = clist_begin(list); it; it = clist_next(it)) {
          const auto* child = static_cast<const mailmime*>(clist_content(it));
          ++index;
          if (child) visit(child, child_path(number, index), nested_message);
          if (parts_ > kMaxParts) return;
        }
        return;
      }
      case MAILMIME_MESSAGE:
        message_part(mime, number.empty() ? "1" : number, nested_message);
        return;
      default:
        leaf(mime, number.empty() ? "1" : number, nested_message);
        return;
    }
  }

  void message_part(const mailmime* mime, const std::string& number, bool nested_message) {
    const PartInfo info = part_info(mime);
    std::optional<std::string> name = part_filename(info);
    if (info.disposition == PartInfo::Disposition::Attachment || name) {
      if (!name) name = attached_message_name(mime);
      std::string_view data;
      if (mime->mm_body && mime->mm_body->dt_type == MAILMIME_DATA_TEXT)
        data = input_.original(mime->mm_body->dt_data.dt_text.dt_data,
                               mime->mm_body->dt_data.dt_text.dt_length);
      else if (mime->mm_mime_start)
        data = input_.original(mime->mm_mime_start, mime->mm_length);
      add_attachment(info, number, *name, info.type, data);
      return;
    }
    const mailmime* inner = mime->mm_data.mm_message.mm_msg_mime;
    if (!inner) return;
    if (inner->mm_type == MAILMIME_MULTIPLE)
      visit(inner, number, true);
    else
      visit(inner, number + ".1", true);
    (void)nested_message;
  }

  static std::string attached_message_name(const mailmime* mime) {
    const mailimf_fields* fields = mime->mm_data.mm_message.mm_fields;
    if (fields && fields->fld_list) {
      for (clistiter* it = clist_begin(fields->fld_list); it; it = clist_next(it)) {
        const auto* field = static_cast<const mailimf_field*>(clist_content(it));
        if (field && field->fld_type == MAILIMF_FIELD_SUBJECT && field->fld_data.fld_subject &&
            field->fld_data.fld_subject->sbj_value) {
          std::string subject =
              text::trim(EmailContentDecoder::decodeMimeHeader(field->fld_data.fld_subject->sbj_value));
          if (!subject.empty()) return subject + ".eml";
        }
      }
    }
    return "message.eml";
  }

  std::string_view body_data(const mailmime* mime) const {
    const mailmime_data* body = mime->mm_data.mm_single;
    if (!body || body->dt_type != MAILMIME_DATA_TEXT || !body->dt_data.dt_text.dt_data) return {};
    return input_.original(body->dt_data.dt_text.dt_data, body->dt_data.dt_text.dt_length);
  }

  // Whether the header block of `mime` has a Content-Type field. A node's range starts at
  // its own header block, except that the body of an encapsulated message starts at the
  // message part's header block, which the message's own header follows.
  bool type_written(const mailmime* mime) const {
    if (!mime->mm_mime_start) return false;
    std::string_view block = input_.original(mime->mm_mime_start, mime->mm_length);
    const mailmime* parent = mime->mm_parent;
    if (parent && parent->mm_type == MAILMIME_MESSAGE && parent->mm_parent) {
      const size_t crlf = block.find("\r\n\r\n");
      const size_t lf = block.find("\n\n");
      const size_t end = std::min(crlf == std::string_view::npos ? crlf : crlf + 4,
                                  lf == std::string_view::npos ? lf : lf + 2);
      if (end == std::string_view::npos) return false;
      block = block.substr(end);
    }
    for (const auto& field : header_fields(block))
      if (field.name == "content-type") return true;
    return false;
  }

  void leaf(const mailmime* mime, const std::string& number, bool nested_message) {
    PartInfo info = part_info(mime);
    if (input_.neutralised() && is_neutralised_type(info.type)) return;
    // libetpan gives a part without Content-Type its default type; whether one was written
    // shows only in the part's own header block (the message's for the root body).
    if (info.typeWritten) info.typeWritten = type_written(mime);
    const std::optional<std::string> name = part_filename(info);
    const bool is_text = info.type.rfind("text/", 0) == 0;
    const bool attachment =
        info.disposition == PartInfo::Disposition::Attachment || name || !is_text;
    const std::string_view data = body_data(mime);
    if (attachment) {
      const std::string filename = name ? *name : info.contentId ? *info.contentId : "attachment";
      add_attachment(info, number, filename,
                     info.typeWritten ? info.type : "application/octet-stream", data);
      return;
    }
    std::optional<std::string>* slot = nullptr;
    if (info.type == "text/plain") slot = nested_message ? &fallback_text_ : &content_.textBody;
    if (info.type == "text/html") slot = nested_message ? &fallback_html_ : &content_.htmlBody;
    if (!slot || slot->has_value()) return;
    const std::string charset = parameter_value(info.typeParams, "charset").value_or("");
    *slot = EmailContentDecoder::decodeText(
        EmailContentDecoder::decodeTransferEncoding(data, info.encoding.value_or("")), charset);
  }

  void add_attachment(const PartInfo& info, const std::string& number, const std::string& filename,
                      const std::string& type, std::string_view data) {
    FoundAttachment found;
    found.meta.partPath = number;
    found.meta.filename = filename;
    found.meta.mimeType = type;
    found.meta.contentId = info.contentId;
    found.meta.isInline = info.contentId.has_value() &&
                          (info.disposition == PartInfo::Disposition::Inline ||
                           info.disposition == PartInfo::Disposition::None);
    found.meta.encoding = info.encoding;
    if (auto charset = parameter_value(info.typeParams, "charset"))
      found.meta.charset = std::move(charset);
    found.data = data;
    found.encoding = info.encoding.value_or("");
    if (measure_)
      found.meta.size = static_cast<int64_t>(
          EmailContentDecoder::decodeTransferEncoding(data, found.encoding).size());
    found_.push_back(std::move(found));
  }

  const StructureInput& input_;
  bool measure_;
  int parts_ = 0;
  EmailBodyContent content_;
  std::optional<std::string> fallback_text_;
  std::optional<std::string> fallback_html_;
  std::vector<FoundAttachment> found_;
};

// Parses `raw` and walks it; `measure` decodes every attachment to learn its size.
template <class Use>
auto with_walk(std::string_view raw, bool measure, Use use) {
  const StructureInput input(raw);
  MimeWalker walker(input, measure);
  const std::string_view parsed = input.parsed();
  size_t index = 0;
  mailmime* top = nullptr;
  if (!parsed.empty() &&
      mailmime_parse(parsed.data(), parsed.size(), &index, &top) == MAILIMF_NO_ERROR) {
    const MimePtr owned(top);
    walker.walk_message(top);
    walker.finish();
    return use(walker);
  }
  walker.finish();
  return use(walker);
}

}  // namespace

std::string EmailContentDecoder::decodeMimeHeader(std::string_view value) {
  const std::string line = unfold(value);
  const std::string_view s = line;
  std::vector<HeaderPiece> pieces;
  size_t literal_start = 0;
  size_t at = 0;
  while (at < s.size()) {
    const size_t next = s.find("=?", at);
    if (next == std::string_view::npos) break;
    size_t end = 0;
    std::optional<HeaderPiece> word = parse_encoded_word(s, next, end);
    if (!word) {
      at = next + 1;
      continue;
    }
    std::string_view between = s.substr(literal_start, next - literal_start);
    const bool after_word = !pieces.empty() && pieces.back().word;
    if (!(after_word && only_white_space(between)) && !between.empty())
      pieces.push_back({false, {}, std::string(between)});
    if (!pieces.empty() && pieces.back().word && pieces.back().charset == word->charset)
      pieces.back().bytes += word->bytes;
    else
      pieces.push_back(std::move(*word));
    at = end;
    literal_start = end;
  }
  if (literal_start < s.size()) pieces.push_back({false, {}, std::string(s.substr(literal_start))});

  std::string out;
  out.reserve(s.size());
  for (const auto& piece : pieces)
    out += piece.word ? decodeText(piece.bytes, piece.charset) : literal_text(piece.bytes);
  return out;
}

std::string EmailContentDecoder::decodeText(std::string_view bytes, std::string_view charset) {
  std::string_view name = trim_ascii(charset);
  if (name.empty()) name = "utf-8";
  return decode_charset_text(bytes, name);
}

std::string EmailContentDecoder::decodeTransferEncoding(std::string_view bytes,
                                                        std::string_view encoding) {
  const std::string_view name = trim_ascii(encoding);
  if (equals_ascii_ci(name, "base64")) return decode_base64_lenient(bytes);
  if (equals_ascii_ci(name, "quoted-printable")) return decode_quoted_printable(bytes);
  return std::string(bytes);
}

EmailBodyContent EmailContentDecoder::decode(std::string_view rawMessage) {
  EmailBodyContent content = with_walk(rawMessage, true, [](MimeWalker& walker) {
    EmailBodyContent c = std::move(walker.content());
    for (auto& found : walker.found()) c.attachments.push_back(std::move(found.meta));
    return c;
  });
  content.originalSize = static_cast<int64_t>(rawMessage.size());
  content.wasTruncated = false;
  return content;
}

std::optional<std::string> EmailContentDecoder::attachmentData(
    std::string_view rawMessage, const EmailAttachmentMeta& attachment) {
  return with_walk(rawMessage, false, [&](MimeWalker& walker) -> std::optional<std::string> {
    const auto& found = walker.found();
    const FoundAttachment* match = nullptr;
    if (!attachment.partPath.empty())
      for (const auto& f : found)
        if (f.meta.partPath == attachment.partPath) {
          match = &f;
          break;
        }
    if (!match)
      for (const auto& f : found)
        if (f.meta.filename == attachment.filename && f.meta.mimeType == attachment.mimeType) {
          match = &f;
          break;
        }
    if (!match) return std::nullopt;
    return decodeTransferEncoding(match->data, match->encoding);
  });
}

DecodedHeaders EmailContentDecoder::decodeHeaders(std::string_view rawMessage) {
  const std::vector<HeaderField> fields = header_fields(rawMessage);
  DecodedHeaders headers;
  if (const auto* subject = field_value(fields, "subject")) headers.subject = decodeMimeHeader(*subject);
  if (const auto* from = field_value(fields, "from")) {
    std::vector<store::EmailContact> list = address_list(*from);
    if (!list.empty()) headers.from = std::move(list.front());
  }
  if (const auto* to = field_value(fields, "to")) headers.to = address_list(*to);
  if (const auto* cc = field_value(fields, "cc")) headers.cc = address_list(*cc);
  if (const auto* reply = field_value(fields, "reply-to")) headers.replyTo = address_list(*reply);
  auto text_field = [&](std::string_view name) -> std::optional<std::string> {
    const auto* value = field_value(fields, name);
    if (!value || value->empty()) return std::nullopt;
    return literal_text(*value);
  };
  headers.date = text_field("date");
  headers.messageId = text_field("message-id");
  headers.inReplyTo = text_field("in-reply-to");
  return headers;
}

}  // namespace kestrova::mail
