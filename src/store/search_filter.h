#pragma once

#include <optional>
#include <string>

#include "store/email_enums.h"

namespace kestrova::store {

struct EmailMessage;

// The criteria of the advanced search, held in memory only. Empty strings and absent
// optionals are criteria that do not apply.
struct SearchFilter {
  std::string from{};
  std::string to{};
  std::string subject{};
  std::string keyword{};
  std::optional<double> dateFrom{};
  std::optional<double> dateTo{};  // a day: messages of that whole local calendar day match
  std::optional<bool> hasAttachments{};
  std::optional<bool> isRead{};
  std::optional<bool> isStarred{};
  std::optional<EmailCategory> category{};
  std::string tag{};

  bool operator==(const SearchFilter&) const = default;

  bool isEmpty() const;
  // Whether `message` meets every criterion that applies. Text criteria are
  // case-insensitive substring tests, except `tag`, which must equal a whole tag.
  bool matches(const EmailMessage& message) const;
};

}  // namespace kestrova::store
