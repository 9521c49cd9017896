#include "app/core/writing/message_sender.h"

#include "app/core/writing/draft_upload.h"
#include "app/core/writing/reply_composer.h"
#include "mail/email_service.h"
#include "mail/mail_address.h"
#include "store/contact_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/message_source.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

constexpr std::string_view kComponent = "MessageSender";
constexpr std::string_view kDefaultSentPath = "Sent";

const store::EmailFolder* folder_of_type(const std::vector<store::EmailFolder>& folders,
                                         store::EmailFolderType type, bool local) {
  for (const auto& folder : folders)
    if (folder.type == type && folder.isLocalPseudoFolder() == local) return &folder;
  return nullptr;
}

// The account's folder of `type`, else its local-only folder at `localPath`, created when missing.
std::string folder_for_copy(store::EmailStore& store, const store::EmailAccount& account,
                            store::EmailFolderType type, std::string_view localPath,
                            std::string_view nameKey) {
  store.loadFolders();
  const auto& folders = store.foldersOf(account.id);
  if (const auto* folder = folder_of_type(folders, type, false)) return folder->id;
  if (const auto* folder = folder_of_type(folders, type, true)) return folder->id;
  store::EmailFolder local = store::EmailFolder::make({.id = new_uuid(),
                                                       .accountId = account.id,
                                                       .name = localized(nameKey),
                                                       .type = type,
                                                       .path = std::string(localPath)});
  store.saveFolder(local);
  return local.id;
}

store::EmailMessage local_record(const store::EmailAccount& account, const ComposedMessage& message,
                                 std::string folderId) {
  const double now = now_seconds();
  return store::EmailMessage::make(
      {.id = new_uuid(),
       .accountId = account.id,
       .folderId = std::move(folderId),
       .inReplyTo = message.inReplyTo,
       .subject = message.subject,
       .from = {account.displayName.empty() ? std::nullopt : std::optional(account.displayName),
                account.emailAddress},
       .to = contacts_of(message.to),
       .cc = contacts_of(message.cc),
       .bcc = contacts_of(message.bcc),
       .textBody = message.body,
       .htmlBody = message.htmlBody,
       .date = now,
       .isRead = true,
       .hasAttachments = !message.attachments.empty(),
       .syncedAt = now,
       .updatedAt = now,
       .isBodyLoaded = true});
}

}  // namespace

void validate_recipients(const ComposedMessage& message) {
  if (message.to.empty() && message.cc.empty() && message.bcc.empty())
    throw Error(localized("send.error.no_recipient"));
  for (const auto* list : {&message.to, &message.cc, &message.bcc})
    for (const auto& entry : *list)
      if (!mail::parse_mailbox(entry))
        throw Error(localized_format("draft.edit.bad_address", mail::single_line(entry)));
}

SendOutcome send_composed(const store::EmailAccount& account, const ComposedMessage& message,
                          store::EmailStore& store) {
  validate_recipients(message);
  if (account.isLocalOnly())
    throw Error(localized_format("local_account.no_send", account.emailAddress));
  auto& service = mail::EmailService::shared();
  const auto password = service.storedPassword(account);

  mail::OutgoingMessage outgoing;
  outgoing.to = message.to;
  outgoing.cc = message.cc;
  outgoing.subject = message.subject;
  outgoing.body = message.body;
  outgoing.htmlBody = message.htmlBody;
  outgoing.attachments = message.attachments;
  outgoing.readReceipt = message.readReceipt;
  outgoing.inReplyTo = message.inReplyTo;
  outgoing.references = message.references;
  outgoing.autoSubmitted = message.autoSubmitted;
  std::vector<std::string> bcc;
  for (const auto& entry : message.bcc) bcc.push_back(mail::parse_mailbox(entry)->address);
  const mail::BuiltMessage built = service.sendMessage(account, password, std::move(outgoing), bcc);

  SendOutcome outcome;
  outcome.messageId = built.messageId;
  if (mail::EmailService::providerFilesSentCopy(account)) {
    outcome.sentCopy = SendOutcome::SentCopy::byProvider;
  } else {
    store.loadFolders();
    const auto* sent =
        folder_of_type(store.foldersOf(account.id), store::EmailFolderType::sent, false);
    const std::string path = sent ? sent->path : std::string(kDefaultSentPath);
    try {
      service.appendSentCopy(account, password, path, built.text);
    } catch (const std::exception& e) {
      outcome.sentCopy = SendOutcome::SentCopy::failed;
      outcome.sentCopyProblem = e.what();
      log_line("⚠️", kComponent, "保存到已发送文件夹失败: " + outcome.sentCopyProblem);
    }
  }

  try {
    auto record =
        local_record(account, message,
                     folder_for_copy(store, account, store::EmailFolderType::sent,
                                     store::EmailFolder::kLocalSentPath, "email.folder.sent"));
    record.messageId = built.messageId;
    store.saveMessage(record);
    // Without a copy in the server's sent folder this computer holds the only one: its bytes
    // are kept, so that its source, attachments and export stay whole.
    if (outcome.sentCopy == SendOutcome::SentCopy::failed)
      store.database().write(
          [&](store::Connection& c) { store::keep_message_source(c, record.id, built.text); });
    // The address book learns who the user writes to.
    store::ContactStore(store.database()).learn_from_sent(record);
  } catch (const std::exception& e) {
    log_line("⚠️", kComponent, "本地保存已发送邮件失败: " + std::string(e.what()));
  }
  return outcome;
}

std::string save_composed_as_draft(const store::EmailAccount& account,
                                   const ComposedMessage& message, store::EmailStore& store,
                                   const std::string& draftId) {
  auto record =
      local_record(account, message,
                   folder_for_copy(store, account, store::EmailFolderType::drafts,
                                   store::EmailFolder::kLocalDraftsPath, "email.folder.drafts"));
  if (!draftId.empty()) record.id = draftId;
  // Marked in the same transaction, so that the service files it on the server.
  return store.database().write([&](store::Connection& c) {
    auto saved = store.saveDraft(record);
    if (!saved) throw Error(localized("draft.save_failed"));
    mark_draft_for_upload(c, saved->message.id);
    return saved->message.id;
  });
}

void discard_draft(store::EmailStore& store, const std::string& draftId) {
  store.database().write([&](store::Connection& c) {
    store.deleteDraft(draftId);
    mark_draft_for_upload(c, draftId);
  });
}

}  // namespace kestrova::app
