#include "app/core/writing/message_composition.h"

#include "app/core/mailbox/message_context.h"
#include "app/core/user_preferences.h"
#include "app/core/writing/email_signature_service.h"
#include "app/core/writing/reply_composer.h"

namespace kestrova::app {

namespace {

ComposedMessage compose_from_stored(const MessageContext& original, AnswerKind kind) {
  if (kind == AnswerKind::forward) return compose_forward(original.message);
  std::vector<std::string> own;
  for (const auto& account : original.book.accounts()) own.push_back(account.emailAddress);
  return compose_reply(original.message, own, kind == AnswerKind::replyAll);
}

}  // namespace

ComposedMessage compose_answer(MessageContext& original, AnswerKind kind) {
  ensure_body(original);
  ComposedMessage m = compose_from_stored(original, kind);
  if (kind != AnswerKind::forward) return m;
  for (const auto& attachment : original.message.attachments) {
    if (attachment.isInline) continue;
    m.attachments.push_back({download_attachment(original, attachment),
                             safe_file_name(attachment.filename), attachment.mimeType});
  }
  return m;
}

bool answer_needs_download(const MessageContext& original, AnswerKind kind) {
  if (!original.message.isBodyLoaded) return true;
  if (kind != AnswerKind::forward) return false;
  for (const auto& attachment : original.message.attachments)
    if (!attachment.isInline && !attachment.localPath) return true;
  return false;
}

ComposedMessage answer_headers(const MessageContext& original, AnswerKind kind) {
  ComposedMessage m = compose_from_stored(original, kind);
  m.body.clear();
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
