#pragma once

#include <string_view>
#include <unordered_map>

namespace kestrova::detail {

// The text tables behind localized(): one per language, keyed by localisation key. Every
// key of the Chinese table should have an English text; a key added to one table gets its
// text in the other in the same change.
using TextTable = std::unordered_map<std::string_view, std::string_view>;
const TextTable& chinese_texts();
const TextTable& english_texts();

}  // namespace kestrova::detail
