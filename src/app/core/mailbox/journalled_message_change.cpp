#include "app/core/mailbox/journalled_message_change.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "mail/email_service.h"
#include "mail/server_change_replay.h"
#include "store/email_account.h"
#include "store/email_store_sql.h"
#include "store/server_change_journal.h"
#include "util/error.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::app {

namespace {

using store::Connection;
using store::ServerChangeKind;

void bind_value(store::Statement& s, int index, const ColumnValue& value) {
  std::visit([&](const auto& v) { s.bind(index, v); }, value);
}

std::string text_of(const store::Statement& s, const char* column) {
  return s.text(column).value_or("");
}

}  // namespace

std::optional<std::vector<std::string>> update_copies(Connection& c, const std::string& message_id,
                                                      std::string_view set_clause,
                                                      const ColumnValue& value) {
  auto lookup = c.prepare(
      "SELECT account_id, message_id, subject, from_email, date, rfc822_size FROM email_messages "
      "WHERE id = ?");
  lookup.bind(1, message_id);
  if (!lookup.step()) return std::nullopt;
  const std::string account_id = text_of(lookup, "account_id");
  const std::string header_id = text::trim(text_of(lookup, "message_id"));
  const std::string subject = text_of(lookup, "subject");
  const std::string from = text_of(lookup, "from_email");
  const double date = lookup.real("date").value_or(0);
  const std::optional<int64_t> size = lookup.integer("rfc822_size");
  const double now = now_seconds();
  std::vector<std::string> ids;
  auto collect = [&](store::Statement& select) {
    while (select.step()) ids.push_back(select.text(0).value_or(""));
  };
  if (!header_id.empty()) {
    auto select =
        c.prepare("SELECT id FROM email_messages " + std::string(store::sql::kCopiesByMessageId));
    select.bind_all(account_id, header_id);
    collect(select);
    auto update = c.prepare(std::string("UPDATE email_messages SET ") + std::string(set_clause) +
                            ", updated_at = ? " + std::string(store::sql::kCopiesByMessageId));
    bind_value(update, 1, value);
    update.bind(2, now).bind(3, account_id).bind(4, header_id);
    update.run();
    return ids;
  }
  auto select =
      c.prepare("SELECT id FROM email_messages " + std::string(store::sql::kCopiesBySubject));
  select.bind_all(account_id, subject, from, date, size, size);
  collect(select);
  auto update = c.prepare(std::string("UPDATE email_messages SET ") + std::string(set_clause) +
                          ", updated_at = ? " + std::string(store::sql::kCopiesBySubject));
  bind_value(update, 1, value);
  update.bind(2, now).bind(3, account_id).bind(4, subject).bind(5, from).bind(6, date);
  update.bind(7, size).bind(8, size);
  update.run();
  return ids;
}

std::vector<std::string> update_all_copies(Connection& c, const std::string& message_id,
                                           std::string_view set_clause, const ColumnValue& value) {
  auto ids = update_copies(c, message_id, set_clause, value);
  if (!ids) throw Error("Message not found");
  return std::move(*ids);
}

namespace {

// A flag on every copy, each copy journalled.
std::vector<std::string> set_flag(Connection& c, const std::string& message_id,
                                  std::string_view clause, ServerChangeKind kind, bool value) {
  auto copies = update_all_copies(c, message_id, clause, int64_t{value ? 1 : 0});
  for (const auto& copy : copies) store::record_server_change(c, copy, kind, value);
  return copies;
}

}  // namespace

std::vector<std::string> set_read_journalled(Connection& c, const std::string& message_id,
                                             bool read) {
  return set_flag(c, message_id, "is_read = ?", ServerChangeKind::read, read);
}

std::vector<std::string> set_starred_journalled(Connection& c, const std::string& message_id,
                                                bool starred) {
  return set_flag(c, message_id, "is_starred = ?", ServerChangeKind::starred, starred);
}

void move_journalled(Connection& c, const std::string& message_id,
                     const std::string& target_folder_id, MoveMark mark) {
  std::string account_id;
  {
    auto s = c.prepare("SELECT account_id FROM email_messages WHERE id = ?");
    s.bind(1, message_id);
    if (!s.step()) throw Error("Message not found");
    account_id = text_of(s, "account_id");
  }
  {
    auto s = c.prepare("SELECT COUNT(*) FROM email_folders WHERE id = ? AND account_id = ?");
    s.bind_all(target_folder_id, account_id);
    if (!s.step() || s.integer(0).value_or(0) == 0)
      throw Error("Target folder not found or belongs to a different account");
  }
  // Recorded first: the entry takes the server's folder from the row as it still is.
  store::record_server_change(c, message_id, ServerChangeKind::move, false, target_folder_id);
  auto s = c.prepare(
      "UPDATE email_messages SET folder_id = ?, is_spam = MAX(is_spam, ?), updated_at = ? "
      "WHERE id = ?");
  s.bind_all(target_folder_id, int64_t{mark == MoveMark::spam ? 1 : 0}, now_seconds(), message_id);
  s.run();
}

std::vector<std::string> delete_journalled(Connection& c, const std::string& message_id) {
  auto copies = update_all_copies(c, message_id, "is_deleted = ?", int64_t{1});
  for (const auto& copy : copies) store::record_server_change(c, copy, ServerChangeKind::remove);
  return copies;
}

PendingChanges pending_changes_of(store::EmailDatabase& database,
                                  const std::set<std::string>& row_ids) {
  PendingChanges pending;
  for (const auto& change :
       database.read([](Connection& c) { return store::all_server_changes(c); })) {
    if (!row_ids.contains(change.messageRowId)) continue;
    ++pending.count;
    if (change.lastError) pending.lastError = change.lastError;
  }
  return pending;
}

ReplayOutcome replay_before_exit(store::EmailDatabase& database, const mail::EmailService& service,
                                 const std::set<std::string>& account_ids,
                                 const std::set<std::string>& row_ids,
                                 std::chrono::milliseconds wait) {
  std::vector<store::EmailAccount> accounts;
  database.read([&](Connection& c) {
    for (const auto& id : account_ids) {
      auto s = c.prepare("SELECT * FROM email_accounts WHERE id = ?");
      s.bind(1, id);
      if (s.step())
        if (auto account = store::EmailAccount::from_row(s))
          accounts.push_back(std::move(*account));
    }
  });
  struct Done {
    std::mutex lock;
    std::condition_variable signal;
    bool finished = false;
  };
  auto done = std::make_shared<Done>();
  // The replay blocks on the network with its own time limits; the command waits for it at
  // most `wait` and leaves the rest (in the journal) to the service.
  std::thread([&database, &service, accounts = std::move(accounts), done] {
    for (const auto& account : accounts) {
      try {
        mail::replayServerChanges(database, service, account);
      } catch (const std::exception& e) {
        log_line(log_kind::kFailure, "ServerChangeReplay", account.emailAddress + ": " + e.what());
      }
    }
    std::lock_guard guard(done->lock);
    done->finished = true;
    done->signal.notify_all();
  }).detach();
  ReplayOutcome outcome;
  {
    std::unique_lock guard(done->lock);
    outcome.finished = done->signal.wait_for(guard, wait, [&] { return done->finished; });
  }
  outcome.pending = pending_changes_of(database, row_ids);
  return outcome;
}

}  // namespace kestrova::app
