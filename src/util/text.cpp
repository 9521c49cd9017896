#include "util/text.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <memory>
#include <optional>

namespace kestrova::text {

namespace {

icu::UnicodeString to_unicode(std::string_view s) {
  return icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
}

std::string to_utf8(const icu::UnicodeString& u) {
  std::string out;
  u.toUTF8String(out);
  return out;
}

bool is_space(UChar32 c) { return u_isUWhiteSpace(c) || c == 0x85; }

// Walks the code points of a UTF-8 string, calling f(code_point, begin, end).
template <typename F>
void for_each_code_point(std::string_view s, F&& f) {
  int32_t i = 0;
  const int32_t n = static_cast<int32_t>(s.size());
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  while (i < n) {
    const int32_t begin = i;
    UChar32 c;
    U8_NEXT(p, i, n, c);
    if (c < 0) c = 0xFFFD;
    f(c, begin, i);
  }
}

}  // namespace

std::string trim(std::string_view s) {
  size_t first = s.size();
  size_t last = 0;
  for_each_code_point(s, [&](UChar32 c, int32_t begin, int32_t end) {
    if (is_space(c)) return;
    if (first == s.size()) first = static_cast<size_t>(begin);
    last = static_cast<size_t>(end);
  });
  if (first == s.size()) return {};
  return std::string(s.substr(first, last - first));
}

namespace {

// The ASCII lower-case form when `s` is ASCII without any of the bytes in `special`, where
// the Unicode mappings and the plain one agree; nothing otherwise.
std::optional<std::string> plain_ascii_lower(std::string_view s, std::string_view special = {}) {
  for (unsigned char c : s)
    if (c >= 0x80 || special.find(static_cast<char>(c)) != std::string_view::npos) return std::nullopt;
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

}  // namespace

std::string lower(std::string_view s) {
  if (auto plain = plain_ascii_lower(s)) return std::move(*plain);
  icu::UnicodeString u = to_unicode(s);
  u.toLower(icu::Locale::getRoot());
  return to_utf8(u);
}

bool contains_ci(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return true;
  return lower(haystack).find(lower(needle)) != std::string::npos;
}

namespace {

bool turkic_locale() {
  const std::string_view language = icu::Locale::getDefault().getLanguage();
  return language == "tr" || language == "az";
}

}  // namespace

std::string fold_case_locale(std::string_view s) {
  const bool turkic = turkic_locale();
  if (auto plain = plain_ascii_lower(s, turkic ? "I" : "")) return std::move(*plain);
  icu::UnicodeString u = to_unicode(s);
  u.foldCase(turkic ? U_FOLD_CASE_EXCLUDE_SPECIAL_I : U_FOLD_CASE_DEFAULT);
  return to_utf8(u);
}

bool contains_ci_locale(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return true;
  return fold_case_locale(haystack).find(fold_case_locale(needle)) != std::string::npos;
}

bool equals_ci(std::string_view a, std::string_view b) { return lower(a) == lower(b); }

std::string prefix_characters(std::string_view s, size_t count) {
  if (s.size() <= count) return std::string(s);  // fewer bytes than characters asked for
  icu::UnicodeString u = to_unicode(s);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return to_utf8(u.tempSubString(0, static_cast<int32_t>(count)));
  it->setText(u);
  int32_t end = it->first();
  for (size_t i = 0; i < count; ++i) {
    int32_t next = it->next();
    if (next == icu::BreakIterator::DONE) return to_utf8(u);
    end = next;
  }
  return to_utf8(u.tempSubString(0, end));
}

size_t character_count(std::string_view s) {
  icu::UnicodeString u = to_unicode(s);
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status)) return static_cast<size_t>(u.countChar32());
  it->setText(u);
  size_t n = 0;
  it->first();
  while (it->next() != icu::BreakIterator::DONE) ++n;
  return n;
}

std::vector<std::string> split_whitespace(std::string_view s) {
  std::vector<std::string> pieces;
  std::string current;
  for_each_code_point(s, [&](UChar32 c, int32_t begin, int32_t end) {
    if (is_space(c)) {
      if (!current.empty()) pieces.push_back(std::move(current));
      current.clear();
      return;
    }
    current.append(s.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin)));
  });
  if (!current.empty()) pieces.push_back(std::move(current));
  return pieces;
}

std::string keep_alphanumerics_and_spaces(std::string_view s) {
  std::string out;
  for_each_code_point(s, [&](UChar32 c, int32_t begin, int32_t end) {
    const int32_t mask = U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK;
    if ((U_GET_GC_MASK(c) & mask) != 0 || is_space(c))
      out.append(s.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin)));
  });
  return out;
}

bool is_valid_utf8(std::string_view s) {
  bool ok = true;
  int32_t i = 0;
  const int32_t n = static_cast<int32_t>(s.size());
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  while (i < n && ok) {
    UChar32 c;
    U8_NEXT(p, i, n, c);
    if (c < 0) ok = false;
  }
  return ok;
}

}  // namespace kestrova::text
