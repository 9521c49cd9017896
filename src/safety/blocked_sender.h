#pragma once

#include <optional>
#include <string>

#include "util/json.h"

namespace kestrova::store {
class Statement;
}

namespace kestrova::safety {

// One entry of an account's blocked-sender list (a row of email_blocked_senders). `email`
// is a full address, "@" + a domain, or a bare domain.
struct BlockedSender {
  std::string id;         // canonical UUID
  std::string accountId;  // canonical UUID
  std::string email;
  std::optional<std::string> note;
  double createdAt = 0;
  double updatedAt = 0;

  bool operator==(const BlockedSender&) const = default;

  // Nothing when `id` or `account_id` is not a UUID.
  static std::optional<BlockedSender> from_row(const store::Statement& row);
  OrderedJson to_json() const;
};

}  // namespace kestrova::safety
