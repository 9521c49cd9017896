#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/mailbox/account_book.h"
#include "store/email_account.h"
#include "store/email_attachment.h"
#include "store/email_folder.h"
#include "store/email_message.h"

namespace kestrova::app {

// One stored message with what a command needs to act on it: the account book it was
// found through, its account, the account's folders and (once asked for) the password.
// For the main thread of a command.
struct MessageContext {
  AccountBook book;
  store::EmailMessage message;
  store::EmailAccount account;
  std::vector<store::EmailFolder> folders;
  std::optional<std::string> password;
};

// The message with id `id` (or an unambiguous id prefix); throws when there is none.
std::unique_ptr<MessageContext> context_for(const std::string& id);
// The account's stored password, read once.
const std::optional<std::string>& password_of(MessageContext& c);
// How a body download treats the message's read state on the server.
enum class BodyLoad {
  marksRead,  // the plain download, which sets \Seen (opening a message)
  peek,       // BODY.PEEK: the read state stays as it is (the caller decides)
};
// Decodes and stores the body when it is not stored yet: from the message's kept original
// bytes when it has them, else downloaded from the server.
void ensure_body(MessageContext& c, BodyLoad load = BodyLoad::marksRead);
// ensure_body for a reader that can do with less (the AI commands): when the body cannot be
// had (no UID, a local folder, the server unreachable) the stored text, else the preview,
// stands in; that is logged and false returned.
bool ensure_body_if_possible(MessageContext& c);
// The decoded bytes of one of the message's attachments: its stored file when it has one,
// else from the kept original bytes, else from the server.
std::string download_attachment(MessageContext& c, const store::EmailAttachment& attachment);

// The message's attachment called `name`: the exact name, else the same name in another
// case. Throws an Error naming the attachments it has when none is called so.
const store::EmailAttachment& attachment_named(const MessageContext& c, std::string_view name);
// Whether saving may replace a file that is there already.
enum class ExistingFile { refuse, replace };
// Writes the decoded bytes of the message's `attachment` to `target`; an existing directory
// receives it under its own cleaned name. The file is written beside the target first and
// then renamed, so a failed save leaves nothing behind, and is private to the user (0600).
// Answers the file written and its size; throws an Error saying why it could not be.
struct SavedAttachment {
  std::filesystem::path path;
  size_t size = 0;
};
SavedAttachment save_attachment(MessageContext& c, const store::EmailAttachment& attachment,
                                std::filesystem::path target, ExistingFile existing);

// The original bytes kept on this computer for a message of which it holds the only copy
// (imported, or mail of a local-only account), or nothing.
std::optional<std::string> kept_source(MessageContext& c);
// The message's whole RFC 5322 source: the kept original bytes; else, for a draft that was
// never on the server, the draft as it would be filed; else the server's copy read with
// BODY.PEEK[] (the message stays unread). Throws an Error saying why when there is none to
// be had (no server copy, the server unreachable, the message gone from its folder).
std::string original_source(MessageContext& c);

// A file name from a message, made safe to create inside a directory: only its last path
// component, without control characters, never "." or "..".
std::string safe_file_name(std::string_view name);

}  // namespace kestrova::app
