// `kestrova folder create|rename|delete`: folders of local-only accounts are rows of the
// store alone; on an account with a server the server makes the change first (IMAP CREATE,
// RENAME, DELETE) and the stored folders follow it.

#include <CLI/CLI.hpp>
#include <cctype>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "app/cli/terminal_output.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/folder_lookup.h"
#include "mail/email_message_conversion.h"
#include "mail/email_service.h"
#include "mail/email_sync_flow.h"
#include "store/database.h"
#include "store/email_folder.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

using store::EmailAccount;
using store::EmailFolder;

struct FolderOptions {
  std::string account;
  std::string folder;
  std::string name;
  bool yes = false;
};

const EmailAccount& account_named(AccountBook& book, const std::string& name) {
  return name.empty() ? book.defaultAccount() : book.find(name);
}

// A folder name as the user typed it: trimmed, not empty, without line breaks.
std::string folder_name(const std::string& typed) {
  const std::string name = text::trim(typed);
  if (name.empty() || name.find_first_of("\r\n") != std::string::npos)
    throw Error(localized("folder.name.invalid"));
  return name;
}

bool is_inbox(const EmailFolder& folder) {
  return folder.type == store::EmailFolderType::inbox || text::equals_ci(folder.path, "INBOX");
}

// A server account's folders as the server now lists them.
void refresh_folders(AccountBook& book, const EmailAccount& account,
                     const std::optional<std::string>& password) {
  auto& service = mail::EmailService::shared();
  mail::EmailSyncFlow(book.store(), service).syncFolders(account, password);
}

void create_folder(const FolderOptions& o) {
  AccountBook book;
  const EmailAccount account = account_named(book, o.account);
  const std::string name = folder_name(o.name);
  for (const auto& existing : folders_of(book, account))
    if (existing.path == name || text::equals_ci(existing.name, name))
      throw Error(localized_format("folder.exists", name, account.emailAddress));
  if (account.isLocalOnly()) {
    book.store().saveFolder(EmailFolder::make({.id = new_uuid(),
                                               .accountId = account.id,
                                               .name = name,
                                               .type = mail::classify_folder(name),
                                               .path = name}));
  } else {
    auto& service = mail::EmailService::shared();
    const auto password = service.storedPassword(account);
    service.createFolder(account, password, name);
    refresh_folders(book, account, password);
  }
  std::cout << localized_format("folder.created", name, account.emailAddress) << "\n";
}

// The stored folder `folder` and those below it (a path continuing after one separator
// character) take `to` in place of its path; ids stay, so their messages stay with them.
void rename_rows(store::EmailStore& store, const std::vector<EmailFolder>& folders,
                 const EmailFolder& folder, const std::string& to) {
  std::vector<EmailFolder> changed;
  for (EmailFolder f : folders) {
    if (f.id == folder.id) {
      f.path = to;
      f.name = to;
    } else if (f.path.size() > folder.path.size() + 1 && f.path.starts_with(folder.path) &&
               !std::isalnum(static_cast<unsigned char>(f.path[folder.path.size()]))) {
      const std::string rest = f.path.substr(folder.path.size());
      if (f.name == f.path) f.name = to + rest;
      f.path = to + rest;
    } else {
      continue;
    }
    changed.push_back(std::move(f));
  }
  store.saveFolders(changed);
}

void rename_folder(const FolderOptions& o) {
  AccountBook book;
  const EmailAccount account = account_named(book, o.account);
  const auto folders = folders_of(book, account);
  const EmailFolder folder = find_folder(folders, o.folder, account);
  const std::string to = folder_name(o.name);
  if (is_inbox(folder) || folder.isLocalPseudoFolder())
    throw Error(localized_format("folder.rename.refused", folder.name));
  for (const auto& existing : folders)
    if (existing.id != folder.id && (existing.path == to || text::equals_ci(existing.name, to)))
      throw Error(localized_format("folder.exists", to, account.emailAddress));
  if (!account.isLocalOnly()) {
    auto& service = mail::EmailService::shared();
    service.renameFolder(account, service.storedPassword(account), folder.path, to);
  }
  rename_rows(book.store(), folders, folder, to);
  std::cout << localized_format("folder.renamed", folder.name, to) << "\n";
}

int64_t message_count(store::EmailDatabase& database, const std::string& folderId) {
  return database.read([&](store::Connection& c) {
    auto s = c.prepare("SELECT COUNT(*) FROM email_messages WHERE folder_id = ?");
    s.bind_all(folderId);
    s.step();
    return s.integer(0).value_or(0);
  });
}

void delete_folder(const FolderOptions& o) {
  AccountBook book;
  const EmailAccount account = account_named(book, o.account);
  const EmailFolder folder = find_folder(folders_of(book, account), o.folder, account);
  if (is_inbox(folder)) throw Error(localized("folder.delete.inbox"));
  const int64_t count = message_count(book.store().database(), folder.id);
  if (count > 0)
    confirm_or_stop(localized_format("folder.delete.confirm", folder.name, count), o.yes);
  if (!account.isLocalOnly() && !folder.isLocalPseudoFolder()) {
    auto& service = mail::EmailService::shared();
    service.deleteFolder(account, service.storedPassword(account), folder.path);
  }
  // The folder's messages go with it, here as on the server.
  book.store().database().write([&](store::Connection& c) {
    c.prepare("DELETE FROM email_messages WHERE folder_id = ?").bind_all(folder.id).run();
    book.store().deleteFolder(folder.id);
  });
  std::cout << localized_format("folder.deleted", folder.name) << "\n";
}

}  // namespace

void add_folder_commands(CLI::App& root) {
  auto* folder = root.add_subcommand(
      "folder", "Create, rename and delete folders (on the server, or here for local accounts)");
  folder->require_subcommand(1);
  auto add_account_option = [](CLI::App* command, FolderOptions& o) {
    command->add_option("--account", o.account,
                        "Account id, address or name (default: the default account)");
  };
  {
    auto o = std::make_shared<FolderOptions>();
    auto* command = folder->add_subcommand("create", "Create a folder");
    command->add_option("NAME", o->name, "Folder name (a path such as Archive/2024 nests it)")
        ->required();
    add_account_option(command, *o);
    command->callback([o] { create_folder(*o); });
  }
  {
    auto o = std::make_shared<FolderOptions>();
    auto* command = folder->add_subcommand("rename", "Rename a folder (its messages stay in it)");
    command->add_option("FOLDER", o->folder, "Folder id, path or name")->required();
    command->add_option("NEW_NAME", o->name, "The new name (full path)")->required();
    add_account_option(command, *o);
    command->callback([o] { rename_folder(*o); });
  }
  {
    auto o = std::make_shared<FolderOptions>();
    auto* command =
        folder->add_subcommand("delete", "Delete a folder and its messages (never the inbox)");
    command->add_option("FOLDER", o->folder, "Folder id, path or name")->required();
    add_account_option(command, *o);
    command->add_flag("-y,--yes", o->yes,
                      "Delete a folder that holds messages without asking (needed when not on a "
                      "terminal)");
    command->callback([o] { delete_folder(*o); });
  }
}

}  // namespace kestrova::app
