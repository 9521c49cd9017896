#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// Identifiers are UUIDs exchanged as 36-character hyphenated text (8-4-4-4-12 hex digits).
// The canonical form is upper case; parsing accepts either case.

// Returns the canonical upper-case form of `text`, or nothing when it is not a UUID.
std::optional<std::string> parse_uuid(std::string_view text);
bool is_uuid(std::string_view text);
// A new random (version 4) UUID in canonical form.
std::string new_uuid();

}  // namespace kestrova
