#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct mailimap_address;
struct mailimap_envelope;
struct mailimap_msg_att;
struct mailimap_msg_att_dynamic;

namespace kestrova::mail {

// The flattened ENVELOPE and FLAGS of one message. Optional members are absent when the
// server sent nothing (or, for the addresses, when the formatted text is empty). Texts are
// exactly the bytes the server sent: encoded words are not decoded here, and a server that
// sends raw 8-bit text may hand over text that is not UTF-8.
struct ImapHeaderRecord {
  uint32_t uid = 0;
  std::optional<std::string> subject;
  std::optional<std::string> from;
  std::optional<std::string> to;
  std::optional<std::string> date;
  std::optional<std::string> messageId;   // "message-id", angle brackets included
  std::optional<std::string> inReplyTo;   // "in-reply-to"
  bool seen = false;
  bool flagged = false;
  std::optional<uint64_t> size;  // RFC822.SIZE, when the server sent it

  bool operator==(const ImapHeaderRecord&) const = default;
};

// The two ways an IMAP address (RFC 3501 §7.4.2: personal name, source route, mailbox
// name, host name, each possibly NIL) is written into a header record.
enum class ImapAddressStyle {
  // "mailbox@host"; the personal name is dropped, "@" only follows text already written.
  Bare,
  // "Personal <mailbox@host>" when there is a personal name, else "mailbox@host"; the "@"
  // is written whenever there is a host name.
  WithDisplayName,
};

// Every pointer argument below may be null, and so may every member of the structures
// they point to: the functions only read them, and what is missing stays absent.

std::string format_imap_address(const mailimap_address* address, ImapAddressStyle style);

// Whether a FLAGS list holds \Seen and \Flagged.
struct ImapFlagState {
  bool seen = false;
  bool flagged = false;
};
ImapFlagState imap_flag_state(const mailimap_msg_att_dynamic* flags);

// The single-message fetch: folds one returned message into `record`. Envelope fields that
// are present overwrite what earlier messages or items left; each FLAGS item sets "seen"
// and "flagged" anew. Addresses are written in the bare style. `record.uid` is untouched.
void merge_into_header_record(ImapHeaderRecord& record, const mailimap_msg_att* message);

// The batch fetch: the record of one returned message, with "from" written with its display
// name. Nothing when the message carries no UID (or UID 0) or no envelope.
std::optional<ImapHeaderRecord> batch_header_record(const mailimap_msg_att* message);

}  // namespace kestrova::mail
