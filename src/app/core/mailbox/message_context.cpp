#include "app/core/mailbox/message_context.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "app/core/mailbox/folder_lookup.h"
#include "app/core/writing/draft_upload.h"
#include "mail/email_content_decoder.h"
#include "mail/email_message_conversion.h"
#include "mail/email_service.h"
#include "mail/outgoing_message.h"
#include "store/database.h"
#include "store/downloaded_body.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "store/message_source.h"
#include "util/error.h"
#include "util/file.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

using store::EmailMessage;

std::unique_ptr<MessageContext> context_for(const std::string& id) {
  auto c = std::make_unique<MessageContext>();
  c->message = find_message(c->book.store(), id);
  c->account = c->book.find(c->message.accountId);
  c->book.store().loadFolders();
  c->folders = c->book.store().foldersOf(c->account.id);
  return c;
}

const std::optional<std::string>& password_of(MessageContext& c) {
  if (!c.password) c.password = mail::EmailService::shared().storedPassword(c.account);
  return c.password;
}

std::optional<std::string> kept_source(MessageContext& c) {
  return c.book.store().database().read(
      [&](store::Connection& db) { return store::kept_message_source(db, c.message.id); });
}

namespace {

// The body downloaded with BODY.PEEK, as the background prefetch does; nothing when the
// message has no server copy to peek at.
std::optional<mail::EmailBodyContent> peek_body(MessageContext& c) {
  if (!c.message.uid || c.account.isLocalOnly()) return std::nullopt;
  const auto folder = std::find_if(c.folders.begin(), c.folders.end(), [&](const auto& f) {
    return f.id == c.message.folderId && !f.isLocalPseudoFolder();
  });
  if (folder == c.folders.end()) return std::nullopt;
  return mail::EmailService::decodeRawMessage(
      mail::EmailService::shared().peekRawMessage(c.account, password_of(c), c.message, c.folders));
}

}  // namespace

void ensure_body(MessageContext& c, BodyLoad load) {
  if (c.message.isBodyLoaded) return;
  EmailMessage& m = c.message;
  if (auto kept = kept_source(c)) {
    mail::set_body(m, mail::EmailService::decodeRawMessage(std::move(*kept)));
    m.isBodyLoaded = true;
    store::save_downloaded_bodies(c.book.store().database(), {m}, false);
  } else {
    auto peeked = load == BodyLoad::peek ? peek_body(c) : std::nullopt;
    auto content = peeked ? std::move(*peeked)
                          : mail::EmailService::shared().fetchMessageBody(c.account, password_of(c),
                                                                          c.message, c.folders);
    mail::set_body(m, content);
    m.isBodyLoaded = true;
    // The plain download marked the message read on the server.
    if (!peeked) m.isRead = true;
    store::save_downloaded_bodies(c.book.store().database(), {m}, !peeked);
  }
  c.book.store().database().read([&](store::Connection& db) {
    if (auto stored = store::read_stored_message(db, c.message.id)) c.message = std::move(*stored);
  });
}

bool ensure_body_if_possible(MessageContext& c) {
  try {
    ensure_body(c);
    return true;
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, "MessageContext",
             "正文无法获取，使用已保存的正文或摘要: " + std::string(e.what()));
    return false;
  }
}

std::string download_attachment(MessageContext& c, const store::EmailAttachment& attachment) {
  // A stored copy of the file (mail that exists only here keeps its attachments so).
  if (attachment.localPath)
    if (auto bytes = read_file(*attachment.localPath)) return std::move(*bytes);
  mail::EmailAttachmentMeta meta;
  meta.partPath = attachment.partPath.value_or("");
  meta.filename = attachment.filename;
  meta.mimeType = attachment.mimeType;
  meta.size = attachment.size;
  meta.contentId = attachment.contentId;
  meta.isInline = attachment.isInline;
  meta.encoding = attachment.encoding;
  meta.charset = attachment.charset;
  if (auto kept = kept_source(c)) {
    if (auto bytes = mail::EmailContentDecoder::attachmentData(*kept, meta)) return *bytes;
    throw Error(localized_format("mail.error.no_attachment", attachment.filename));
  }
  return mail::EmailService::shared().downloadAttachment(c.account, password_of(c), c.message, meta,
                                                         c.folders);
}

const store::EmailAttachment& attachment_named(const MessageContext& c, std::string_view name) {
  for (const auto& a : c.message.attachments)
    if (a.filename == name) return a;
  for (const auto& a : c.message.attachments)
    if (text::equals_ci(a.filename, name)) return a;
  std::string names;
  for (const auto& a : c.message.attachments) names += "\n  " + a.filename;
  throw Error(names.empty() ? localized_format("cli.attachments.not_found", name)
                            : localized_format("cli.attachments.not_found_list", name, names));
}

SavedAttachment save_attachment(MessageContext& c, const store::EmailAttachment& attachment,
                                std::filesystem::path target, ExistingFile existing) {
  const std::string bytes = download_attachment(c, attachment);
  std::error_code ec;
  if (std::filesystem::is_directory(target, ec)) target /= safe_file_name(attachment.filename);
  if (existing == ExistingFile::refuse && std::filesystem::exists(target, ec))
    throw Error(localized_format("cli.file.exists", target.string()));
  std::filesystem::path temporary = target;
  temporary += ".part-" + new_uuid().substr(0, 8);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    std::filesystem::permissions(
        temporary, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, ec);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::filesystem::remove(temporary, ec);
      throw Error(localized_format("cli.file.unwritable", target.string()));
    }
  }
  std::filesystem::rename(temporary, target, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    throw Error(localized_format("cli.file.unwritable", target.string()));
  }
  return {target, bytes.size()};
}

std::string original_source(MessageContext& c) {
  if (auto kept = kept_source(c)) return *kept;
  const EmailMessage& m = c.message;
  const auto folder = std::find_if(c.folders.begin(), c.folders.end(), [&](const auto& f) {
    return m.folderId && f.id == *m.folderId;
  });
  const bool local_folder = folder != c.folders.end() && folder->isLocalPseudoFolder();
  if (!m.uid || local_folder || c.account.isLocalOnly()) {
    // Written here and never filed anywhere: the draft as it would go to the server is its
    // source. Any other message without a server copy lost its bytes before they were kept.
    if (m.isDraft || (folder != c.folders.end() && folder->type == store::EmailFolderType::drafts))
      return draft_message_text(c.account, m).text;
    throw Error(localized("message.source.missing"));
  }
  try {
    return mail::EmailService::shared().peekRawMessage(c.account, password_of(c), m, c.folders);
  } catch (const mail::EmailServiceError& e) {
    throw Error(localized_format("message.source.unavailable", e.what()));
  }
}

std::string safe_file_name(std::string_view name) {
  std::string base(name);
  for (char& ch : base)
    if (ch == '\\') ch = '/';
  if (const size_t slash = base.rfind('/'); slash != std::string::npos)
    base = base.substr(slash + 1);
  std::string clean;
  for (char ch : base)
    if (static_cast<unsigned char>(ch) >= 0x20 && ch != 0x7F) clean += ch;
  clean = text::trim(clean);
  if (clean.empty() || clean == "." || clean == "..") clean = "attachment";
  return clean;
}

}  // namespace kestrova::app
