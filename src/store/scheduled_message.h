#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/email_contact.h"

namespace kestrova::store {

class EmailDatabase;
class Statement;

// A file to attach when a scheduled message goes out: a private copy made when it was
// scheduled (so that moving or deleting the original does not break the send).
struct ScheduledAttachment {
  std::string path;  // the private copy
  std::string filename;
  std::string mimeType;
  bool operator==(const ScheduledAttachment&) const = default;
};

// One message to be sent at a chosen time (a row of `scheduled_messages`).
struct ScheduledMessage {
  enum class Status { pending, sending, sent, failed };

  std::string id;  // canonical UUID
  std::string accountId;
  std::vector<EmailContact> to, cc, bcc;
  std::string subject;
  std::string body;
  std::optional<std::string> htmlBody;
  std::vector<ScheduledAttachment> attachments;
  // Threading headers of a scheduled reply. They travel in attachments_json, which then
  // holds {"attachments": [...], "inReplyTo": ..., "references": [...]}; a plain array
  // there is read as the attachments alone.
  std::optional<std::string> inReplyTo;
  std::vector<std::string> references;
  double scheduledAt = 0;
  double createdAt = 0;
  Status status = Status::pending;
  std::optional<std::string> errorMessage;

  bool operator==(const ScheduledMessage&) const = default;
  static std::optional<ScheduledMessage> from_row(const Statement& row);
};

std::string_view raw_value(ScheduledMessage::Status status);

// The statements of the scheduled-messages table. Failures throw. Thread-safe as the
// database is.
class ScheduledMessageStore {
 public:
  explicit ScheduledMessageStore(EmailDatabase& database) : database_(database) {}

  void insert(const ScheduledMessage& message) const;
  // Pending and sending rows (a "sending" row is one an interrupted run left), earliest first.
  std::vector<ScheduledMessage> loadPending() const;
  // Every row, earliest first (the command line's list).
  std::vector<ScheduledMessage> all() const;
  std::optional<ScheduledMessage> get(std::string_view id) const;
  void setStatus(std::string_view id, ScheduledMessage::Status status,
                 const std::optional<std::string>& errorMessage) const;
  // True when a row went.
  bool remove(std::string_view id) const;

 private:
  EmailDatabase& database_;
};

}  // namespace kestrova::store
