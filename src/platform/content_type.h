#pragma once

#include <string>
#include <string_view>

namespace kestrova::platform {

// The MIME type of a file, guessed from its name and, where the name says little, its
// first bytes (the desktop's shared MIME database). "application/octet-stream" when
// nothing fits.
std::string guess_mime_type(std::string_view fileName, std::string_view data = {});

}  // namespace kestrova::platform
