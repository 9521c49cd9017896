#include "app/core/mailbox/folder_lookup.h"

#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/id_prefix.h"
#include "mail/email_service.h"
#include "mail/email_sync_flow.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::app {

using store::EmailAccount;
using store::EmailFolder;

const EmailFolder& find_folder(const std::vector<EmailFolder>& folders, std::string_view name,
                               const EmailAccount& account) {
  const std::string wanted = text::trim(name);
  const auto id = parse_uuid(wanted);
  for (const auto& folder : folders)
    if ((id && parse_uuid(folder.id) == id) || folder.path == wanted) return folder;
  for (const auto& folder : folders)
    if (text::equals_ci(folder.name, wanted) || text::equals_ci(folder.path, wanted) ||
        text::equals_ci(folder.displayName(), wanted))
      return folder;
  throw Error(localized_format("cli.folder.not_found", wanted, account.emailAddress));
}

std::vector<EmailFolder> folders_of(AccountBook& book, const EmailAccount& account) {
  book.store().loadFolders();
  auto folders = book.store().foldersOf(account.id);
  if (!folders.empty()) return folders;
  auto& service = mail::EmailService::shared();
  mail::EmailSyncFlow flow(book.store(), service);
  return flow.syncFolders(account, service.storedPassword(account));
}

store::EmailMessage find_message(store::EmailStore& store, std::string_view id) {
  auto message = store.database().read([&](store::Connection& c) {
    return store::read_stored_message(c, resolve_id(c, "email_messages", id, "cli.noun.message"));
  });
  if (!message) throw Error(localized_format("cli.message.not_found", id));
  return *message;
}

}  // namespace kestrova::app
