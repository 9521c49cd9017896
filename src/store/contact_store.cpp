#include "store/contact_store.h"

#include <algorithm>
#include <initializer_list>
#include <set>
#include <unordered_map>

#include "store/database.h"
#include "store/email_message.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::store {

namespace {

constexpr std::string_view kTag = "ContactStore";

constexpr std::string_view kSelectRecent =
    "SELECT * FROM contacts ORDER BY frequency DESC, last_used DESC LIMIT 500";
constexpr std::string_view kSelectByEmail = "SELECT * FROM contacts WHERE email = ?";
constexpr std::string_view kUpdate =
    "UPDATE contacts SET name = ?, frequency = ?, last_used = ?, category = ?, note = ?, "
    "trained_at = ? WHERE id = ?";
constexpr std::string_view kInsert =
    "INSERT OR REPLACE INTO contacts (id, name, email, frequency, last_used, source, category, "
    "note, trained_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr std::string_view kSelectSenders =
    "SELECT DISTINCT from_email, from_name FROM email_messages WHERE from_email IS NOT NULL AND "
    "from_email != ''";
constexpr std::string_view kSelectOwnAddresses = "SELECT email_address FROM email_accounts";

void log_failure(std::string_view what, const std::exception& e) {
  log_line(log_kind::kFailure, kTag, std::string(what) + e.what());
}

std::optional<std::string> non_blank(const std::optional<std::string>& name) {
  if (!name) return std::nullopt;
  std::string trimmed = text::trim(*name);
  if (trimmed.empty()) return std::nullopt;
  return trimmed;
}

std::optional<std::string> raw_category(const std::optional<SenderCategory>& category) {
  if (!category) return std::nullopt;
  return std::string(raw_value(*category));
}

std::optional<StoredContact> find_by_email(Connection& c, std::string_view email) {
  auto s = c.prepare(kSelectByEmail);
  s.bind(1, email);
  if (!s.step()) return std::nullopt;
  return StoredContact::from_row(s);
}

void write_update(Connection& c, const StoredContact& contact) {
  c.prepare(kUpdate)
      .bind_all(contact.name, contact.frequency, contact.lastUsed, raw_category(contact.category),
                contact.note, contact.trainedAt, contact.id)
      .run();
}

void write_insert(Connection& c, const StoredContact& contact) {
  c.prepare(kInsert)
      .bind_all(contact.id, contact.name, contact.email, contact.frequency, contact.lastUsed,
                raw_value(contact.source), raw_category(contact.category), contact.note,
                contact.trainedAt)
      .run();
}

StoredContact new_contact(std::string email, std::optional<std::string> name,
                          StoredContact::Source source, double now) {
  StoredContact contact;
  contact.id = new_uuid();
  contact.name = std::move(name);
  contact.email = std::move(email);
  contact.frequency = 1;
  contact.lastUsed = now;
  contact.source = source;
  return contact;
}

bool ranks_before(const StoredContact& a, const StoredContact& b) {
  if (a.frequency != b.frequency) return a.frequency > b.frequency;
  return a.lastUsed > b.lastUsed;
}

}  // namespace

ContactStore::ContactStore(EmailDatabase& database, Clock clock)
    : database_(database), clock_(std::move(clock)) {
  load_recent();
}

double ContactStore::now() const { return clock_ ? clock_() : now_seconds(); }

std::string ContactStore::normalized_address(std::string_view email) {
  return text::lower(text::trim(email));
}

void ContactStore::load_recent() {
  try {
    recent_ = database_.read([](Connection& c) {
      std::vector<StoredContact> contacts;
      auto s = c.prepare(kSelectRecent);
      while (s.step())
        if (auto contact = StoredContact::from_row(s)) contacts.push_back(std::move(*contact));
      return contacts;
    });
  } catch (const std::exception& e) {
    log_failure("加载联系人失败: ", e);
  }
}

StoredContact ContactStore::write_use(Connection& c, const Use& use, StoredContact::Source source,
                                      double now) {
  if (auto existing = find_by_email(c, use.email)) {
    existing->frequency += 1;
    existing->lastUsed = now;
    if (use.name) existing->name = use.name;
    write_update(c, *existing);
    return *existing;
  }
  StoredContact contact = new_contact(use.email, use.name, source, now);
  write_insert(c, contact);
  return contact;
}

bool ContactStore::record_all(const std::vector<Use>& uses, StoredContact::Source source) {
  if (uses.empty()) return true;
  const double at = now();
  std::vector<StoredContact> written;
  try {
    database_.write([&](Connection& c) {
      for (const Use& use : uses) written.push_back(write_use(c, use, source, at));
    });
  } catch (const std::exception& e) {
    log_failure("保存联系人失败: ", e);
    return false;
  }
  for (const StoredContact& contact : written) remember(contact);
  return true;
}

bool ContactStore::record(const std::optional<std::string>& name, std::string_view email,
                          StoredContact::Source source) {
  std::string address = normalized_address(email);
  if (address.empty()) return true;
  return record_all({Use{non_blank(name), std::move(address)}}, source);
}

// The distinct non-blank addresses of the given header lists, in order. An address named
// twice in one message (say in To and Cc) counts as one use.
std::vector<ContactStore::Use> ContactStore::uses_of(
    std::initializer_list<const std::vector<EmailContact>*> lists) {
  std::vector<Use> uses;
  std::set<std::string> seen;
  for (const auto* list : lists)
    for (const EmailContact& contact : *list) {
      std::string address = normalized_address(contact.email);
      if (address.empty() || !seen.insert(address).second) continue;
      uses.push_back(Use{non_blank(contact.name), std::move(address)});
    }
  return uses;
}

bool ContactStore::learn_from_received(const EmailMessage& message) {
  const std::vector<EmailContact> sender{message.from};
  return record_all(uses_of({&sender, &message.to, &message.cc}), StoredContact::Source::received);
}

bool ContactStore::learn_from_sent(const EmailMessage& message) {
  return record_all(uses_of({&message.to, &message.cc, &message.bcc}), StoredContact::Source::sent);
}

int ContactStore::import_from_stored_mail() {
  const double at = now();
  std::vector<StoredContact> added;
  try {
    database_.write([&](Connection& c) {
      std::set<std::string> own;
      auto accounts = c.prepare(kSelectOwnAddresses);
      while (accounts.step()) own.insert(normalized_address(accounts.text(0).value_or("")));

      // Senders in first-seen order; one entry per address, the first non-blank name wins.
      std::vector<Use> senders;
      std::unordered_map<std::string, size_t> position;
      auto s = c.prepare(kSelectSenders);
      while (s.step()) {
        std::string address = normalized_address(s.text(0).value_or(""));
        if (address.empty() || own.contains(address)) continue;
        auto name = non_blank(s.text(1));
        auto [it, inserted] = position.emplace(address, senders.size());
        if (inserted) {
          senders.push_back(Use{std::move(name), std::move(address)});
        } else if (!senders[it->second].name) {
          senders[it->second].name = std::move(name);
        }
      }
      for (Use& sender : senders) {
        if (find_by_email(c, sender.email)) continue;
        StoredContact contact = new_contact(std::move(sender.email), std::move(sender.name),
                                            StoredContact::Source::received, at);
        write_insert(c, contact);
        added.push_back(std::move(contact));
      }
    });
  } catch (const std::exception& e) {
    log_failure("导入联系人失败: ", e);
    return 0;
  }
  for (const StoredContact& contact : added) remember(contact);
  return static_cast<int>(added.size());
}

std::vector<StoredContact> ContactStore::search(std::string_view query) const {
  const std::string needle = text::lower(text::trim(query));
  if (needle.empty()) return recent_;
  std::vector<StoredContact> matches;
  for (const StoredContact& contact : recent_) {
    if (text::lower(contact.email).find(needle) != std::string::npos ||
        (contact.name && text::lower(*contact.name).find(needle) != std::string::npos))
      matches.push_back(contact);
  }
  return matches;
}

std::optional<StoredContact> ContactStore::contact(std::string_view email) {
  const std::string address = normalized_address(email);
  if (address.empty()) return std::nullopt;
  try {
    return database_.read([&](Connection& c) { return find_by_email(c, address); });
  } catch (const std::exception& e) {
    log_failure("加载联系人失败: ", e);
    return std::nullopt;
  }
}

template <class Change>
bool ContactStore::change_contact(std::string_view email, Change change) {
  std::string address = normalized_address(email);
  if (address.empty()) return false;
  const double at = now();
  StoredContact changed;
  try {
    database_.write([&](Connection& c) {
      if (auto existing = find_by_email(c, address)) {
        changed = std::move(*existing);
        change(changed, at);
        write_update(c, changed);
        return;
      }
      changed = new_contact(address, std::nullopt, StoredContact::Source::manual, at);
      change(changed, at);
      write_insert(c, changed);
    });
  } catch (const std::exception& e) {
    log_failure("更新联系人失败: ", e);
    return false;
  }
  remember(changed);
  return true;
}

bool ContactStore::set_category(std::string_view email, std::optional<SenderCategory> category) {
  return change_contact(email, [&](StoredContact& contact, double at) {
    contact.category = category;
    contact.trainedAt = at;
  });
}

bool ContactStore::set_note(std::string_view email, const std::optional<std::string>& note) {
  return change_contact(email,
                        [&](StoredContact& contact, double) { contact.note = non_blank(note); });
}

void ContactStore::remember(const StoredContact& contact) {
  auto it = std::find_if(recent_.begin(), recent_.end(),
                         [&](const StoredContact& c) { return c.id == contact.id; });
  if (it != recent_.end()) {
    *it = contact;
  } else {
    recent_.push_back(contact);
  }
  std::stable_sort(recent_.begin(), recent_.end(), ranks_before);
  if (recent_.size() > static_cast<size_t>(kRecentLimit)) recent_.resize(kRecentLimit);
}

}  // namespace kestrova::store
