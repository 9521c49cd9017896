#include "mail/modified_utf7.h"

#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <cstdint>
#include <optional>

#include "util/base64.h"

namespace kestrova::mail {

namespace {

// Appends "&" + Base64 of the units' big-endian bytes + "-" and empties `units`. RFC 3501
// §5.1.3 writes Base64 with "," in place of "/" and without "=" padding.
void flush_pending(std::u16string& units, std::string& out) {
  if (units.empty()) return;
  std::string bytes;
  bytes.reserve(units.size() * 2);
  for (char16_t unit : units) {
    bytes.push_back(static_cast<char>(unit >> 8));
    bytes.push_back(static_cast<char>(unit & 0xFF));
  }
  std::string text = base64::encode(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  std::replace(text.begin(), text.end(), '/', ',');
  out.append("&").append(text).append("-");
  units.clear();
}

bool is_base64_character(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

// One "&...-" run without its delimiters; nothing when it is not Base64 of UTF-16.
std::optional<std::string> decode_run(std::string_view run) {
  std::string text;
  text.reserve(run.size() + 3);
  for (char c : run) {
    if (c == ' ') continue;
    const char normal = c == ',' ? '/' : c;
    // Only spaces are forgiven; any other stray character spoils the run.
    if (!is_base64_character(normal)) return std::nullopt;
    text.push_back(normal);
  }
  while (text.size() % 4 != 0) text.push_back('=');
  const auto bytes = base64::decode(text);
  if (!bytes || bytes->size() % 2 != 0) return std::nullopt;

  std::u16string units;
  units.reserve(bytes->size() / 2);
  for (size_t i = 0; i < bytes->size(); i += 2) {
    units.push_back(static_cast<char16_t>((uint8_t((*bytes)[i]) << 8) | uint8_t((*bytes)[i + 1])));
  }
  if (units.empty()) return std::string();
  // u_strToUTF8 refuses unpaired surrogates, which have no UTF-8 form.
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = 0;
  u_strToUTF8(nullptr, 0, &length, units.data(), static_cast<int32_t>(units.size()), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) return std::nullopt;
  std::string utf8(static_cast<size_t>(length), '\0');
  status = U_ZERO_ERROR;
  u_strToUTF8(utf8.data(), length, nullptr, units.data(), static_cast<int32_t>(units.size()),
              &status);
  if (U_FAILURE(status)) return std::nullopt;
  return utf8;
}

}  // namespace

std::string encode_modified_utf7(std::string_view text) {
  if (text.empty()) return {};
  const icu::UnicodeString units =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  std::string out;
  out.reserve(text.size() + 8);
  std::u16string pending;
  for (int32_t i = 0; i < units.length(); ++i) {
    const char16_t unit = units.charAt(i);
    if (unit < 0x20 || unit > 0x7E) {
      pending.push_back(unit);
      continue;
    }
    flush_pending(pending, out);
    if (unit == u'&') {
      out += "&-";
    } else {
      out.push_back(static_cast<char>(unit));
    }
  }
  flush_pending(pending, out);
  return out;
}

std::string decode_modified_utf7(std::string_view text) {
  if (text.find('&') == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] != '&') {
      out.push_back(text[i++]);
      continue;
    }
    const size_t dash = text.find('-', i + 1);
    if (dash == std::string_view::npos) {
      out.push_back('&');
      break;
    }
    if (dash == i + 1) {
      out.push_back('&');
    } else if (auto decoded = decode_run(text.substr(i + 1, dash - i - 1))) {
      out += *decoded;
    }
    i = dash + 1;
  }
  return out;
}

std::string imap_wire_folder_name(std::string_view name) {
  const bool ascii = std::all_of(name.begin(), name.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) return std::string(name);
  if (name.find("&-") != std::string_view::npos) return std::string(name);
  const size_t amp = name.find('&');
  const size_t dash = name.rfind('-');
  if (amp != std::string_view::npos && dash != std::string_view::npos && dash > amp + 1) {
    return std::string(name);
  }
  return encode_modified_utf7(name);
}

}  // namespace kestrova::mail
