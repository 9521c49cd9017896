#include "store/json_list.h"

#include <unicode/utf8.h>

#include "util/json.h"

namespace kestrova::store {

std::optional<std::string_view> read_plain_json_string(std::string_view text, size_t& at) {
  if (at >= text.size() || text[at] != '"') return std::nullopt;
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t length = static_cast<int32_t>(text.size());
  const int32_t start = static_cast<int32_t>(at) + 1;
  int32_t i = start;
  while (i < length && bytes[i] != '"') {
    const uint8_t c = bytes[i];
    if (c == '\\' || c < 0x20) return std::nullopt;
    if (c < 0x80) {
      ++i;
      continue;
    }
    UChar32 code_point;
    U8_NEXT(bytes, i, length, code_point);
    if (code_point < 0) return std::nullopt;
  }
  if (i >= length) return std::nullopt;
  at = static_cast<size_t>(i) + 1;
  return text.substr(static_cast<size_t>(start), static_cast<size_t>(i - start));
}

namespace {

// The list as the program writes it — ["a","b"], no white space, no escapes, valid UTF-8 —
// read without building a JSON tree: tag columns are read by the thousand. Anything else
// returns false and goes to the full parser, which then decides.
bool decode_plain_list(std::string_view text, std::vector<std::string>& values) {
  if (text.size() < 2 || text.front() != '[' || text.back() != ']') return false;
  const size_t end = text.size() - 1;
  size_t at = 1;
  if (at == end) return true;
  while (true) {
    auto value = read_plain_json_string(text, at);
    if (!value || at > end) return false;
    values.emplace_back(*value);
    if (at == end) return true;
    if (text[at] != ',') return false;
    ++at;
  }
}

}  // namespace

std::string encode_string_list(const std::vector<std::string>& values) {
  return dump_compact(Json(values));
}

std::vector<std::string> decode_string_list(const std::optional<std::string>& stored) {
  if (!stored || stored->empty()) return {};
  {
    std::vector<std::string> values;
    if (decode_plain_list(*stored, values)) return values;
  }
  Json parsed = Json::parse(*stored, nullptr, false);
  if (!parsed.is_array()) return {};
  std::vector<std::string> values;
  values.reserve(parsed.size());
  for (const auto& item : parsed) {
    if (!item.is_string()) return {};
    values.push_back(item.get<std::string>());
  }
  return values;
}

}  // namespace kestrova::store
