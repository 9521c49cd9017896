#include "app/core/writing/message_composition.h"

#include "app/core/mailbox/message_context.h"
#include "app/core/user_preferences.h"
#include "app/core/writing/email_signature_service.h"
#include "app/core/writing/reply_composer.h"

namespace kestrova::app {

ComposedMessage compose_answer(MessageContext& original, AnswerKind kind) {
  ensure_body(original);
  if (kind != AnswerKind::forward) {
    std::vector<std::string> own;
    for (const auto& account : original.book.accounts()) own.push_back(account.emailAddress);
    return compose_reply(original.message, own, kind == AnswerKind::replyAll);
  }
  ComposedMessage m = compose_forward(original.message);
  for (const auto& attachment : original.message.attachments) {
    if (attachment.isInline) continue;
    m.attachments.push_back({download_attachment(original, attachment),
                             safe_file_name(attachment.filename), attachment.mimeType});
  }
  return m;
}

std::optional<store::EmailSignature> default_signature(store::EmailDatabase& database,
                                                       const UserPreferences& preferences,
                                                       const std::string& accountId, bool isReply) {
  if (isReply && !preferences.get(settings::emailAutoSignatureOnReplyEnabled)) return std::nullopt;
  return EmailSignatureService(database).defaultSignature(accountId);
}

void sign_message(store::EmailDatabase& database, const store::EmailSignature& signature,
                  const store::EmailAccount& account, ComposedMessage& message) {
  auto bodies = EmailSignatureService(database).apply(signature, account, std::move(message.body),
                                                      std::move(message.htmlBody), true);
  message.body = std::move(bodies.plain);
  message.htmlBody = std::move(bodies.html);
}

}  // namespace kestrova::app
