#pragma once

#include <string>
#include <string_view>

namespace kestrova {

// Terminal columns of UTF-8 text: wide and full-width characters (CJK, most emoji) take
// two, combining marks and format characters none, everything else one.
size_t display_width(std::string_view text);

// `text` cut to at most `columns` columns, ending in "…" when it was cut; control characters
// (a tab or newline in a subject) become spaces so that one item stays one line.
std::string fit_to_width(std::string_view text, size_t columns);

}  // namespace kestrova
