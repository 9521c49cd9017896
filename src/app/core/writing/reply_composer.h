#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/core/writing/message_sender.h"
#include "store/email_contact.h"
#include "store/email_message.h"

namespace kestrova::app {

// "Re: " before a subject that does not start with it already (any letter case), and the
// same with "Fwd: " (a subject starting "Fwd:" or "Fw:" keeps its prefix).
std::string reply_subject(std::string_view subject);
std::string forward_subject(std::string_view subject);

// A recipient as a ComposedMessage holds it: the bare address, or "Name" <address> with
// the name quoted; nothing for a contact whose address is not an addr-spec.
std::optional<std::string> recipient_text(const store::EmailContact& contact);
// The other way: the contacts of recipient entries, skipping any that is not a mailbox.
std::vector<store::EmailContact> contacts_of(const std::vector<std::string>& entries);

// The message's text for quoting: its plain body, else its HTML body as text, else the
// preview; at most kQuoteLimit bytes.
constexpr size_t kQuoteLimit = 256 * 1024;
std::string quotable_text(const store::EmailMessage& message);

// A reply to `original` with an empty body above the quote: To is its Reply-To (else its
// sender; a reply to one's own message goes to its recipients), with `all` also its other
// To and Cc recipients in Cc. The user's own addresses and duplicates (ignoring letter
// case) are left out, and so are addresses that are not addr-specs. The subject is
// "Re: ...", the body the attribution line and the ">"-quoted original, and In-Reply-To and
// References (RFC 5322 §3.6.4) name the original so that other clients thread the reply.
ComposedMessage compose_reply(const store::EmailMessage& original,
                              const std::vector<std::string>& ownAddresses, bool all);
// A forward of `original` (recipients are the caller's): "Fwd: ..." and the forwarded-message
// block with the original's headers and text. Attachments are the caller's to add.
ComposedMessage compose_forward(const store::EmailMessage& original);

// The user's text put above the quote of a composed reply or forward.
void put_text_above_quote(ComposedMessage& message, std::string_view text);

}  // namespace kestrova::app
