#include "util/base64.h"

#include <cstdint>

namespace kestrova::base64 {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The 6-bit value of an alphabet character, or -1.
int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

}  // namespace

std::string encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t group = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16 |
                           static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8 |
                           static_cast<uint8_t>(bytes[i + 2]);
    out.push_back(kAlphabet[group >> 18]);
    out.push_back(kAlphabet[(group >> 12) & 0x3F]);
    out.push_back(kAlphabet[(group >> 6) & 0x3F]);
    out.push_back(kAlphabet[group & 0x3F]);
  }
  const size_t rest = bytes.size() - i;
  if (rest == 0) return out;
  uint32_t group = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16;
  if (rest == 2) group |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
  out.push_back(kAlphabet[group >> 18]);
  out.push_back(kAlphabet[(group >> 12) & 0x3F]);
  out.push_back(rest == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=');
  out.push_back('=');
  return out;
}

std::optional<std::string> decode(std::string_view text) {
  std::string out;
  out.reserve(text.size() / 4 * 3);
  uint32_t bits = 0;
  int pending = 0;  // alphabet characters in the current group of four
  size_t padding = 0;
  for (char c : text) {
    if (is_space(c)) continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const int value = sextet(c);
    if (value < 0 || padding > 0) return std::nullopt;
    bits = bits << 6 | static_cast<uint32_t>(value);
    if (++pending == 4) {
      out.push_back(static_cast<char>(bits >> 16));
      out.push_back(static_cast<char>(bits >> 8));
      out.push_back(static_cast<char>(bits));
      bits = 0;
      pending = 0;
    }
  }
  // A trailing group of two or three characters carries one or two bytes; a lone
  // character cannot, and padding must only complete the last group.
  if (pending == 1) return std::nullopt;
  if (padding > 0 && (pending == 0 || pending + padding != 4)) return std::nullopt;
  if (pending == 2) out.push_back(static_cast<char>(bits >> 4));
  if (pending == 3) {
    out.push_back(static_cast<char>(bits >> 10));
    out.push_back(static_cast<char>(bits >> 2));
  }
  return out;
}

}  // namespace kestrova::base64
