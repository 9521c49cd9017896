#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "store/email_enums.h"
#include "util/json.h"

namespace kestrova::store {

class Statement;

// A reply template (a row of `email_templates`).
struct EmailTemplate {
  enum class Category { reply, business, personal, followUp, custom };

  std::string id;  // canonical UUID
  std::string name;
  std::string subject;  // may be empty
  std::string body;     // plain text
  std::optional<std::string> htmlBody;
  Category category = Category::custom;
  std::optional<std::string> shortcut;  // a typed abbreviation
  int64_t usageCount = 0;
  double createdAt = 0;
  double updatedAt = 0;

  bool operator==(const EmailTemplate&) const = default;

  // Nothing when `id` is NULL or not a UUID; an unreadable category reads as custom.
  static std::optional<EmailTemplate> from_row(const Statement& row);

  // Keys are the field names; absent optionals are left out.
  OrderedJson to_json() const;
};

std::string_view raw_value(EmailTemplate::Category value);
// "template.category.reply", ..., "template.category.follow_up", ...
std::string_view localization_key(EmailTemplate::Category value);
std::string_view symbol(EmailTemplate::Category value);
template <>
std::optional<EmailTemplate::Category> from_raw<EmailTemplate::Category>(std::string_view raw);
template <>
std::span<const EmailTemplate::Category> all_cases<EmailTemplate::Category>();

}  // namespace kestrova::store
