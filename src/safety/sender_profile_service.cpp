#include "safety/sender_profile_service.h"

#include <algorithm>
#include <exception>
#include <map>
#include <set>

#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_contact.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::safety {

namespace {

constexpr double kThirtyDays = 2'592'000;

// Each statement of the profile; the account condition goes before `tail` (the ordering).
struct Query {
  std::string_view head;
  std::string_view tail = {};
  std::string_view account_condition = " AND account_id = ?";

  std::string sql(bool with_account) const {
    std::string out(head);
    if (with_account) out += account_condition;
    out += tail;
    return out;
  }
};

constexpr Query kReceived{
    "SELECT COUNT(*) AS c, MIN(date) AS first_d, MAX(date) AS last_d FROM email_messages WHERE "
    "lower(from_email) = ? AND is_deleted = 0"};
constexpr Query kLast30Days{
    "SELECT COUNT(*) AS c FROM email_messages WHERE lower(from_email) = ? AND date >= ? AND is_deleted = 0"};
constexpr Query kSent{
    "SELECT COUNT(*) AS c, MAX(date) AS last_d FROM email_messages WHERE (lower(to_contacts) LIKE ? OR "
    "lower(cc_contacts) LIKE ?) AND is_draft = 0 AND is_deleted = 0"};
constexpr Query kRecentMessages{
    "SELECT id, subject, date, folder_id, CASE WHEN lower(from_email) = ? THEN 0 ELSE 1 END AS is_sent FROM "
    "email_messages WHERE (lower(from_email) = ? OR lower(to_contacts) LIKE ? OR lower(cc_contacts) LIKE ?) "
    "AND is_deleted = 0 AND is_draft = 0",
    " ORDER BY date DESC LIMIT 10"};
constexpr Query kRecentAttachments{
    "SELECT a.id, a.filename, a.size, m.date, m.subject FROM email_attachments a JOIN email_messages m ON "
    "a.message_id = m.id WHERE lower(m.from_email) = ? AND m.is_deleted = 0 AND a.is_inline = 0",
    " ORDER BY m.date DESC LIMIT 5", " AND m.account_id = ?"};
constexpr Query kCoRecipients{
    "SELECT to_contacts, cc_contacts FROM email_messages WHERE lower(from_email) = ? AND is_deleted = 0",
    " ORDER BY date DESC LIMIT 100"};
// The sender's rank: how many other correspondents sent more mail, plus one (the user's own
// addresses, the senders of the Sent folder, are not correspondents).
constexpr Query kRank{
    "SELECT COUNT(*) AS c FROM (SELECT lower(from_email) AS e FROM email_messages WHERE is_deleted = 0 AND "
    "lower(from_email) NOT IN (SELECT lower(email_address) FROM email_accounts)",
    " GROUP BY e HAVING COUNT(*) > ?)"};
// The name the address used most often (the newest of equally frequent ones).
constexpr Query kMostUsedName{
    "SELECT from_name, COUNT(*) AS n, MAX(date) AS d FROM email_messages WHERE lower(from_email) = ? AND "
    "is_deleted = 0 AND trim(COALESCE(from_name, '')) != ''",
    " GROUP BY from_name ORDER BY n DESC, d DESC LIMIT 1"};
constexpr std::string_view kContact = "SELECT name, category, note FROM contacts WHERE lower(email) = ?";
constexpr std::string_view kOwnAddresses = "SELECT email_address FROM email_accounts";

void log_failure(const std::exception& e) {
  log_line(log_kind::kFailure, "SenderProfile", std::string("查询失败: ") + e.what());
}

// Runs one step of the profile; a failure is logged and leaves its figures as they are.
template <class F>
void step(store::EmailDatabase& database, F&& body) {
  try {
    database.read(std::forward<F>(body));
  } catch (const std::exception& e) {
    log_failure(e);
  }
}

std::optional<std::string> non_blank(const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::string trimmed = text::trim(*text);
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

}  // namespace

SenderProfileService::SenderProfileService(store::EmailDatabase& database, platform::SettingsStore& settings,
                                           Clock clock)
    : database_(database), settings_(settings), clock_(std::move(clock)) {}

double SenderProfileService::now() const { return clock_ ? clock_() : now_seconds(); }

SenderProfile SenderProfileService::profile(std::string_view email, const std::optional<std::string>& accountId) {
  SenderProfile p;
  p.email = text::lower(text::trim(email));
  const std::string& address = p.email;
  // The address as a whole JSON string inside the stored contact lists.
  const std::string pattern = "%\"" + address + "\"%";
  const bool by_account = accountId.has_value();
  // Binds the account after the statement's other values.
  auto bind_account = [&](store::Statement& s, int index) {
    if (by_account) s.bind(index, *accountId);
  };
  using store::Connection;

  step(database_, [&](Connection& c) {
    auto s = c.prepare(kReceived.sql(by_account));
    s.bind(1, address);
    bind_account(s, 2);
    if (!s.step()) return;
    p.totalReceived = static_cast<int>(s.integer("c").value_or(0));
    p.firstSeen = s.real("first_d");
    p.lastReceived = s.real("last_d");
  });
  step(database_, [&](Connection& c) {
    auto s = c.prepare(kLast30Days.sql(by_account));
    s.bind(1, address).bind(2, now() - kThirtyDays);
    bind_account(s, 3);
    if (s.step()) p.receivedLast30Days = static_cast<int>(s.integer("c").value_or(0));
  });
  step(database_, [&](Connection& c) {
    auto s = c.prepare(kSent.sql(by_account));
    s.bind(1, pattern).bind(2, pattern);
    bind_account(s, 3);
    if (!s.step()) return;
    p.totalSent = static_cast<int>(s.integer("c").value_or(0));
    p.lastSent = s.real("last_d");
  });
  step(database_, [&](Connection& c) {
    auto s = c.prepare(kRecentMessages.sql(by_account));
    s.bind(1, address).bind(2, address).bind(3, pattern).bind(4, pattern);
    bind_account(s, 5);
    while (s.step())
      p.recentMessages.push_back({s.text("id").value_or(""), s.text("subject").value_or(""),
                                  s.real("date").value_or(0), s.integer("is_sent").value_or(0) == 1,
                                  s.text("folder_id")});
  });
  step(database_, [&](Connection& c) {
    auto s = c.prepare(kRecentAttachments.sql(by_account));
    s.bind(1, address);
    bind_account(s, 2);
    while (s.step())
      p.recentAttachments.push_back({s.text(0).value_or(""), s.text(1).value_or(""), s.integer(2).value_or(0),
                                     s.real(3).value_or(0), s.text(4).value_or("")});
  });
  step(database_, [&](Connection& c) {
    std::set<std::string> excluded = {address};
    auto own = c.prepare(kOwnAddresses);
    while (own.step()) excluded.insert(text::lower(text::trim(own.text(0).value_or(""))));
    struct Seen {
      int count = 0;
      std::optional<std::string> name;  // the newest non-blank one
    };
    std::map<std::string, Seen> seen;
    auto s = c.prepare(kCoRecipients.sql(by_account));
    s.bind(1, address);
    bind_account(s, 2);
    while (s.step()) {  // newest message first
      for (const char* column : {"to_contacts", "cc_contacts"})
        for (const auto& contact : store::decode_contact_list(s.text(column))) {
          const std::string key = text::lower(text::trim(contact.email));
          if (key.empty() || excluded.count(key)) continue;
          Seen& entry = seen[key];
          ++entry.count;
          if (!entry.name) entry.name = non_blank(contact.name);
        }
    }
    std::vector<std::pair<std::string, Seen>> ranked(seen.begin(), seen.end());
    std::stable_sort(ranked.begin(), ranked.end(),
                     [](const auto& a, const auto& b) { return a.second.count > b.second.count; });
    for (auto& [key, entry] : ranked) {
      if (p.commonCoRecipients.size() == kCoRecipientLimit) break;
      p.commonCoRecipients.push_back({new_uuid(), key, entry.name, entry.count});
    }
  });
  if (p.totalReceived > 0)
    step(database_, [&](Connection& c) {
      auto s = c.prepare(kRank.sql(by_account));
      int index = 1;
      if (by_account) s.bind(index++, *accountId);
      s.bind(index, static_cast<int64_t>(p.totalReceived));
      if (s.step()) p.frequencyRank = static_cast<int>(s.integer("c").value_or(0)) + 1;
    });
  step(database_, [&](Connection& c) {
    auto s = c.prepare(kContact);
    s.bind(1, address);
    if (!s.step()) return;
    p.displayName = non_blank(s.text("name"));
    if (auto raw = s.text("category")) p.category = store::from_raw<store::SenderCategory>(*raw);
    p.note = s.text("note");
  });
  if (!p.displayName && p.totalReceived > 0)
    step(database_, [&](Connection& c) {
      auto s = c.prepare(kMostUsedName.sql(by_account));
      s.bind(1, address);
      bind_account(s, 2);
      if (s.step()) p.displayName = non_blank(s.text("from_name"));
    });
  for (const auto& vip : settings_.string_list("emailVIPSenders").value_or(std::vector<std::string>{}))
    if (text::lower(vip) == address) p.isVIP = true;
  return p;
}

}  // namespace kestrova::safety
