#include "store/auto_reply_log.h"

#include "store/contact_store.h"
#include "store/database.h"

namespace kestrova::store {

std::optional<double> AutoReplyLog::lastReplyAt(std::string_view sender) {
  const std::string key = ContactStore::normalized_address(sender);
  return database_.read([&](Connection& c) -> std::optional<double> {
    auto s = c.prepare("SELECT replied_at FROM auto_reply_log WHERE sender = ?");
    s.bind_all(key);
    if (!s.step()) return std::nullopt;
    return s.real(0);
  });
}

void AutoReplyLog::recordReply(std::string_view sender, double at) {
  const std::string key = ContactStore::normalized_address(sender);
  database_.write([&](Connection& c) {
    c.prepare(
         "INSERT INTO auto_reply_log (sender, replied_at) VALUES (?, ?) "
         "ON CONFLICT(sender) DO UPDATE SET replied_at = excluded.replied_at")
        .bind_all(key, at)
        .run();
  });
}

bool AutoReplyLog::userHasWrittenTo(std::string_view address) {
  const std::string key = ContactStore::normalized_address(address);
  if (key.empty()) return false;
  // The contact lists are JSON arrays (stored as blobs) of {"name", "email"} objects.
  return database_.read([&](Connection& c) {
    auto s = c.prepare(
        "SELECT 1 FROM email_messages m JOIN email_accounts a ON a.id = m.account_id "
        "WHERE LOWER(m.from_email) = LOWER(TRIM(a.email_address)) AND EXISTS ("
        "SELECT 1 FROM json_each(CASE WHEN json_valid(CAST(m.to_contacts AS TEXT)) THEN "
        "CAST(m.to_contacts AS TEXT) END) "
        "WHERE LOWER(TRIM(json_extract(value, '$.email'))) = ?1 UNION ALL "
        "SELECT 1 FROM json_each(CASE WHEN json_valid(CAST(m.cc_contacts AS TEXT)) THEN "
        "CAST(m.cc_contacts AS TEXT) END) "
        "WHERE LOWER(TRIM(json_extract(value, '$.email'))) = ?1 UNION ALL "
        "SELECT 1 FROM json_each(CASE WHEN json_valid(CAST(m.bcc_contacts AS TEXT)) THEN "
        "CAST(m.bcc_contacts AS TEXT) END) "
        "WHERE LOWER(TRIM(json_extract(value, '$.email'))) = ?1) LIMIT 1");
    s.bind(1, key);
    return s.step();
  });
}

}  // namespace kestrova::store
