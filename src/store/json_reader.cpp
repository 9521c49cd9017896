#include "store/json_reader.h"

#include "util/uuid.h"

namespace kestrova::store {

const OrderedJson* JsonReader::value(std::string_view key) {
  if (!ok_) return nullptr;
  auto it = object_.find(key);
  if (it == object_.end() || it->is_null()) return nullptr;
  return &*it;
}

std::string JsonReader::uuid(std::string_view key) {
  auto id = optional_uuid(key);
  if (!id) ok_ = false;
  return id.value_or("");
}

std::optional<std::string> JsonReader::optional_uuid(std::string_view key) {
  auto text = optional_text(key);
  if (!text) return std::nullopt;
  auto id = parse_uuid(*text);
  if (!id) ok_ = false;
  return id;
}

std::string JsonReader::text(std::string_view key, std::string_view fallback) {
  auto value = optional_text(key);
  return value ? std::move(*value) : std::string(fallback);
}

std::optional<std::string> JsonReader::optional_text(std::string_view key) {
  const OrderedJson* v = value(key);
  if (!v) return std::nullopt;
  if (!v->is_string()) {
    ok_ = false;
    return std::nullopt;
  }
  return v->get<std::string>();
}

int64_t JsonReader::integer(std::string_view key, int64_t fallback) {
  return optional_integer(key).value_or(fallback);
}

std::optional<int64_t> JsonReader::optional_integer(std::string_view key) {
  const OrderedJson* v = value(key);
  if (!v) return std::nullopt;
  if (v->is_number_unsigned() && v->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)) {
    ok_ = false;
    return std::nullopt;
  }
  if (!v->is_number_integer()) {
    ok_ = false;
    return std::nullopt;
  }
  return v->get<int64_t>();
}

bool JsonReader::flag(std::string_view key, bool fallback) {
  return optional_flag(key).value_or(fallback);
}

std::optional<bool> JsonReader::optional_flag(std::string_view key) {
  const OrderedJson* v = value(key);
  if (!v) return std::nullopt;
  if (!v->is_boolean()) {
    ok_ = false;
    return std::nullopt;
  }
  return v->get<bool>();
}

double JsonReader::date(std::string_view key, double fallback) {
  return optional_date(key).value_or(fallback);
}

std::optional<double> JsonReader::optional_date(std::string_view key) {
  const OrderedJson* v = value(key);
  if (!v) return std::nullopt;
  if (!v->is_number()) {
    ok_ = false;
    return std::nullopt;
  }
  return v->get<double>();
}

std::vector<std::string> JsonReader::string_list(std::string_view key) {
  const OrderedJson* v = value(key);
  if (!v) return {};
  std::vector<std::string> values;
  if (!v->is_array()) {
    ok_ = false;
    return values;
  }
  for (const auto& item : *v) {
    if (!item.is_string()) {
      ok_ = false;
      return {};
    }
    values.push_back(item.get<std::string>());
  }
  return values;
}

EmailContact JsonReader::contact(std::string_view key) {
  const OrderedJson* v = value(key);
  if (!v) return {};
  auto contact = EmailContact::from_json(*v);
  if (!contact) {
    ok_ = false;
    return {};
  }
  return std::move(*contact);
}

std::vector<EmailContact> JsonReader::contact_list(std::string_view key) {
  const OrderedJson* v = value(key);
  if (!v) return {};
  if (!v->is_array()) {
    ok_ = false;
    return {};
  }
  std::vector<EmailContact> contacts;
  for (const auto& item : *v) {
    auto contact = EmailContact::from_json(item);
    if (!contact) {
      ok_ = false;
      return {};
    }
    contacts.push_back(std::move(*contact));
  }
  return contacts;
}

}  // namespace kestrova::store
