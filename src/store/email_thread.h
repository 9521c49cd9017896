#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/json.h"

namespace kestrova::store {

class Statement;

// A conversation summary (a row of email_threads), kept by the threading service.
struct EmailThread {
  std::string id{};         // canonical UUID
  std::string accountId{};  // canonical UUID
  std::optional<std::string> subject{};
  std::optional<std::string> messageId{};      // Message-ID of the newest known message
  std::optional<std::string> rootMessageId{};  // Message-ID of the conversation's first message
  std::vector<std::string> participantEmails{};
  int64_t messageCount = 0;
  int64_t unreadCount = 0;
  double lastMessageDate = 0;
  double createdAt = 0;
  double updatedAt = 0;

  bool operator==(const EmailThread&) const = default;

  // Nothing when `id` or `account_id` is NULL or not a UUID.
  static std::optional<EmailThread> from_row(const Statement& row);

  // Keys are the field names; absent optionals are left out. The decoder needs valid
  // `id` and `accountId` and takes the member defaults for missing keys.
  OrderedJson to_json() const;
  static std::optional<EmailThread> from_json(const OrderedJson& json);
};

}  // namespace kestrova::store
