// `kestrova import`: messages of a Maildir directory or an mbox file stored in one folder of
// an account, so that a local archive becomes searchable here. Nothing goes over the
// network; messages the account already has are left as they are.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "app/core/mailbox/account_book.h"
#include "mail/email_service.h"
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
  bool upload = false;
};

// The archive again, from the start (for the upload after the local import).
std::function<std::optional<mail::ArchivedMessage>()> archive_source(const ImportOptions& o) {
  if (!o.maildir.empty()) {
    auto reader = std::make_shared<mail::MaildirReader>(o.maildir);
    return [reader] { return reader->next(); };
  }
  auto reader = std::make_shared<mail::MboxReader>(o.mbox);
  return [reader] { return reader->next(); };
}

// The Message-ID header of raw message bytes, or nothing.
std::optional<std::string> raw_message_id(const std::string& raw) {
  mail::ArchivedMessage archived;
  archived.raw = raw;
  const auto record = mail::message_from_archive(archived, {}, {}, 0);
  if (!record.messageId || text::trim(*record.messageId).empty()) return std::nullopt;
  return text::trim(*record.messageId);
}

// RFC 3501 §6.3.11: an appended message has CR LF line ends; archives often keep bare LF.
std::string with_crlf(const std::string& raw) {
  std::string out;
  out.reserve(raw.size() + raw.size() / 32);
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '\n' && (i == 0 || raw[i - 1] != '\r')) out.push_back('\r');
    out.push_back(raw[i]);
  }
  return out;
}

// `import --upload`: every message of the archive is filed in the server folder (IMAP
// APPEND with its read, starred and answered flags) unless the folder already holds its
// Message-ID, so a repeated upload adds nothing. One session for the whole archive.
void upload_archive(const ImportOptions& o, const store::EmailAccount& account,
                    const store::EmailFolder& folder) {
  auto& service = mail::EmailService::shared();
  auto session = service.openIMAPSession(account, service.storedPassword(account));
  mail::LibEtPanError error;
  if (!session->selectFolder(folder.path, &error))
    throw mail::EmailServiceError::networkError(error);
  const bool terminal = isatty(STDERR_FILENO) == 1;
  size_t uploaded = 0, present = 0, failed = 0;
  auto next = archive_source(o);
  while (true) {
    std::optional<mail::ArchivedMessage> archived;
    try {
      archived = next();
    } catch (const Error&) {
      ++failed;  // already reported by the local import
      continue;
    }
    if (!archived) break;
    if (archived->wasTruncated) {
      ++failed;  // too large to hold whole; reported by the local import
      continue;
    }
    if (const auto id = raw_message_id(archived->raw)) {
      auto found = session->searchUIDsWithMessageId(*id, &error);
      if (!found) throw mail::EmailServiceError::networkError(error);
      if (!found->empty()) {
        ++present;
        continue;
      }
    }
    std::vector<std::string> flags;
    if (archived->isRead) flags.emplace_back("\\Seen");
    if (archived->isStarred) flags.emplace_back("\\Flagged");
    if (archived->hasBeenReplied) flags.emplace_back("\\Answered");
    if (session->appendMessage(folder.path, with_crlf(archived->raw), flags, &error)) {
      ++uploaded;
    } else {
      ++failed;
      std::cerr << localized_format("import.upload.failed", archived->origin,
                                    error.localizedDescription)
                << "\n";
    }
    if (terminal)
      std::cerr << "\r" << localized_format("import.upload.progress", uploaded, present)
                << std::flush;
  }
  session->disconnect();
  if (terminal) std::cerr << "\r\033[K" << std::flush;
  std::cout << localized_format("import.upload.done", folder.name, uploaded, present, failed)
            << "\n";
}

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
  if (o.upload && (account.isLocalOnly()))
    throw Error(localized_format("local_account.no_sync", account.emailAddress));
  const store::EmailFolder folder = resolve_folder(book.store(), account, o.folder);
  if (o.upload && folder.isLocalPseudoFolder())
    throw Error(localized("import.upload.local_folder"));

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
  if (o.upload)
    upload_archive(o, account, folder);
  else if (!account.isLocalOnly() && !folder.isLocalPseudoFolder())
    std::cout << localized("import.stays_local") << "\n";
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
  command->add_flag("--upload", o->upload,
                    "Also file the messages in the server folder (IMAP APPEND); without it they "
                    "stay on this computer");
  command->callback([o, maildir, mbox] {
    if (!maildir->count() && !mbox->count()) throw Error(localized("cli.import.source_needed"));
    run_import(*o);
  });
}

}  // namespace kestrova::app
