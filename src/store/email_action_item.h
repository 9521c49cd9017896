#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "store/email_enums.h"
#include "util/json.h"

namespace kestrova::store {

class Statement;

// A to-do extracted from, or attached to, one message (a row of email_action_items). The
// pair (messageId, titleKey) identifies an item for de-duplication and tombstones.
struct EmailActionItem {
  std::string id{};         // canonical UUID; not changed after creation
  std::string messageId{};  // UUID of the EmailMessage; not changed after creation
  std::string accountId{};  // canonical UUID; not changed after creation
  std::string title{};
  std::string titleKey{};  // not changed after creation
  std::optional<double> dueAt{};
  EmailActionItemState state = EmailActionItemState::open;
  EmailActionItemSource source = EmailActionItemSource::ai;
  std::optional<double> snoozedUntil{};
  std::optional<double> completedAt{};
  double createdAt = 0;  // not changed after creation
  double updatedAt = 0;

  bool operator==(const EmailActionItem&) const = default;

  // The record as created: an empty titleKey is derived from the title.
  static EmailActionItem make(EmailActionItem fields);

  // The de-duplication key of a title: lower-cased, punctuation, symbols and emoji dropped,
  // white space runs collapsed to one space, no space at either end. Titles that differ
  // only in those respects share a key.
  static std::string title_key(std::string_view title);

  // Whether the item is due for attention at `at`: open items are, done items are not,
  // snoozed items are once snoozedUntil has come (a snoozed item without a time is active).
  bool isActive(double at) const;

  // Nothing when `id`, `message_id` or `account_id` is NULL or not a UUID; a NULL or
  // unknown state or source reads as open / ai; built through make().
  static std::optional<EmailActionItem> from_row(const Statement& row);

  // Keys are the field names; absent optionals are left out. The decoder needs valid
  // `id`, `messageId` and `accountId` and takes the member defaults for missing keys. It builds
  // through make().
  OrderedJson to_json() const;
  static std::optional<EmailActionItem> from_json(const OrderedJson& json);
};

}  // namespace kestrova::store
