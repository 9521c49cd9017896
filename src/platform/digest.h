#pragma once

#include <string>
#include <string_view>

namespace kestrova::platform {

// The SHA-256 digest of `bytes` as 64 lower-case hexadecimal digits.
std::string sha256_hex(std::string_view bytes);

}  // namespace kestrova::platform
