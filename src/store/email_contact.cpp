#include "store/email_contact.h"

#include "store/json_list.h"

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

namespace {

// [{"email":"…","name":"…"},…] (either key order, the name optional) with plain strings, read
// without a JSON tree: message lists decode one of these per row. Anything else returns
// false and goes to the full parser.
bool decode_plain_contacts(std::string_view text, std::vector<EmailContact>& contacts) {
  if (text.size() < 2 || text.front() != '[' || text.back() != ']') return false;
  const size_t end = text.size() - 1;
  size_t at = 1;
  if (at == end) return true;
  while (true) {
    if (text[at] != '{') return false;
    ++at;
    std::optional<std::string_view> email, name;
    while (true) {
      const auto key = read_plain_json_string(text, at);
      if (!key || at >= end || text[at] != ':') return false;
      ++at;
      auto& slot = *key == "email" ? email : name;
      if ((*key != "email" && *key != "name") || slot) return false;
      slot = read_plain_json_string(text, at);
      if (!slot || at >= end) return false;
      if (text[at++] == '}') break;
      if (text[at - 1] != ',') return false;
    }
    if (!email || at > end) return false;
    contacts.push_back(
        EmailContact{name ? std::optional<std::string>(*name) : std::nullopt, std::string(*email)});
    if (at == end) return true;
    if (text[at] != ',') return false;
    ++at;
  }
}

}  // namespace

std::vector<EmailContact> decode_contact_list(const std::optional<std::string>& stored) {
  if (!stored || stored->empty()) return {};
  {
    std::vector<EmailContact> contacts;
    if (decode_plain_contacts(*stored, contacts)) return contacts;
  }
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
