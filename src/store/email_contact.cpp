#include "store/email_contact.h"

namespace kestrova::store {

OrderedJson EmailContact::to_json() const {
  OrderedJson json = OrderedJson::object();
  if (name) json["name"] = *name;
  json["email"] = email;
  return json;
}

std::optional<EmailContact> EmailContact::from_json(const OrderedJson& json) {
  if (!json.is_object()) return std::nullopt;
  auto email = json.find("email");
  if (email == json.end() || !email->is_string()) return std::nullopt;
  EmailContact contact;
  contact.email = email->get<std::string>();
  if (auto name = json.find("name"); name != json.end() && !name->is_null()) {
    if (!name->is_string()) return std::nullopt;
    contact.name = name->get<std::string>();
  }
  return contact;
}

OrderedJson contact_list_json(const std::vector<EmailContact>& contacts) {
  OrderedJson array = OrderedJson::array();
  for (const auto& contact : contacts) array.push_back(contact.to_json());
  return array;
}

std::string encode_contact_list(const std::vector<EmailContact>& contacts) {
  return dump_compact(contact_list_json(contacts));
}

std::vector<EmailContact> decode_contact_list(const std::optional<std::string>& stored) {
  if (!stored || stored->empty()) return {};
  OrderedJson parsed = OrderedJson::parse(*stored, nullptr, false);
  if (!parsed.is_array()) return {};
  std::vector<EmailContact> contacts;
  contacts.reserve(parsed.size());
  for (const auto& item : parsed) {
    auto contact = EmailContact::from_json(item);
    // One bad element spoils the whole list: the list is decoded as one value.
    if (!contact) return {};
    contacts.push_back(std::move(*contact));
  }
  return contacts;
}

}  // namespace kestrova::store

size_t std::hash<kestrova::store::EmailContact>::operator()(
    const kestrova::store::EmailContact& contact) const noexcept {
  const size_t email = std::hash<std::string>{}(contact.email);
  const size_t name = contact.name ? std::hash<std::string>{}(*contact.name) : 0x9e3779b9u;
  return email ^ (name + 0x9e3779b97f4a7c15ull + (email << 6) + (email >> 2));
}
