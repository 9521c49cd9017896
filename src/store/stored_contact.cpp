#include "store/stored_contact.h"

#include <array>

#include "store/row_reader.h"

namespace kestrova::store {

namespace {

constexpr std::array kSenderCategories = {SenderCategory::newsletter, SenderCategory::paperTrail,
                                          SenderCategory::vip, SenderCategory::lowPriority};
constexpr std::array kSources = {StoredContact::Source::sent, StoredContact::Source::received,
                                 StoredContact::Source::manual};

template <typename E, size_t N>
std::optional<E> find_raw(const std::array<E, N>& cases, std::string_view raw) {
  for (E value : cases)
    if (raw_value(value) == raw) return value;
  return std::nullopt;
}

}  // namespace

std::string_view raw_value(SenderCategory value) {
  switch (value) {
    case SenderCategory::newsletter:
      return "newsletter";
    case SenderCategory::paperTrail:
      return "paperTrail";
    case SenderCategory::vip:
      return "vip";
    case SenderCategory::lowPriority:
      return "lowPriority";
  }
  return "";
}

std::string_view symbol(SenderCategory value) {
  switch (value) {
    case SenderCategory::newsletter:
      return "newspaper";
    case SenderCategory::paperTrail:
      return "doc.text";
    case SenderCategory::vip:
      return "star";
    case SenderCategory::lowPriority:
      return "arrow.down.circle";
  }
  return "";
}

template <>
std::optional<SenderCategory> from_raw<SenderCategory>(std::string_view raw) {
  return find_raw(kSenderCategories, raw);
}

template <>
std::span<const SenderCategory> all_cases<SenderCategory>() {
  return kSenderCategories;
}

std::string_view raw_value(StoredContact::Source value) {
  switch (value) {
    case StoredContact::Source::sent:
      return "sent";
    case StoredContact::Source::received:
      return "received";
    case StoredContact::Source::manual:
      return "manual";
  }
  return "";
}

template <>
std::optional<StoredContact::Source> from_raw<StoredContact::Source>(std::string_view raw) {
  return find_raw(kSources, raw);
}

std::optional<StoredContact> StoredContact::from_row(const Statement& row) {
  RowReader r(row);
  auto id = r.uuid("id");
  if (!id) return std::nullopt;
  StoredContact c;
  c.id = std::move(*id);
  c.name = r.optional_text("name");
  c.email = r.text("email");
  c.frequency = r.integer("frequency", 1);
  c.lastUsed = r.date("last_used");
  c.source = r.enumeration("source", Source::received);
  c.category = r.optional_enumeration<SenderCategory>("category");
  c.note = r.optional_text("note");
  c.trainedAt = r.optional_date("trained_at");
  return c;
}

OrderedJson StoredContact::to_json() const {
  OrderedJson j = OrderedJson::object();
  j["id"] = id;
  if (name) j["name"] = *name;
  j["email"] = email;
  j["frequency"] = frequency;
  j["lastUsed"] = lastUsed;
  j["source"] = raw_value(source);
  if (category) j["category"] = raw_value(*category);
  if (note) j["note"] = *note;
  if (trainedAt) j["trainedAt"] = *trainedAt;
  return j;
}

}  // namespace kestrova::store
