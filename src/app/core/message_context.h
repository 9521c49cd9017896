#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/account_book.h"
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
// Downloads, decodes and stores the body when it is not stored yet.
void ensure_body(MessageContext& c, BodyLoad load = BodyLoad::marksRead);
// The decoded bytes of one of the message's attachments: its stored file when it has one,
// else from the server.
std::string download_attachment(MessageContext& c, const store::EmailAttachment& attachment);

// A file name from a message, made safe to create inside a directory: only its last path
// component, without control characters, never "." or "..".
std::string safe_file_name(std::string_view name);

}  // namespace kestrova::app
