#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kestrova {

// The whole content of a regular file, as bytes; nothing when it is missing, not a regular
// file or cannot be read. Callers turn nothing into the error their context calls for.
std::optional<std::string> read_file(const std::filesystem::path& path);

}  // namespace kestrova
