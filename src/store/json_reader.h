#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/email_contact.h"
#include "store/email_enums.h"
#include "util/json.h"

namespace kestrova::store {

// Reads the fields of one JSON object for the record decoders. An absent key (or null, for
// an optional field) gives the fallback; a present key holding the wrong kind of value, or a
// missing identifier, marks the object as bad, and the decoder then returns nothing.
// Unknown enumeration raw values give the fallback, as they do when reading rows. Borrows
// the object for its own lifetime.
class JsonReader {
 public:
  explicit JsonReader(const OrderedJson& object) : object_(object), ok_(object.is_object()) {}

  bool ok() const { return ok_; }

  // Required; the canonical upper-case form.
  std::string uuid(std::string_view key);
  std::optional<std::string> optional_uuid(std::string_view key);
  std::string text(std::string_view key, std::string_view fallback = {});
  std::optional<std::string> optional_text(std::string_view key);
  int64_t integer(std::string_view key, int64_t fallback = 0);
  std::optional<int64_t> optional_integer(std::string_view key);
  bool flag(std::string_view key, bool fallback = false);
  std::optional<bool> optional_flag(std::string_view key);
  double date(std::string_view key, double fallback = 0);
  std::optional<double> optional_date(std::string_view key);
  std::vector<std::string> string_list(std::string_view key);
  EmailContact contact(std::string_view key);
  std::vector<EmailContact> contact_list(std::string_view key);

  // Nested values: nothing when absent or null; the caller decodes them.
  const OrderedJson* value(std::string_view key);
  // For nested values that fail to decode.
  void fail() { ok_ = false; }

  template <typename E>
  std::optional<E> optional_enumeration(std::string_view key) {
    auto raw = optional_text(key);
    if (!raw) return std::nullopt;
    return from_raw<E>(*raw);
  }
  template <typename E>
  E enumeration(std::string_view key, E fallback) {
    return optional_enumeration<E>(key).value_or(fallback);
  }

 private:
  const OrderedJson& object_;
  bool ok_;
};

}  // namespace kestrova::store
