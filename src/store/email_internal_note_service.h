#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/json.h"

namespace kestrova::store {

class EmailDatabase;
class EmailStore;
struct EmailMessage;

// One entry of the list of noted messages.
struct NotedMessageSummary {
  std::string messageId;  // canonical UUID
  std::string subject;
  std::optional<std::string> senderName;
  std::string senderEmail;
  double date = 0;  // the message's date
  std::string note;
  double updatedAt = 0;  // the row's last update

  bool operator==(const NotedMessageSummary&) const = default;
  // Keys are the field names; an absent sender name is left out.
  OrderedJson to_json() const;
};

// Private notes on messages (`internal_note`); they never leave the machine. A note is
// written to every stored copy of the message through the mail store, so it shows whichever
// copy a list picks to stand for the message. Not thread-safe: call it on the main thread.
class EmailInternalNoteService {
 public:
  static constexpr int kListLimit = 200;

  // Borrows the database and the mail store for the service's lifetime.
  EmailInternalNoteService(EmailDatabase& database, EmailStore& mail_store);

  // Stores the trimmed note; nothing, or only white space and line breaks, clears it.
  // False when the write failed (logged); the in-memory copies are then unchanged.
  bool set_note(const EmailMessage& message, const std::optional<std::string>& note);

  // The noted messages, most recently updated first, at most kListLimit. Empty on failure.
  std::vector<NotedMessageSummary> list_noted();
  // 0 on failure.
  int64_t count_noted();

 private:
  EmailDatabase& database_;
  EmailStore& mail_store_;
};

}  // namespace kestrova::store
