#include "util/terminal_text.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdio>

#include "util/text.h"

namespace kestrova {

namespace {

constexpr UChar32 kReplacement = 0xFFFD;

// Appends one of the valid code points this file writes.
void append(std::string& out, UChar32 c) {
  uint8_t buffer[U8_MAX_LENGTH];
  int32_t length = 0;
  U8_APPEND_UNSAFE(buffer, length, c);
  out.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
}

// Embeddings, overrides and isolates change the order of everything after them up to
// their terminator, which a hostile text leaves out; the marks (LRM, RLM, ALM) only
// influence the characters next to them.
bool is_bidi_embedding(UChar32 c) {
  return u_hasBinaryProperty(c, UCHAR_BIDI_CONTROL) && c != 0x200E && c != 0x200F && c != 0x061C;
}

bool is_line_separator(UChar32 c) { return c == 0x2028 || c == 0x2029; }

// Walks the code points of `text`, with -1 for each byte that is not part of valid UTF-8.
template <class F>
void for_each_code_point(std::string_view text, F&& f) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    f(c, text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)),
      i < length ? bytes[i] : -1);
  }
}

}  // namespace

std::string terminal_safe(std::string_view text, TextShape shape) {
  std::string out;
  out.reserve(text.size());
  const bool block = shape == TextShape::block;
  for_each_code_point(text, [&](UChar32 c, std::string_view bytes, int next) {
    if (c < 0 || (c >= 0x80 && c <= 0x9F)) {
      append(out, kReplacement);
    } else if (c == '\t') {
      out += block ? '\t' : ' ';
    } else if (c == '\n' && block) {
      out += '\n';
    } else if (c == '\r' && block && next == '\n') {
      // CR LF line ends read as LF
    } else if (c < 0x20) {
      append(out, 0x2400 + c);
    } else if (c == 0x7F) {
      append(out, 0x2421);
    } else if (is_line_separator(c)) {
      if (block)
        out += '\n';
      else
        append(out, c == 0x2028 ? 0x2424 : 0x00B6);  // "␤", "¶"
    } else if (!is_bidi_embedding(c)) {
      out.append(bytes);
    }
  });
  return out;
}

std::string terminal_safe_json(std::string_view json) {
  std::string out;
  out.reserve(json.size());
  for_each_code_point(json, [&](UChar32 c, std::string_view bytes, int) {
    if (c < 0) {
      append(out, kReplacement);
    } else if (c == 0x7F || (c >= 0x80 && c <= 0x9F) || is_line_separator(c) ||
               is_bidi_embedding(c)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
      out += escape;
    } else {
      out.append(bytes);
    }
  });
  return out;
}

std::string quoted_excerpt(std::string_view text, size_t characters) {
  if (text.size() <= characters) return std::string(text);  // fewer bytes than characters
  // A character of more than 32 bytes (a long combining sequence) ends the excerpt early;
  // a 200 KB body is not converted whole for its first few hundred characters.
  const std::string_view head = text.substr(0, characters * 32);
  std::string cut = text::prefix_characters(head, characters);
  if (head.size() < text.size() || text::prefix_characters(head, characters + 1) != cut) cut += "…";
  return cut;
}

}  // namespace kestrova
