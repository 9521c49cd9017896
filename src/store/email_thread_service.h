#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store/email_thread.h"

namespace kestrova::store {

class Connection;
class EmailDatabase;

// Conversation summaries (rows of email_threads) derived from the stored messages.
//
// A conversation is the set of an account's messages sharing one `thread_id` (the
// conversation key the synchronisation gives each message). Drafts, locally deleted
// messages and spam take no part. From those messages, ordered by date (then id):
//   - the root is the earliest message: `subject` is its subject as written, and
//     `rootMessageId` its trimmed Message-ID (absent when it has none);
//   - `messageId` is the trimmed Message-ID of the newest message and `lastMessageDate`
//     its date;
//   - `participantEmails` are the distinct lower-cased, trimmed sender, To and Cc
//     addresses in the order they first appear, oldest message first;
//   - `messageCount` counts logical messages: copies in several folders count once
//     (same trimmed Message-ID; without one, same subject, sender and date);
//   - `unreadCount` counts the logical messages none of whose copies is read.
// The row keeps the id and creation date of the row found for the new newest or root
// Message-ID, else of the row this service keeps for the account and conversation key
// (an id derived from both, so that a conversation without any Message-ID is found again
// and can be removed once its messages are gone); otherwise it is new.
//
// Reads log failures and give nothing; writes throw kestrova::Error. Thread-safe as far
// as the database is (every call is one read or write block).
class EmailThreadService {
 public:
  // Borrows the database for the service's lifetime.
  explicit EmailThreadService(EmailDatabase& database);

  // The account's thread whose newest or root Message-ID is `messageId`.
  std::optional<EmailThread> findThread(const std::string& accountId, const std::string& messageId);
  // Newest first (by last message date).
  std::vector<EmailThread> threads(const std::string& accountId);
  std::optional<EmailThread> thread(const std::string& id);

  // INSERT OR REPLACE by id.
  void saveThread(const EmailThread& thread);
  void deleteThread(const std::string& id);

  // Re-derives the summary of one conversation and writes it (one write transaction);
  // removes it when no message takes part any more. Returns the row as written.
  std::optional<EmailThread> refreshThread(const std::string& accountId,
                                           const std::string& threadId);
  // The same for several conversation keys (repeats are refreshed once), all in one write
  // transaction: either every summary is written or none.
  void refreshThreads(const std::string& accountId, const std::vector<std::string>& threadIds);

  // The id this service gives the row of an account's conversation key: a UUID (version 8,
  // upper-case) made from a 128-bit FNV-1a hash of both. Stable across runs.
  static std::string derivedThreadRowId(const std::string& accountId, const std::string& threadId);

 private:
  std::optional<EmailThread> refresh(Connection& c, const std::string& accountId,
                                     const std::string& threadId, double now);

  EmailDatabase& database_;
};

}  // namespace kestrova::store
