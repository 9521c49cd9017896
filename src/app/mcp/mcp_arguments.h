#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "util/json.h"

namespace kestrova::app::args {

// The argument helpers shared by every tool. Their failure messages are part of the
// protocol and must not change.

// A JSON string with at least one character, else MCPError
// "Missing required argument: " + key.
std::string required_string(const Json& arguments, std::string_view key);
// A JSON string; any other value counts as absent.
std::optional<std::string> optional_string(const Json& arguments, std::string_view key);
// An optional string that parses as a UUID, in canonical upper-case form. Absent or empty
// gives nothing; a non-empty string that is not a UUID fails with "Invalid UUID: " + text.
std::optional<std::string> uuid(const Json& arguments, std::string_view key);
// A JSON number with an integral value (saturated to the 64-bit range); anything else
// counts as absent.
std::optional<int64_t> integer(const Json& arguments, std::string_view key);
// JSON true/false, or the numbers 0 and 1; anything else counts as absent.
std::optional<bool> boolean(const Json& arguments, std::string_view key);

// `value` (or `fallback` when absent) clamped to [low, high].
int64_t clamped(std::optional<int64_t> value, int64_t fallback, int64_t low, int64_t high);

}  // namespace kestrova::app::args
