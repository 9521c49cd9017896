#pragma once

#include <string>
#include <string_view>

namespace kestrova {

// User-facing texts by localisation key. The Chinese texts are the defaults; a key without
// a text returns the key itself, so a missing entry shows up instead of an empty label.
std::string localized(std::string_view key);

}  // namespace kestrova
