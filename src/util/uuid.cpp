#include "util/uuid.h"

#include <array>
#include <cstdint>
#include <random>

namespace kestrova {

namespace {

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char upper(char c) { return (c >= 'a' && c <= 'f') ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::optional<std::string> parse_uuid(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::string out(36, '-');
  for (size_t i = 0; i < 36; ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    if (!is_hex(text[i])) return std::nullopt;
    out[i] = upper(text[i]);
  }
  return out;
}

bool is_uuid(std::string_view text) { return parse_uuid(text).has_value(); }

std::string new_uuid() {
  thread_local std::mt19937_64 engine{std::random_device{}()};
  std::array<uint8_t, 16> bytes{};
  for (size_t i = 0; i < 16; i += 8) {
    uint64_t r = engine();
    for (size_t j = 0; j < 8; ++j) bytes[i + j] = static_cast<uint8_t>(r >> (8 * j));
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 0x0F]);
  }
  return out;
}

}  // namespace kestrova
