#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/email_attachment.h"
#include "store/email_contact.h"
#include "store/email_enums.h"
#include "util/json.h"

namespace kestrova::store {

class Statement;

// One stored message (a row of email_messages plus its attachment rows). The column
// rule_applied_at belongs to the rule service and is not part of the record.
struct EmailMessage {
  // Length of a preview derived from the text body, in user-perceived characters.
  static constexpr size_t kPreviewLength = 200;

  std::string id{};                       // canonical UUID; not changed after creation
  std::string accountId{};                // canonical UUID; not changed after creation
  std::optional<std::string> folderId{};  // canonical UUID
  std::optional<uint32_t> uid{};
  std::optional<std::string> messageId{};  // the Message-ID header
  std::optional<uint64_t> size{};          // the server's RFC822.SIZE, when it was fetched
  std::optional<std::string> inReplyTo{};
  std::optional<std::string> threadId{};
  std::string subject{};
  EmailContact from{};
  std::vector<EmailContact> to{};
  std::vector<EmailContact> cc{};
  std::vector<EmailContact> bcc{};
  std::vector<EmailContact> replyTo{};
  std::optional<std::string> textBody{};
  std::optional<std::string> htmlBody{};
  std::string preview{};
  double date = 0;  // the message's own date
  std::optional<double> receivedDate{};
  bool isRead = false;
  bool isStarred = false;
  bool isImportant = false;
  bool isNoReply = false;
  bool hasAttachments = false;
  bool isSpam = false;
  bool isDeleted = false;  // local soft delete
  bool containsRemoteResources = false;
  bool hasBeenReplied = false;
  bool isDraft = false;
  std::vector<std::string> tags{};  // user tags
  std::vector<std::string> aiTags{};
  std::optional<std::string> aiSummary{};
  std::optional<EmailPriority> aiPriority{};
  std::vector<std::string> aiActionItems{};
  std::optional<EmailCategory> aiCategory{};
  std::vector<EmailAttachment> attachments{};
  double syncedAt = 0;
  double updatedAt = 0;
  std::optional<double> snoozedUntil{};
  std::optional<double> replyLaterUntil{};
  std::optional<double> waitingSince{};
  std::optional<std::string> internalNote{};
  bool isBodyLoaded = false;
  std::optional<double> bodyCachedAt{};

  bool operator==(const EmailMessage&) const = default;

  // The record as created: an empty preview with a text body present becomes the body's
  // first 200 characters (nothing trimmed), and a missing receivedDate becomes `date`.
  static EmailMessage make(EmailMessage fields);

  // Nothing when `id` or `account_id` is NULL or not a UUID. List columns may hold text or
  // blob JSON; NULL, empty or bad JSON reads as an empty list. A NULL or unknown priority or
  // category reads as absent; NULL from_email as "". Attachments are separate rows and are
  // not read here. Built through make().
  static std::optional<EmailMessage> from_row(const Statement& row);

  // Keys are the field names ("from" an EmailContact object, the lists arrays); absent
  // optionals are left out. The decoder needs valid `id` and `accountId`, takes the member
  // defaults for missing keys and builds through make().
  OrderedJson to_json() const;
  static std::optional<EmailMessage> from_json(const OrderedJson& json);
};

}  // namespace kestrova::store
