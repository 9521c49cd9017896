#include "store/json_list.h"

#include "util/json.h"

namespace kestrova::store {

std::string encode_string_list(const std::vector<std::string>& values) {
  return dump_compact(Json(values));
}

std::vector<std::string> decode_string_list(const std::optional<std::string>& stored) {
  if (!stored || stored->empty()) return {};
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
