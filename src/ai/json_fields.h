#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/json.h"

namespace kestrova::ai {

// Readers of replies and messages that never throw: a member of another JSON type than
// asked for reads as absent. Nothing is copied but the strings returned, so a hostile
// reply nested a million levels deep costs no recursion.

// The member `key` of `object`, or nullptr (also when `object` is not an object).
inline const Json* member(const Json& object, std::string_view key) {
  if (!object.is_object()) return nullptr;
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

inline std::string string_member(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

inline bool true_member(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  return value && value->is_boolean() && value->get<bool>();
}

inline int64_t integer_member(const Json& object, std::string_view key) {
  const Json* value = member(object, key);
  return value && value->is_number() ? value->get<int64_t>() : 0;
}

}  // namespace kestrova::ai
