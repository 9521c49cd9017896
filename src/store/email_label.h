#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/json.h"

namespace kestrova::store {

class Statement;

// A user label (a row of email_labels); linked to messages through email_message_labels.
struct EmailLabel {
  std::string id{};  // canonical UUID
  std::string name{};
  std::string colorHex = "#007AFF";
  std::string systemImage = "tag.fill";  // symbol name
  int64_t usageCount = 0;
  double createdAt = 0;

  bool operator==(const EmailLabel&) const = default;

  // Nothing when `id` is NULL or not a UUID; NULL colour and symbol read as the defaults.
  static std::optional<EmailLabel> from_row(const Statement& row);

  // Keys are the field names; absent optionals are left out. The decoder needs valid
  // `id` and takes the member defaults for missing keys.
  OrderedJson to_json() const;
  static std::optional<EmailLabel> from_json(const OrderedJson& json);
};

}  // namespace kestrova::store
