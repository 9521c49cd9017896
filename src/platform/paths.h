#pragma once

#include <filesystem>
#include <optional>

namespace kestrova::platform {

// XDG base directories: the variable when set and absolute, else the usual fallback.
std::filesystem::path home_directory();
std::filesystem::path data_home();    // $XDG_DATA_HOME or ~/.local/share
std::filesystem::path config_home();  // $XDG_CONFIG_HOME or ~/.config
// The running program's own file (/proc/self/exe), when it can be determined.
std::optional<std::filesystem::path> executable_path();

}  // namespace kestrova::platform
