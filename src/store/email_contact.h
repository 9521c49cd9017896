#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "util/json.h"

namespace kestrova::store {

// An address as written in a header. Equality and hashing use both fields exactly as stored
// (no case folding).
struct EmailContact {
  std::optional<std::string> name{};
  std::string email{};

  bool operator==(const EmailContact&) const = default;

  // {"name": ..., "email": ...}; "name" is left out when absent.
  OrderedJson to_json() const;
  // Nothing unless `json` is an object with a string "email"; "name" may be absent or null.
  static std::optional<EmailContact> from_json(const OrderedJson& json);
};

// A JSON array of contact objects.
OrderedJson contact_list_json(const std::vector<EmailContact>& contacts);
// The JSON array text kept in the *_contacts columns.
std::string encode_contact_list(const std::vector<EmailContact>& contacts);
// Reads a *_contacts value stored as text or as blob bytes. NULL, an empty value, text that
// is not JSON, or an array with any element that is not a contact gives an empty list.
std::vector<EmailContact> decode_contact_list(const std::optional<std::string>& stored);

}  // namespace kestrova::store

template <>
struct std::hash<kestrova::store::EmailContact> {
  size_t operator()(const kestrova::store::EmailContact& contact) const noexcept;
};
