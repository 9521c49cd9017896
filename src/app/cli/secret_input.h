#pragma once

#include <string>
#include <string_view>

namespace kestrova::app {

// A secret (password, API key) as the user gives it: with `fromStandardInput` the first
// line of standard input; otherwise typed on the terminal after `prompt` (written to
// standard error) with echo off. Never trimmed: blanks may belong to it. Throws
// kestrova::Error with `notTerminal` when it has to prompt and standard input is no
// terminal.
std::string read_secret(std::string_view prompt, bool fromStandardInput,
                        std::string_view notTerminal);

}  // namespace kestrova::app
