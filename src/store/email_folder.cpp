#include "store/email_folder.h"

#include "store/json_reader.h"
#include "store/row_reader.h"
#include "util/text.h"

namespace kestrova::store {

namespace {

bool is_modified_base64(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == ',' || c == '/';
}

// Matches "&[A-Za-z0-9+,/]+-" anywhere in `s` (an IMAP modified-UTF-7 run, RFC 3501 §5.1.3).
bool contains_modified_utf7_run(std::string_view s) {
  for (size_t amp = s.find('&'); amp != std::string_view::npos; amp = s.find('&', amp + 1)) {
    size_t end = amp + 1;
    while (end < s.size() && is_modified_base64(s[end])) ++end;
    if (end > amp + 1 && end < s.size() && s[end] == '-') return true;
  }
  return false;
}

}  // namespace

EmailFolder EmailFolder::make(EmailFolder fields) {
  if (fields.path.empty()) fields.path = fields.name;
  return fields;
}

bool EmailFolder::isLocalPseudoFolder() const {
  return path == kLocalSentPath || path == kLocalDraftsPath;
}

bool EmailFolder::isCustomUserFolder() const {
  return !isLocalPseudoFolder() && type == EmailFolderType::custom;
}

std::string EmailFolder::displayName() const {
  if (name.find('/') == std::string::npos) return name;
  std::string_view rest = name;
  std::string_view last;
  while (!rest.empty()) {
    const size_t slash = rest.find('/');
    std::string_view component = rest.substr(0, slash);
    if (!component.empty()) last = component;
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  return last.empty() ? name : std::string(last);
}

bool EmailFolder::hasUndecodedName() const {
  if (text::trim(name).empty()) return true;
  if (name.find("=?") != std::string::npos || name.find("?=") != std::string::npos) return true;
  return contains_modified_utf7_run(name);
}

std::optional<EmailFolder> EmailFolder::from_row(const Statement& row) {
  RowReader r(row);
  auto id = r.uuid("id");
  auto account_id = r.uuid("account_id");
  if (!id || !account_id) return std::nullopt;
  EmailFolder f;
  f.id = std::move(*id);
  f.accountId = std::move(*account_id);
  f.name = r.text("name");
  f.type = r.enumeration("type", EmailFolderType::custom);
  f.path = r.text("path");
  f.unreadCount = r.integer("unread_count");
  f.totalCount = r.integer("total_count");
  f.lastSyncDate = r.optional_date("last_sync_date");
  return make(std::move(f));
}

OrderedJson EmailFolder::to_json() const {
  OrderedJson j = OrderedJson::object();
  j["id"] = id;
  j["accountId"] = accountId;
  j["name"] = name;
  j["type"] = raw_value(type);
  j["path"] = path;
  j["unreadCount"] = unreadCount;
  j["totalCount"] = totalCount;
  if (lastSyncDate) j["lastSyncDate"] = *lastSyncDate;
  return j;
}

std::optional<EmailFolder> EmailFolder::from_json(const OrderedJson& json) {
  JsonReader r(json);
  EmailFolder f;
  f.id = r.uuid("id");
  f.accountId = r.uuid("accountId");
  f.name = r.text("name");
  f.type = r.enumeration("type", EmailFolderType::custom);
  f.path = r.text("path");
  f.unreadCount = r.integer("unreadCount");
  f.totalCount = r.integer("totalCount");
  f.lastSyncDate = r.optional_date("lastSyncDate");
  if (!r.ok()) return std::nullopt;
  return make(std::move(f));
}

}  // namespace kestrova::store
