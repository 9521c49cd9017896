// `kestrova draft list|show|edit|send|delete`: the drafts of the user's accounts, whether the
// agent, an undone send or another client wrote them. Edits and deletions reach the server
// copy (in the account's drafts folder) right away when the server answers, else through
// the service.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "app/cli/terminal_output.h"
#include "app/cli/text_editor.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/writing/draft_upload.h"
#include "app/core/mailbox/folder_lookup.h"
#include "app/core/mailbox/id_prefix.h"
#include "app/core/writing/message_sender.h"
#include "app/core/writing/reply_composer.h"
#include "mail/email_service.h"
#include "mail/mail_address.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/terminal_text.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::app {

namespace {

using store::EmailMessage;

EmailMessage find_draft(AccountBook& book, const std::string& id) {
  const EmailMessage message = find_message(book.store(), id);
  auto draft = book.store().loadDraft(message.id);
  if (!draft) throw Error(localized_format("draft.not_draft", id));
  return *draft;
}

std::string joined(const std::vector<store::EmailContact>& contacts) {
  std::string out;
  for (const auto& contact : contacts)
    if (auto text = recipient_text(contact)) out += (out.empty() ? "" : ", ") + *text;
  return out;
}

std::vector<std::string> entries_of(const std::vector<store::EmailContact>& contacts) {
  std::vector<std::string> out;
  for (const auto& contact : contacts)
    if (auto text = recipient_text(contact)) out.push_back(std::move(*text));
  return out;
}

// The draft's server copy is brought up to date now; when that fails the mark stays and the
// service retries.
void sync_server_copy(const std::string& draftId) {
  const auto pass =
      upload_marked_drafts(store::EmailDatabase::shared(), mail::EmailService::shared(), draftId);
  if (pass.failed) std::cerr << localized("draft.server.later") << "\n";
}

void list_drafts(const std::string& accountName) {
  AccountBook book;
  std::vector<store::EmailAccount> accounts;
  if (accountName.empty())
    accounts = book.accounts();
  else
    accounts.push_back(book.find(accountName));
  size_t shown = 0;
  for (const auto& account : accounts)
    for (const auto& draft : book.store().fetchDrafts(account.id)) {
      ++shown;
      std::cout << short_id(draft.id) << "  " << listing_date_text(draft.updatedAt) << "  "
                << account.emailAddress << "  " << joined(draft.to) << "  "
                << (draft.subject.empty() ? localized("email.no.subject")
                                          : terminal_safe(draft.subject))
                << "\n";
    }
  if (shown == 0) std::cout << localized("draft.none") << "\n";
}

// The draft as the editor shows it: header lines, an empty line, the body.
std::string editable_text(const EmailMessage& draft) {
  return "To: " + joined(draft.to) + "\nCc: " + joined(draft.cc) + "\nBcc: " + joined(draft.bcc) +
         "\nSubject: " + draft.subject + "\n\n" + draft.textBody.value_or("");
}

void show_draft(const std::string& id) {
  AccountBook book;
  std::cout << terminal_safe(editable_text(find_draft(book, id)), TextShape::block) << "\n";
}

// Recipients of one edited header line, each checked.
std::vector<store::EmailContact> parse_recipients_line(const std::string& value) {
  std::vector<std::string> entries;
  std::istringstream parts(value);
  for (std::string entry; std::getline(parts, entry, ',');)
    if (auto trimmed = text::trim(entry); !trimmed.empty()) {
      if (!mail::parse_mailbox(trimmed))
        throw Error(localized_format("draft.edit.bad_address", trimmed));
      entries.push_back(std::move(trimmed));
    }
  return contacts_of(entries);
}

// Reads the edited text back: the known header lines until the first empty line, then the body.
void apply_edit(EmailMessage& draft, const std::string& edited) {
  std::istringstream in(edited);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (text::trim(line).empty()) break;
    const auto colon = line.find(':');
    if (colon == std::string::npos) throw Error(localized_format("draft.edit.bad_line", line));
    const std::string field = text::lower(text::trim(line.substr(0, colon)));
    const std::string value = text::trim(line.substr(colon + 1));
    if (field == "to")
      draft.to = parse_recipients_line(value);
    else if (field == "cc")
      draft.cc = parse_recipients_line(value);
    else if (field == "bcc")
      draft.bcc = parse_recipients_line(value);
    else if (field == "subject")
      draft.subject = value;
    else
      throw Error(localized_format("draft.edit.bad_line", line));
  }
  draft.textBody = std::string(std::istreambuf_iterator<char>(in), {});
  // An HTML body written elsewhere no longer matches the edited text.
  draft.htmlBody.reset();
  draft.preview =
      text::prefix_characters(text::trim(*draft.textBody), EmailMessage::kPreviewLength);
  draft.updatedAt = now_seconds();
}

void edit_draft(const std::string& id) {
  AccountBook book;
  EmailMessage draft = find_draft(book, id);
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO))
    throw Error(localized("draft.edit.terminal"));
  const auto edited = edit_text(editable_text(draft));
  if (!edited) {
    std::cout << localized("draft.edit.unchanged") << "\n";
    return;
  }
  apply_edit(draft, *edited);
  book.store().database().write([&](store::Connection& c) {
    if (!book.store().saveDraft(draft)) throw Error(localized("draft.save_failed"));
    mark_draft_for_upload(c, draft.id);
  });
  std::cout << localized_format("draft.saved", short_id(draft.id)) << "\n";
  sync_server_copy(draft.id);
}

// Removes the draft here and its server copy.
void forget_draft(AccountBook& book, const std::string& draftId) {
  discard_draft(book.store(), draftId);
  sync_server_copy(draftId);
}

void send_draft(const std::string& id) {
  AccountBook book;
  const EmailMessage draft = find_draft(book, id);
  const store::EmailAccount account = book.find(draft.accountId);
  if (account.isLocalOnly())
    throw Error(localized_format("local_account.no_send", account.emailAddress));
  ComposedMessage m;
  m.to = entries_of(draft.to);
  m.cc = entries_of(draft.cc);
  m.bcc = entries_of(draft.bcc);
  m.subject = draft.subject;
  m.body = draft.textBody.value_or("");
  if (draft.htmlBody && !draft.htmlBody->empty()) m.htmlBody = draft.htmlBody;
  m.inReplyTo = draft.inReplyTo;
  const SendOutcome outcome = send_composed(account, m, book.store());
  std::cout << localized_format("cli.send.sent", account.emailAddress)
            << "\nMessage-ID: " << outcome.messageId << "\n";
  if (outcome.sentCopy == SendOutcome::SentCopy::failed)
    std::cerr << localized_format("cli.send.sent_copy_failed", outcome.sentCopyProblem) << "\n";
  forget_draft(book, draft.id);
}

void delete_draft(const std::string& id, bool yes) {
  AccountBook book;
  const EmailMessage draft = find_draft(book, id);
  confirm_or_stop(localized_format("draft.delete.confirm", draft.subject), yes);
  forget_draft(book, draft.id);
  std::cout << localized_format("draft.deleted", draft.subject) << "\n";
}

}  // namespace

void add_draft_commands(CLI::App& root) {
  auto* draft = root.add_subcommand(
      "draft", "Drafts: list, show, edit in $EDITOR, send or delete (the server copy follows)");
  draft->require_subcommand(1);
  {
    auto account = std::make_shared<std::string>();
    auto* command = draft->add_subcommand("list", "Drafts, most recently changed first");
    command->add_option("--account", *account, "Only this account (id, address or name)");
    command->callback([account] { list_drafts(*account); });
  }
  auto one = [&](const std::string& name, const std::string& description,
                 void (*action)(const std::string&)) {
    auto id = std::make_shared<std::string>();
    auto* command = draft->add_subcommand(name, description);
    command->add_option("ID", *id, "Draft id (a unique prefix works)")->required();
    command->callback([id, action] { action(*id); });
  };
  one("show", "Print a draft's recipients, subject and text", show_draft);
  one("edit", "Edit a draft in $VISUAL or $EDITOR", edit_draft);
  one("send", "Send a draft through the account's server, then delete it", send_draft);
  {
    auto id = std::make_shared<std::string>();
    auto yes = std::make_shared<bool>(false);
    auto* command = draft->add_subcommand("delete", "Delete a draft here and on the server");
    command->add_option("ID", *id, "Draft id (a unique prefix works)")->required();
    command->add_flag("-y,--yes", *yes, "Do not ask (needed when not on a terminal)");
    command->callback([id, yes] { delete_draft(*id, *yes); });
  }
}

}  // namespace kestrova::app
