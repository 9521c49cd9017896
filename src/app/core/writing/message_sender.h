#pragma once

#include <optional>
#include <string>
#include <vector>

#include "mail/outgoing_message.h"
#include "store/email_account.h"

namespace kestrova::store {
class EmailStore;
}

namespace kestrova::app {

// A message as the user composed it, before it goes out. Recipients are bare addresses or
// "Name <address>" mailboxes.
struct ComposedMessage {
  std::vector<std::string> to, cc, bcc;
  std::string subject;
  std::string body;
  std::optional<std::string> htmlBody;
  std::vector<mail::OutgoingAttachment> attachments;
  std::optional<std::string> inReplyTo;  // msg-id of the answered message
  std::vector<std::string> references;   // the thread's msg-ids, oldest first
  std::optional<std::string> autoSubmitted;
  bool readReceipt = false;
};

// Checks every recipient (RFC 5322 addr-spec, no line breaks) before anything is sent.
// Throws Error naming the first bad one ("收件人地址无效: ..."), or saying that there is no
// recipient at all.
void validate_recipients(const ComposedMessage& message);

struct SendOutcome {
  std::string messageId;  // as sent, angle brackets included
  // How the sent copy was filed: on the server by us, by the provider itself, or not at
  // all (then `sentCopyProblem` says why; the message itself went out).
  enum class SentCopy { appended, byProvider, failed } sentCopy = SentCopy::appended;
  std::string sentCopyProblem;
};

// Sends through the account's SMTP server (From with its display name), then files the
// sent copy: IMAP APPEND with \Seen to the account's sent folder (created as "Sent" when the
// account has none) unless the provider files it itself, and a local copy in the store's
// sent folder. Throws the send failure; a failed sent copy does not undo a sent message.
// Blocks on the network; `store` must have its accounts loaded.
SendOutcome send_composed(const store::EmailAccount& account, const ComposedMessage& message,
                          store::EmailStore& store);

// Keeps a message that was not sent as a local draft of the account; returns its id. With
// `draftId` the draft of that id is written again (a draft saved while the user types).
std::string save_composed_as_draft(const store::EmailAccount& account,
                                   const ComposedMessage& message, store::EmailStore& store,
                                   const std::string& draftId = {});

// Deletes the draft and marks its server copy for removal (after it was sent or scheduled).
void discard_draft(store::EmailStore& store, const std::string& draftId);

}  // namespace kestrova::app
