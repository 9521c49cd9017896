#include "store/email_thread_service.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <set>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "store/database.h"
#include "store/email_contact.h"
#include "store/json_list.h"
#include "store/row_reader.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::store {

namespace {

constexpr std::string_view kTag = "EmailThreadService";

// "+account_id": the two Message-ID indexes answer the OR; the account index would read
// every thread of the account.
constexpr std::string_view kFindThread =
    "SELECT * FROM email_threads WHERE +account_id = ? AND (message_id = ? OR root_message_id = "
    "?) LIMIT 1";
constexpr std::string_view kFetchThread = "SELECT * FROM email_threads WHERE id = ?";
constexpr std::string_view kSaveThread =
    "INSERT OR REPLACE INTO email_threads (id, account_id, subject, message_id, "
    "root_message_id, participant_emails, message_count, unread_count, last_message_date, "
    "created_at, updated_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr std::string_view kListThreads =
    "SELECT * FROM email_threads WHERE account_id = ? ORDER BY last_message_date DESC";
constexpr std::string_view kDeleteThread = "DELETE FROM email_threads WHERE id = ?";
// "+account_id" keeps the planner on the thread index: left to itself it prefers an
// account-wide index (more equality columns) and reads every message of the account.
// Only the columns a summary is made of: reading whole rows (bodies, every list) cost more
// than the rest of a refresh.
constexpr std::string_view kThreadMessages =
    "SELECT id, account_id, message_id, subject, from_email, to_contacts, cc_contacts, date, "
    "is_read FROM email_messages WHERE +account_id = ? AND thread_id = ? AND is_draft = 0 AND "
    "is_deleted = 0 AND is_spam = 0 ORDER BY date ASC, id ASC";

// What a summary reads of one message, as EmailMessage::from_row reads it.
struct ThreadMember {
  std::optional<std::string> messageId;
  std::string subject;
  std::string fromEmail;
  std::vector<EmailContact> to;
  std::vector<EmailContact> cc;
  double date = 0;
  bool isRead = false;

  // Nothing for a row that does not read back as a message (ids that are not UUIDs).
  static std::optional<ThreadMember> from_row(const Statement& row) {
    RowReader r(row);
    if (!r.uuid("id") || !r.uuid("account_id")) return std::nullopt;
    return ThreadMember{r.optional_text("message_id"),
                        r.text("subject"),
                        r.text("from_email"),
                        r.contact_list("to_contacts"),
                        r.contact_list("cc_contacts"),
                        r.date("date"),
                        r.flag("is_read")};
  }
};

void log_failure(std::string_view what, const std::exception& e) {
  log_line(log_kind::kFailure, kTag, std::string(what) + e.what());
}

std::optional<std::string> trimmed_message_id(const std::optional<std::string>& id) {
  if (!id) return std::nullopt;
  std::string t = text::trim(*id);
  if (t.empty()) return std::nullopt;
  return t;
}

// One logical message across folder copies: the trimmed Message-ID, else subject, sender
// and date.
std::string logical_key(const ThreadMember& m) {
  if (auto id = trimmed_message_id(m.messageId)) return "id:" + *id;
  char date[40];
  std::snprintf(date, sizeof date, "%.17g", m.date);
  return "content:" + m.subject + '|' + m.fromEmail + '|' + date;
}

std::optional<EmailThread> find_row(Connection& c, const std::string& accountId,
                                    const std::optional<std::string>& messageId,
                                    const std::optional<std::string>& rootMessageId) {
  auto s = c.prepare(kFindThread);
  s.bind_all(accountId, messageId, rootMessageId);
  if (!s.step()) return std::nullopt;
  return EmailThread::from_row(s);
}

std::optional<EmailThread> fetch_row(Connection& c, const std::string& id) {
  auto s = c.prepare(kFetchThread);
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return EmailThread::from_row(s);
}

void save_row(Connection& c, const EmailThread& t) {
  c.prepare(kSaveThread)
      .bind_all(t.id, t.accountId, t.subject, t.messageId, t.rootMessageId,
                encode_string_list(t.participantEmails), t.messageCount, t.unreadCount,
                t.lastMessageDate, t.createdAt, t.updatedAt)
      .run();
}

void delete_row(Connection& c, const std::string& id) {
  c.prepare(kDeleteThread).bind(1, id).run();
}

}  // namespace

EmailThreadService::EmailThreadService(EmailDatabase& database) : database_(database) {}

std::optional<EmailThread> EmailThreadService::findThread(const std::string& accountId,
                                                          const std::string& messageId) {
  try {
    return database_.read(
        [&](Connection& c) { return find_row(c, accountId, messageId, messageId); });
  } catch (const std::exception& e) {
    log_failure("查找会话失败: ", e);
    return std::nullopt;
  }
}

std::vector<EmailThread> EmailThreadService::threads(const std::string& accountId) {
  try {
    return database_.read([&](Connection& c) {
      std::vector<EmailThread> out;
      auto s = c.prepare(kListThreads);
      s.bind(1, accountId);
      while (s.step()) {
        if (auto t = EmailThread::from_row(s)) out.push_back(std::move(*t));
      }
      return out;
    });
  } catch (const std::exception& e) {
    log_failure("读取会话列表失败: ", e);
    return {};
  }
}

std::optional<EmailThread> EmailThreadService::thread(const std::string& id) {
  try {
    return database_.read([&](Connection& c) { return fetch_row(c, id); });
  } catch (const std::exception& e) {
    log_failure("读取会话失败: ", e);
    return std::nullopt;
  }
}

void EmailThreadService::saveThread(const EmailThread& thread) {
  database_.write([&](Connection& c) { save_row(c, thread); });
}

void EmailThreadService::deleteThread(const std::string& id) {
  database_.write([&](Connection& c) { delete_row(c, id); });
}

std::optional<EmailThread> EmailThreadService::refreshThread(const std::string& accountId,
                                                             const std::string& threadId) {
  const double now = now_seconds();
  return database_.write([&](Connection& c) { return refresh(c, accountId, threadId, now); });
}

void EmailThreadService::refreshThreads(const std::string& accountId,
                                        const std::vector<std::string>& threadIds) {
  const double now = now_seconds();
  database_.write([&](Connection& c) {
    std::unordered_set<std::string> done;
    for (const auto& threadId : threadIds) {
      if (done.insert(threadId).second) refresh(c, accountId, threadId, now);
    }
  });
}

std::string EmailThreadService::derivedThreadRowId(const std::string& accountId,
                                                   const std::string& threadId) {
  // FNV-1a, 128 bits: offset basis 0x6c62272e07bb014262b821756295c58d, prime 2^88 + 0x13b.
  using u128 = unsigned __int128;
  u128 hash = (static_cast<u128>(0x6c62272e07bb0142ULL) << 64) | 0x62b821756295c58dULL;
  const u128 prime = (static_cast<u128>(1) << 88) | 0x13b;
  auto feed = [&](std::string_view bytes) {
    for (unsigned char byte : bytes) {
      hash ^= byte;
      hash *= prime;
    }
  };
  feed(accountId);
  feed(std::string_view("\0", 1));  // keeps ("ab", "c") apart from ("a", "bc")
  feed(threadId);
  uint8_t bytes[16];
  for (int i = 15; i >= 0; --i) {
    bytes[i] = static_cast<uint8_t>(hash & 0xff);
    hash >>= 8;
  }
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x80);  // version 8: vendor-defined
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 9562 variant
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0x0f];
  }
  return out;
}

std::optional<EmailThread> EmailThreadService::refresh(Connection& c, const std::string& accountId,
                                                       const std::string& threadId, double now) {
  std::vector<ThreadMember> messages;
  {
    auto s = c.prepare(kThreadMessages);
    s.bind_all(accountId, threadId);
    while (s.step()) {
      if (auto m = ThreadMember::from_row(s)) messages.push_back(std::move(*m));
    }
  }
  const std::string derived_id = derivedThreadRowId(accountId, threadId);
  if (messages.empty()) {
    delete_row(c, derived_id);
    return std::nullopt;
  }

  const ThreadMember& root = messages.front();
  const ThreadMember& newest = messages.back();
  EmailThread t;
  t.accountId = accountId;
  t.subject = root.subject;
  t.rootMessageId = trimmed_message_id(root.messageId);
  t.messageId = trimmed_message_id(newest.messageId);
  t.lastMessageDate = newest.date;

  std::set<std::string> seen_participants;
  auto add_participant = [&](const std::string& address) {
    std::string email = text::lower(text::trim(address));
    if (email.empty() || !seen_participants.insert(email).second) return;
    t.participantEmails.push_back(std::move(email));
  };
  std::unordered_map<std::string, bool> read_by_message;  // logical key → any copy read
  for (const auto& m : messages) {
    add_participant(m.fromEmail);
    for (const auto& contact : m.to) add_participant(contact.email);
    for (const auto& contact : m.cc) add_participant(contact.email);
    auto [it, inserted] = read_by_message.try_emplace(logical_key(m), m.isRead);
    if (!inserted) it->second = it->second || m.isRead;
  }
  t.messageCount = static_cast<int64_t>(read_by_message.size());
  for (const auto& [key, read] : read_by_message) {
    if (!read) ++t.unreadCount;
  }

  std::optional<EmailThread> existing;
  if (t.messageId || t.rootMessageId)
    existing = find_row(c, accountId, t.messageId, t.rootMessageId);
  if (!existing) existing = fetch_row(c, derived_id);
  t.id = existing ? existing->id : derived_id;
  t.createdAt = existing ? existing->createdAt : now;
  t.updatedAt = now;
  // A row found by Message-ID supersedes the derived one; leave no second summary behind.
  if (t.id != derived_id) delete_row(c, derived_id);
  save_row(c, t);
  return t;
}

}  // namespace kestrova::store
