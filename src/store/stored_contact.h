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

// The user's trained classification of a sender. Only stored here; sender profiles give it
// its meaning (tags, read state, importance of new mail from the sender).
enum class SenderCategory { newsletter, paperTrail, vip, lowPriority };

std::string_view raw_value(SenderCategory value);
std::string_view symbol(SenderCategory value);
template <>
std::optional<SenderCategory> from_raw<SenderCategory>(std::string_view raw);
template <>
std::span<const SenderCategory> all_cases<SenderCategory>();

// One address of the address book learned from mail (a row of `contacts`).
struct StoredContact {
  // How the address first came in.
  enum class Source {
    sent,      // an address the user wrote to
    received,  // an address mail came from
    manual,    // created by an explicit user or agent action
  };

  std::string id;  // canonical UUID
  std::optional<std::string> name;
  std::string email;      // trimmed and lower-cased; unique
  int64_t frequency = 1;  // times seen or used
  double lastUsed = 0;
  Source source = Source::received;
  std::optional<SenderCategory> category;
  std::optional<std::string> note;
  std::optional<double> trainedAt;  // when the user last set the category

  bool operator==(const StoredContact&) const = default;

  // Nothing when `id` is NULL or not a UUID; an unknown source reads as received, an
  // unknown category as absent.
  static std::optional<StoredContact> from_row(const Statement& row);

  // Keys are the field names; absent optionals are left out.
  OrderedJson to_json() const;
};

std::string_view raw_value(StoredContact::Source value);
template <>
std::optional<StoredContact::Source> from_raw<StoredContact::Source>(std::string_view raw);

}  // namespace kestrova::store
