#include "ai/email_language_detector.h"

#include <unicode/utf8.h>

#include <array>
#include <cstdint>
#include <utility>

namespace kestrova::ai {

namespace {

using L = EmailDetectedLanguage;

constexpr std::array<std::pair<L, std::string_view>, 5> kRaw{{{L::chinese, "zh"},
                                                              {L::english, "en"},
                                                              {L::japanese, "ja"},
                                                              {L::korean, "ko"},
                                                              {L::unknown, "unknown"}}};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// `text` without "http://…" and "https://…" runs up to the next white space.
std::string without_links(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    const size_t link = std::min(text.find("http://", at), text.find("https://", at));
    if (link == std::string_view::npos) {
      out.append(text.substr(at));
      break;
    }
    out.append(text.substr(at, link - at));
    at = link;
    while (at < text.size() && !is_space(text[at])) ++at;
  }
  return out;
}

bool in(UChar32 c, UChar32 first, UChar32 last) { return c >= first && c <= last; }

}  // namespace

std::string_view raw_value(EmailDetectedLanguage language) {
  for (const auto& [value, raw] : kRaw)
    if (value == language) return raw;
  return "unknown";
}

std::optional<EmailDetectedLanguage> detected_language_from_raw(std::string_view raw) {
  for (const auto& [value, name] : kRaw)
    if (name == raw) return value;
  return std::nullopt;
}

std::optional<std::string> display_key(EmailDetectedLanguage language) {
  switch (language) {
    case L::chinese:
      return "email.language.chinese";
    case L::english:
      return "email.language.english";
    case L::japanese:
      return "email.language.japanese";
    case L::korean:
      return "email.language.korean";
    case L::unknown:
      break;
  }
  return std::nullopt;
}

EmailDetectedLanguage EmailLanguageDetector::detect(std::string_view input) {
  const std::string text = without_links(input);
  int64_t latin = 0, han = 0, kana = 0, hangul = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (in(c, 'A', 'Z') || in(c, 'a', 'z'))
      ++latin;
    else if (in(c, 0x4E00, 0x9FFF) || in(c, 0x3400, 0x4DBF))
      ++han;
    else if (in(c, 0x3040, 0x30FF) || in(c, 0x31F0, 0x31FF))
      ++kana;
    else if (in(c, 0xAC00, 0xD7AF) || in(c, 0x1100, 0x11FF) || in(c, 0x3130, 0x318F))
      ++hangul;
  }
  if (hangul > 3 && hangul >= kana && hangul >= han) return L::korean;
  if (kana > 2) return L::japanese;
  if (han >= 6 && han >= latin) return L::chinese;
  if (latin > 23 && 2 * han <= latin) return L::english;
  if (han >= 12) return L::chinese;
  return L::unknown;
}

}  // namespace kestrova::ai
