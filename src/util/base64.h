#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova::base64 {

// RFC 4648 §4 Base64 with the standard alphabet ("A-Za-z0-9+/") and "=" padding.

// The padded encoding of `bytes`, on one line.
std::string encode(std::string_view bytes);

// The bytes of `text`. ASCII white space (the line breaks of MIME bodies) is skipped and the
// padding may be left out; nothing when any other character is outside the alphabet, when
// something follows the padding, or when the length cannot be an encoding.
std::optional<std::string> decode(std::string_view text);

}  // namespace kestrova::base64
