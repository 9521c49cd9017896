// libFuzzer target: IMAP modified UTF-7 (RFC 3501 §5.1.3) in both directions and the
// preparation of folder names for the wire, on arbitrary bytes. Beyond "no crash, no leak
// and no sanitizer report" it aborts when
//   - encoding yields anything but printable ASCII (what a mailbox name on the wire is made
//     of), or not the one form the encoder writes: every "&" starts "&-" or a run of the
//     Base64 letters ("," for "/") whose length fits whole UTF-16 units, closed by "-"; two
//     runs never touch; a run holds no unit the encoder writes as itself (0x20..0x7E);
//   - decoding valid UTF-8 yields invalid UTF-8 (a Base64 run may hold lone surrogates,
//     which must not reach the database as such), or decoding changes a text without "&";
//   - decoding the encoding does not give the input back (valid UTF-8), or is not UTF-8 at
//     all (invalid input is read as U+FFFD); the same for what the decoder made of the input;
//   - the wire form of a folder name is neither the name itself (ASCII names and names that
//     already look encoded) nor its encoding, or the wrong one of the two was chosen.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mail/modified_utf7.h"

namespace {

using kestrova::mail::decode_modified_utf7;
using kestrova::mail::encode_modified_utf7;
using kestrova::mail::imap_wire_folder_name;

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len = 0;
    uint32_t cp = 0, min = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2, cp = c & 0x1F, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4, cp = c & 0x07, min = 0x10000;
    } else {
      return false;
    }
    if (i + len > s.size()) return false;
    for (size_t k = 1; k < len; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

bool printable_ascii(std::string_view s) {
  for (char c : s)
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

bool all_ascii(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// A name that already looks encoded: "&-" somewhere, or an "&" with a later "-" and at
// least one character between them.
bool looks_encoded(std::string_view s) {
  if (s.find("&-") != std::string_view::npos) return true;
  const size_t amp = s.find('&');
  return amp != std::string_view::npos && s.find('-', amp + 2) != std::string_view::npos;
}

bool is_run_letter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == ',';
}

// Checks that `encoded` has the shape the encoder writes (see the top of the file); returns
// what is wrong, or nothing.
const char* misshapen_encoding(std::string_view encoded) {
  size_t i = 0;
  size_t last_run_end = std::string_view::npos;  // index just past the last run's "-"
  while (i < encoded.size()) {
    if (encoded[i] != '&') {
      ++i;
      continue;
    }
    if (i + 1 < encoded.size() && encoded[i + 1] == '-') {
      i += 2;
      continue;
    }
    if (i == last_run_end) return "two runs touch";
    size_t end = i + 1;
    while (end < encoded.size() && is_run_letter(encoded[end])) ++end;
    if (end == encoded.size() || encoded[end] != '-') return "a run is not closed by \"-\"";
    const size_t letters = end - i - 1;
    // n units are 16n bits: 8 letters per 3 units, 3 or 6 letters for a trailing 1 or 2.
    if (letters == 0 || (letters % 8 != 0 && letters % 8 != 3 && letters % 8 != 6))
      return "a run's length fits no whole number of UTF-16 units";
    const std::string text = decode_modified_utf7(encoded.substr(i, end + 1 - i));
    if (text.empty()) return "a run does not decode";
    for (char c : text)
      if (c >= 0x20 && c <= 0x7E) return "a run holds a character written as itself";
    i = last_run_end = end + 1;
  }
  return nullptr;
}

void print_bytes(const char* label, std::string_view s) {
  std::fprintf(stderr, "%s (%zu bytes):", label, s.size());
  for (unsigned char c : s) std::fprintf(stderr, " %02x", c);
  std::fprintf(stderr, "\n");
}

[[noreturn]] void fail(const char* what, std::string_view input, std::string_view output) {
  std::fprintf(stderr, "modified UTF-7: %s\n", what);
  print_bytes("input", input);
  print_bytes("output", output);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const bool utf8 = valid_utf8(input);

  // Whatever a server sends as a mailbox name.
  const std::string decoded = decode_modified_utf7(input);
  if (utf8 && !valid_utf8(decoded)) fail("decoding gave invalid UTF-8", input, decoded);
  if (input.find('&') == std::string_view::npos && decoded != input)
    fail("decoding changed a text without \"&\"", input, decoded);

  // Whatever the user types as a folder name (invalid UTF-8 included).
  const std::string encoded = encode_modified_utf7(input);
  if (!printable_ascii(encoded)) fail("encoding gave more than printable ASCII", input, encoded);
  if (const char* wrong = misshapen_encoding(encoded)) fail(wrong, input, encoded);
  const std::string back = decode_modified_utf7(encoded);
  if (!valid_utf8(back)) fail("decode(encode(x)) is not UTF-8", input, back);
  if (utf8 && back != input) fail("decode(encode(x)) differs from x", input, back);

  // A decoded server name is what the user sees and may send back (NULs and controls that
  // a run carried included): it must survive the trip too.
  if (valid_utf8(decoded)) {
    const std::string again = decode_modified_utf7(encode_modified_utf7(decoded));
    if (again != decoded) fail("a decoded name does not survive encode and decode", input, again);
  }

  const std::string wire = imap_wire_folder_name(input);
  const bool unchanged = all_ascii(input) || looks_encoded(input);
  if (unchanged && wire != input) fail("a name that goes out unchanged was changed", input, wire);
  if (!unchanged && wire != encoded) fail("a name that must be encoded was not", input, wire);
  return 0;
}
