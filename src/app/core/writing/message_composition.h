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
