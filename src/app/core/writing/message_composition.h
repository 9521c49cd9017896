#pragma once

#include <optional>
#include <string>

#include "app/core/writing/message_sender.h"
#include "store/email_account.h"
#include "store/email_signature.h"

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {

struct MessageContext;
class UserPreferences;

// How a message the user writes relates to a stored one.
enum class AnswerKind { reply, replyAll, forward };

// The message that answers or passes on `original`, as the command line and the window both
// start it: its body is loaded first when it is not stored yet (over the network), a reply
// is addressed, quoted and threaded (the user's own addresses left out), a forward carries
// the original's attachments (inline parts left out). Blocks on the network; throws when the
// body or an attachment cannot be had.
ComposedMessage compose_answer(MessageContext& original, AnswerKind kind);

// Whether compose_answer would go to the network for `original`: its body is not stored yet,
// or a forward carries attachments that are kept nowhere on this computer.
bool answer_needs_download(const MessageContext& original, AnswerKind kind);
// The answer as far as the stored message gives it without the network: recipients, subject
// and threading as compose_answer makes them, an empty body and no attachments. For an
// interface that opens at once and fills the quote in when compose_answer has it.
ComposedMessage answer_headers(const MessageContext& original, AnswerKind kind);

// The signature a message gets unless the user chooses otherwise: the account's default, but
// none for a reply (or reply all) while `emailAutoSignatureOnReplyEnabled` is off.
std::optional<store::EmailSignature> default_signature(store::EmailDatabase& database,
                                                       const UserPreferences& preferences,
                                                       const std::string& accountId, bool isReply);

// Puts `signature` into the message: above the quote of a reply or forward, else at the end;
// an HTML signature also gives the message an HTML body. Applying it twice changes nothing.
void sign_message(store::EmailDatabase& database, const store::EmailSignature& signature,
                  const store::EmailAccount& account, ComposedMessage& message);

}  // namespace kestrova::app
