#include "mail/mime_charset.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <array>
#include <climits>
#include <cstdint>
#include <initializer_list>
#include <memory>

#include "util/c_free.h"
#include "util/text.h"

namespace kestrova::mail {

namespace {

using ConverterPtr = CHandle<UConverter, &ucnv_close>;

constexpr int32_t kScoredCodePoints = 512;
constexpr int kGarbledRun = 3;
constexpr size_t kMaxCharsetName = 64;

// Windows-1252's code points for the bytes 0x80-0x9F (0 where the byte is unassigned).
constexpr std::array<char32_t, 32> kWindows1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// The byte Latin-1 (or Windows-1252 for 0x80-0x9F) writes `c` as; -1 when none.
int latin1_byte(UChar32 c) {
  if (c >= 0 && c <= 0xFF) return c;
  for (size_t i = 0; i < kWindows1252High.size(); ++i)
    if (kWindows1252High[i] == static_cast<char32_t>(c)) return static_cast<int>(0x80 + i);
  return -1;
}

std::string lower_ascii_trimmed(std::string_view name) {
  while (!name.empty() && (name.front() == ' ' || name.front() == '\t' || name.front() == '"' ||
                           name.front() == '\''))
    name.remove_prefix(1);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t' || name.back() == '"' ||
                           name.back() == '\''))
    name.remove_suffix(1);
  std::string out(name);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The ICU name for a lower-cased charset label.
std::string icu_name(const std::string& label) {
  if (label == "gb2312" || label == "euc-cn" || label == "x-euc-cn") return "GB2312";
  if (label == "gbk" || label == "cp936" || label == "x-gbk" || label == "windows-936")
    return "GB18030";
  if (label == "iso-8859-1" || label == "iso8859-1" || label == "latin1" || label == "l1" ||
      label == "us-ascii" || label == "ascii" || label == "cp1252")
    return "windows-1252";
  if (label == "ks_c_5601-1987") return "windows-949";
  return label;
}

// ICU's substitute callback writes U+001A instead of U+FFFD for an invalid single byte in
// converters whose substitution character is 0x1A (GB 2312 and many single-byte tables), so
// "gb2312" text written in GBK came out with SUB controls the fall-back readings never
// noticed. Every invalid or unmappable sequence becomes U+FFFD here.
void replacement_callback(const void*, UConverterToUnicodeArgs* args, const char*, int32_t,
                          UConverterCallbackReason reason, UErrorCode* status) {
  if (reason != UCNV_UNASSIGNED && reason != UCNV_ILLEGAL && reason != UCNV_IRREGULAR) return;
  static constexpr UChar kReplacement = 0xFFFD;
  *status = U_ZERO_ERROR;
  ucnv_cbToUWriteUChars(args, &kReplacement, 1, 0, status);
}

std::optional<std::string> convert_with_icu(std::string_view bytes, const std::string& name) {
  if (name.empty() || name.size() > kMaxCharsetName) return std::nullopt;
  if (name.find('\0') != std::string::npos) return std::nullopt;
  // ucnv_open looks for a converter file on disk for a name its alias table lacks; asking
  // the table first keeps unknown names (every message may bring its own) cheap.
  UErrorCode status = U_ZERO_ERROR;
  if (!ucnv_getAlias(name.c_str(), 0, &status) || U_FAILURE(status)) return std::nullopt;
  status = U_ZERO_ERROR;
  ConverterPtr converter(ucnv_open(name.c_str(), &status));
  if (U_FAILURE(status) || !converter) return std::nullopt;
  ucnv_setToUCallBack(converter.get(), replacement_callback, nullptr, nullptr, nullptr, &status);
  if (U_FAILURE(status)) return std::nullopt;
  if (bytes.size() > static_cast<size_t>(INT32_MAX / 2)) bytes = bytes.substr(0, INT32_MAX / 2);
  status = U_ZERO_ERROR;
  icu::UnicodeString text(bytes.data(), static_cast<int32_t>(bytes.size()), converter.get(),
                          status);
  if (U_FAILURE(status)) return std::nullopt;
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string as_utf8(std::string_view bytes) {
  if (text::is_valid_utf8(bytes)) return std::string(bytes);
  return convert_with_icu(bytes, "UTF-8").value_or(std::string());
}

bool contains_replacement(std::string_view utf8) {
  return utf8.find("\xEF\xBF\xBD") != std::string_view::npos;
}

bool is_ascii_letter(UChar32 c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_basic_ideograph(UChar32 c) { return c >= 0x4E00 && c <= 0x9FFF; }

double weight(UChar32 c, UChar32 before, UChar32 after) {
  if (c == 0xFFFD || c < 0) return -2;
  if (c < 0x80) {
    if (c == '\t' || c == '\n' || c == '\r' || c == ' ') return 1;
    if (c < 0x20 || c == 0x7F) return -2;
    if (is_ascii_letter(c) || (c >= '0' && c <= '9')) return 1;
    return 0.8;
  }
  if (c <= 0x9F) return -2;
  if ((c >= 0xA0 && c <= 0xBF) || c == 0xD7 || c == 0xF7) return -0.5;
  if (is_basic_ideograph(c)) return is_ascii_letter(before) && is_ascii_letter(after) ? -1 : 1;
  if ((c >= 0x3000 && c <= 0x30FF) || (c >= 0xAC00 && c <= 0xD7AF) ||
      (c >= 0xFF01 && c <= 0xFF60))
    return 1;
  if (c >= 0xFF61 && c <= 0xFF9F) return 0.3;
  if ((c >= 0xE000 && c <= 0xF8FF) || (c >= 0xF0000) || !u_isdefined(c)) return -1;
  if (u_hasBinaryProperty(c, UCHAR_IDEOGRAPHIC)) return 0.3;
  if (u_isalpha(c)) return 0.6;
  return 0.3;
}

// The first code points of `utf8` (invalid sequences read as -1).
std::vector<UChar32> leading_code_points(std::string_view utf8, int32_t count) {
  std::vector<UChar32> out;
  out.reserve(std::min<size_t>(utf8.size(), static_cast<size_t>(count)));
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  const auto length = static_cast<int32_t>(std::min<size_t>(utf8.size(), INT32_MAX));
  int32_t i = 0;
  while (i < length && static_cast<int32_t>(out.size()) < count) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    out.push_back(c);
  }
  return out;
}

// Decodings of `bytes` in each charset, the best one (strictly higher than `floor` and than
// the earlier candidates); nothing when none beats `floor`.
std::optional<std::string> best_reading(std::string_view bytes,
                                        std::initializer_list<const char*> charsets,
                                        double floor) {
  std::optional<std::string> best;
  double best_score = floor;
  for (const char* name : charsets) {
    std::optional<std::string> candidate =
        std::string_view(name) == "UTF-8" ? as_utf8(bytes) : convert_with_icu(bytes, name);
    if (!candidate) continue;
    const double score = readability_score(*candidate);
    if (score > best_score) {
      best_score = score;
      best = std::move(candidate);
    }
  }
  return best;
}

}  // namespace

std::optional<std::string> convert_charset(std::string_view bytes, std::string_view charset) {
  const std::string label = lower_ascii_trimmed(charset);
  if (label == "utf-8" || label == "utf8") return as_utf8(bytes);
  return convert_with_icu(bytes, icu_name(label));
}

double readability_score(std::string_view utf8) {
  const std::vector<UChar32> points = leading_code_points(utf8, kScoredCodePoints + 1);
  const size_t n = std::min<size_t>(points.size(), kScoredCodePoints);
  if (n == 0) return 1;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const UChar32 before = i > 0 ? points[i - 1] : 0;
    const UChar32 after = i + 1 < points.size() ? points[i + 1] : 0;
    sum += weight(points[i], before, after);
  }
  return sum / static_cast<double>(n);
}

bool looks_garbled(std::string_view utf8) {
  if (contains_replacement(utf8)) return true;
  const auto* s = reinterpret_cast<const uint8_t*>(utf8.data());
  const auto length = static_cast<int32_t>(std::min<size_t>(utf8.size(), INT32_MAX));
  int run = 0;
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    if (c < 0 || (c >= 0x80 && c <= 0x9F)) return true;
    if (c >= 0x80 && latin1_byte(c) >= 0) {
      if (++run >= kGarbledRun) return true;
    } else {
      run = 0;
    }
  }
  return false;
}

std::string repair_garbled_text(std::string_view utf8) {
  std::string text = as_utf8(utf8);
  if (!looks_garbled(text)) return text;
  std::string bytes;
  bytes.reserve(text.size());
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(std::min<size_t>(text.size(), INT32_MAX));
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(s, i, length, c);
    const int byte = latin1_byte(c);
    if (byte < 0) return text;
    bytes.push_back(static_cast<char>(byte));
  }
  std::optional<std::string> better =
      best_reading(bytes, {"UTF-8", "GB18030", "Big5"}, readability_score(text));
  return better ? std::move(*better) : text;
}

std::string decode_charset_text(std::string_view bytes, std::string_view charset) {
  const std::string label = lower_ascii_trimmed(charset);
  if (label.empty() || label == "us-ascii" || label == "ascii") {
    if (text::is_valid_utf8(bytes)) return std::string(bytes);
    if (label.empty())
      return best_reading(bytes, {"GB18030", "Big5", "windows-1252"}, -3).value_or(as_utf8(bytes));
    return best_reading(bytes, {"windows-1252", "GB18030", "Big5"}, -3).value_or(as_utf8(bytes));
  }
  std::optional<std::string> text = convert_charset(bytes, label);
  if (!text) return repair_garbled_text(as_utf8(bytes));
  if (contains_replacement(*text)) {
    std::optional<std::string> better =
        best_reading(bytes, {"UTF-8", "GB18030", "Big5"}, readability_score(*text));
    if (better) return std::move(*better);
  }
  return repair_garbled_text(*text);
}

}  // namespace kestrova::mail
