#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/email_content_decoder.h"
#include "mail/imap_header_record.h"
#include "store/email_contact.h"
#include "store/email_enums.h"
#include "store/email_message.h"

namespace kestrova::mail {

// How the synchronisation turns what a server says about a message into local records.

// The folder type of a server folder name, tested on the upper-cased name in this order:
// "INBOX" (whole name) inbox; containing "SENT" sent, "DRAFT" drafts, "TRASH" or
// "DELETED" trash, "SPAM" or "JUNK" spam, "ARCHIVE" archive; anything else custom.
store::EmailFolderType classify_folder(std::string_view serverName);

// The conversation key of a message: the subject trimmed, stripped of one reply or forward
// prefix ("Re:", "回复:", "Fwd：", ...), trimmed again and lower-cased; when that is empty
// the Message-ID; when there is none either, a new UUID string.
std::string normalized_thread_id(std::string_view subject,
                                 const std::optional<std::string>& messageId);

// Whether a sender address belongs to a robot that takes no replies: noreply, no-reply,
// donotreply, do-not-reply, mailer-daemon or postmaster anywhere in the lower-cased address,
// or a list's administrative address (RFC 2142, RFC 3834 §2): a local part starting with
// "owner-" or ending in "-request".
bool is_no_reply_address(std::string_view email);

// A Date header read with the English month and day names, trying
// "EEE, d MMM yyyy HH:mm:ss Z", "d MMM yyyy HH:mm:ss Z" and "d MMM yyyy HH:mm:ss" (that one
// in UTC) in order; a trailing comment such as " (UTC)" is ignored. Headers none of them
// reads are tried once more with the RFC 5322 grammar (obsolete forms, zone names);
// nothing when that fails too.
std::optional<double> parse_header_date(std::string_view text);

// An address as a header shows it ("Name <box@host>", "\"Name\" <box@host>" or a bare
// address), with RFC 2047 words of the name decoded. The name is absent when empty.
store::EmailContact parse_contact(std::string_view text);
// A header record's "to": the addresses it joined with ", ".
std::vector<store::EmailContact> parse_contact_list(std::string_view text);

// The local record of a message the server listed in a folder: subject and names decoded,
// the date parsed (the epoch when the header is missing or unreadable: a fixed value, so
// that the next sync recognises the message by subject, sender and date), thread
// key, read and starred from the flags, no-reply from the sender; no body yet.
store::EmailMessage message_from_header_record(const ImapHeaderRecord& record,
                                               const std::string& accountId,
                                               const std::string& folderId);

// The decoded attachments as the message's attachment records, each with a new id. A
// non-inline one means the message has attachments (an earlier "has" stays).
void set_attachments(store::EmailMessage& message,
                     const std::vector<EmailAttachmentMeta>& attachments);
// A decoded body on the message: text, HTML, remote resources and attachment metadata.
void set_body(store::EmailMessage& message, const EmailBodyContent& content);

}  // namespace kestrova::mail
