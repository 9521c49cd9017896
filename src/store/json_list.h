#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrova::store {

// JSON arrays of strings as kept in the list columns (tags, ai_tags, ai_action_items,
// participant_emails).
std::string encode_string_list(const std::vector<std::string>& values);
// Reads a list column stored as text or as blob bytes. NULL, an empty value, text that is
// not JSON, or an array with any element that is not a string gives an empty list.
std::vector<std::string> decode_string_list(const std::optional<std::string>& stored);

}  // namespace kestrova::store
