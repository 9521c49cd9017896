#include "util/display_width.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace kestrova {

namespace {

int code_point_width(UChar32 c) {
  if (c < 0) return 1;  // a malformed byte shows as one replacement character
  const int8_t category = u_charType(c);
  if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK || category == U_FORMAT_CHAR)
    return 0;
  const auto width = static_cast<UEastAsianWidth>(u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH));
  return width == U_EA_WIDE || width == U_EA_FULLWIDTH ? 2 : 1;
}

}  // namespace

size_t display_width(std::string_view text) {
  size_t columns = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    columns += static_cast<size_t>(code_point_width(c));
  }
  return columns;
}

std::string fit_to_width(std::string_view text, size_t columns) {
  std::string clean(text);
  for (char& ch : clean)
    if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = ' ';
  if (display_width(clean) <= columns) return clean;
  if (columns == 0) return {};
  std::string out;
  size_t used = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(clean.data());
  const auto length = static_cast<int32_t>(clean.size());
  for (int32_t i = 0; i < length;) {
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    const auto width = static_cast<size_t>(code_point_width(c));
    if (used + width > columns - 1) break;  // one column stays for the ellipsis
    out.append(clean, static_cast<size_t>(start), static_cast<size_t>(i - start));
    used += width;
  }
  return out + "…";
}

}  // namespace kestrova
