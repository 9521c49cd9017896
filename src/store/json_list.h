#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::store {

// JSON arrays of strings as kept in the list columns (tags, ai_tags, ai_action_items,
// participant_emails).
std::string encode_string_list(const std::vector<std::string>& values);
// Reads a list column stored as text or as blob bytes. NULL, an empty value, text that is
// not JSON, or an array with any element that is not a string gives an empty list.
std::vector<std::string> decode_string_list(const std::optional<std::string>& stored);

// For readers of the lists as the program writes them, before they fall back to the JSON
// parser: the string starting at text[at] (its opening quote) when it has no escapes and is
// valid UTF-8, `at` then moved past its closing quote. Anything else gives nothing.
std::optional<std::string_view> read_plain_json_string(std::string_view text, size_t& at);

}  // namespace kestrova::store
