// `kestrova import`: messages of a Maildir directory or an mbox file stored in one folder of
// an account, so that a local archive becomes searchable here. Nothing goes over the
// network; messages the account already has are left as they are.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "app/cli/command_line.h"
#include "app/core/account_book.h"
#include "mail/mail_import.h"
#include "store/contact_store.h"
#include "store/email_folder.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

struct ImportOptions {
  std::string maildir;
  std::string mbox;
  std::string account;
  std::string folder;
};

// The account's folder named by id, else by server path, else by name (exact, then
// ignoring case). No folder is created: a mistyped name would otherwise quietly make a new
// one, so the error lists the folders there are.
store::EmailFolder resolve_folder(store::EmailStore& store, const store::EmailAccount& account,
                                  const std::string& wanted) {
  store.loadFolders();
  const auto& folders = store.foldersOf(account.id);
  const auto wanted_id = parse_uuid(wanted);
  for (const auto& f : folders)
    if (wanted_id && f.id == *wanted_id) return f;
  for (const auto& f : folders)
    if (f.path == wanted) return f;
  for (const auto& f : folders)
    if (f.name == wanted) return f;
  for (const auto& f : folders)
    if (text::equals_ci(f.name, wanted) || text::equals_ci(f.path, wanted)) return f;
  if (folders.empty()) throw Error(localized_format("cli.import.no_folders", account.emailAddress));
  std::string names;
  for (const auto& f : folders) {
    if (!names.empty()) names += ", ";
    names += f.path == f.name ? f.name : f.name + " (" + f.path + ")";
  }
  throw Error(localized_format("cli.import.no_such_folder", account.emailAddress, wanted, names));
}

std::string counts_text(const mail::ImportCounts& c) {
  return localized_format("cli.import.counts", c.imported, c.skipped, c.failed);
}

void run_import(const ImportOptions& o) {
  // Open the archive first: a missing file is reported before the database is touched.
  std::unique_ptr<mail::MaildirReader> maildir;
  std::unique_ptr<mail::MboxReader> mbox;
  if (!o.maildir.empty())
    maildir = std::make_unique<mail::MaildirReader>(o.maildir);
  else
    mbox = std::make_unique<mail::MboxReader>(o.mbox);

  AccountBook book;
  const store::EmailAccount account = book.find(o.account);
  const store::EmailFolder folder = resolve_folder(book.store(), account, o.folder);

  const bool terminal = isatty(STDERR_FILENO) == 1;
  bool progress_shown = false;
  auto last_shown = std::chrono::steady_clock::time_point{};
  auto progress = [&](const mail::ImportCounts& c) {
    if (!terminal) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_shown < std::chrono::milliseconds(100)) return;
    last_shown = now;
    std::cerr << "\r" << localized_format("cli.import.progress", c.seen(), counts_text(c))
              << std::flush;
    progress_shown = true;
  };
  auto failure = [&](const std::string& what) {
    if (progress_shown) std::cerr << "\r\033[K";
    std::cerr << localized_format("cli.import.failed", what) << "\n";
  };

  mail::MailImporter importer(book.store(), account.id, folder.id);
  mail::MailImporter::Source source;
  if (maildir)
    source = [&] { return maildir->next(); };
  else
    source = [&] { return mbox->next(); };
  const auto counts = importer.run(source, progress, failure);
  // The senders of the imported mail join the address book.
  store::ContactStore(book.store().database()).import_from_stored_mail();
  if (progress_shown) std::cerr << "\r\033[K" << std::flush;
  std::cout << localized_format("cli.import.done", account.emailAddress, folder.name,
                                counts_text(counts))
            << "\n";
}

}  // namespace

void add_import_command(CLI::App& root) {
  auto* command = root.add_subcommand(
      "import", "Store the messages of a Maildir or an mbox file in a folder of an account");
  auto o = std::make_shared<ImportOptions>();
  auto* maildir =
      command->add_option("--maildir", o->maildir, "Maildir directory (cur/ and new/ are read)");
  auto* mbox = command->add_option("--mbox", o->mbox, "mbox file (mboxrd or mboxo)");
  maildir->excludes(mbox);
  command->add_option("--account", o->account, "Account id, address or name")->required();
  command->add_option("--folder", o->folder, "Folder of the account: id, path or name")->required();
  command->callback([o, maildir, mbox] {
    if (!maildir->count() && !mbox->count()) throw Error(localized("cli.import.source_needed"));
    run_import(*o);
  });
}

}  // namespace kestrova::app
