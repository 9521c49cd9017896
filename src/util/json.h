#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kestrova {

// Json keeps object keys sorted (std::map), which is what results serialised "with sorted
// keys" need. OrderedJson keeps insertion order, for documents served exactly as declared.
using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// Compact serialisation. Invalid UTF-8 inside strings is replaced by U+FFFD rather than
// failing, so text read from mail never makes a whole answer unserialisable.
std::string dump_compact(const Json& value);
std::string dump_compact(const OrderedJson& value);

// Appends `value` as a quoted JSON string, escaped as dump_compact escapes it; bytes that
// are not UTF-8 become U+FFFD. For writers that build large answers without a Json tree.
void append_json_string(std::string& out, std::string_view value);

}  // namespace kestrova
