// `kestrova send`, `reply` and `forward`: compose a message (body from an option, a file,
// standard input or the user's editor), put the account's signature above any quote, hold
// it for undo on a terminal or schedule it, then send it with its sent copy.

#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "app/cli/terminal_output.h"
#include "app/cli/text_editor.h"
#include "app/cli/undo_countdown.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/service/email_scheduled_send_service.h"
#include "app/core/writing/email_signature_service.h"
#include "app/core/service/mail_service_runner.h"
#include "app/core/mailbox/message_context.h"
#include "app/core/writing/message_composition.h"
#include "app/core/writing/message_sender.h"
#include "app/core/writing/reply_composer.h"
#include "app/core/user_preferences.h"
#include "platform/content_type.h"
#include "platform/launch_environment.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/file.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

enum class Kind { send, reply, forward };

struct ComposeOptions {
  Kind kind = Kind::send;
  std::string messageId;  // reply and forward
  bool replyAll = false;
  std::string account;
  std::vector<std::string> to, cc, bcc;
  std::string subject;
  std::string body;
  std::string bodyFile;
  std::string htmlFile;
  std::vector<std::string> attachments;
  bool readReceipt = false;
  std::string signature;
  bool noSignature = false;
  bool now = false;
  std::string at;
  bool yes = false;  // a past --at sends at once without asking
  CLI::Option *bodyOption = nullptr, *bodyFileOption = nullptr, *subjectOption = nullptr;
};

// A file the user named, read whole before anything goes over the network.
std::string file_content(const std::filesystem::path& path) {
  auto content = read_file(path);
  if (!content) throw Error(localized_format("cli.file.unreadable", path.string()));
  return std::move(*content);
}

// "-" is standard input, as for most Unix tools.
std::string read_body_file(const std::string& file) {
  if (file != "-") return file_content(file);
  return std::string((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
}

// Blank entries (a trailing comma, an empty argument) are not recipients.
std::vector<std::string> addresses(const std::vector<std::string>& given) {
  std::vector<std::string> result;
  for (const auto& entry : given)
    if (auto address = text::trim(entry); !address.empty()) result.push_back(std::move(address));
  return result;
}

struct Loaded {
  AccountBook book;
  store::EmailAccount account;
  std::unique_ptr<MessageContext> original;
};

ComposedMessage compose(ComposeOptions& o, Loaded& l) {
  ComposedMessage m;
  if (o.kind == Kind::send) {
    l.account = o.account.empty() ? l.book.defaultAccount() : l.book.find(o.account);
  } else {
    l.original = context_for(o.messageId);
    l.account = l.original->account;
    m = compose_answer(*l.original, o.kind == Kind::forward ? AnswerKind::forward
                                    : o.replyAll            ? AnswerKind::replyAll
                                                            : AnswerKind::reply);
  }
  for (const auto& entry : addresses(o.to)) m.to.push_back(entry);
  for (const auto& entry : addresses(o.cc)) m.cc.push_back(entry);
  for (const auto& entry : addresses(o.bcc)) m.bcc.push_back(entry);
  if (o.subjectOption->count()) m.subject = o.subject;
  // Recipients are checked before the user writes anything or a file is read.
  validate_recipients(m);

  const std::string quote = m.body;
  if (o.bodyOption->count()) {
    m.body = o.body + quote;
  } else if (o.bodyFileOption->count()) {
    m.body = read_body_file(o.bodyFile) + quote;
  } else if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
    auto edited = edit_text("\n" + quote);
    if (!edited) throw Error(localized("cli.send.body_empty"));
    m.body = *edited;
  } else {
    throw Error(localized("cli.send.body_needed"));
  }
  if (!o.htmlFile.empty()) m.htmlBody = file_content(o.htmlFile);
  for (const auto& file : o.attachments) {
    const std::filesystem::path path(file);
    std::string data = file_content(path);
    const std::string name = path.filename().string();
    std::string type = platform::guess_mime_type(name, data);
    m.attachments.push_back({std::move(data), name, std::move(type)});
  }
  m.readReceipt = o.readReceipt;
  return m;
}

void sign(const ComposeOptions& o, Loaded& l, ComposedMessage& m) {
  if (o.noSignature) return;
  EmailSignatureService signatures(store::EmailDatabase::shared());
  std::optional<store::EmailSignature> chosen;
  if (!o.signature.empty()) {
    for (const auto& s : signatures.signatures(l.account.id))
      if (text::equals_ci(s.name, o.signature) || parse_uuid(o.signature) == s.id) chosen = s;
    if (!chosen) throw Error(localized_format("cli.signature.not_found", o.signature));
  } else {
    chosen = default_signature(store::EmailDatabase::shared(), UserPreferences::shared(),
                               l.account.id, o.kind == Kind::reply);
  }
  if (chosen) sign_message(store::EmailDatabase::shared(), *chosen, l.account, m);
}

void print_outcome(const store::EmailAccount& account, const SendOutcome& outcome) {
  std::cout << localized_format("cli.send.sent", account.emailAddress) << "\n";
  std::cout << "Message-ID: " << outcome.messageId << "\n";
  switch (outcome.sentCopy) {
    case SendOutcome::SentCopy::appended:
      break;
    case SendOutcome::SentCopy::byProvider:
      std::cout << localized("cli.send.sent_copy_by_provider") << "\n";
      break;
    case SendOutcome::SentCopy::failed:
      std::cerr << localized_format("cli.send.sent_copy_failed", outcome.sentCopyProblem) << "\n";
      break;
  }
}

void run(ComposeOptions& o) {
  std::optional<double> at;
  if (!o.at.empty()) {
    const double now = now_seconds();
    at = parse_send_time(o.at, now);
    if (!at) throw Error(localized_format("cli.send.bad_time", o.at));
    // A time already past sends at once: asked on a terminal, --yes elsewhere.
    if (*at <= now) confirm_or_stop(localized_format("cli.send.past_time", o.at), o.yes);
  }
  Loaded l;
  ComposedMessage m = compose(o, l);
  sign(o, l, m);

  if (at) {
    const auto row =
        EmailScheduledSendService::schedule(store::EmailDatabase::shared(), l.account.id, m, *at);
    std::cout << localized_format("cli.send.scheduled", row.id, local_date_text(*at)) << "\n";
    if (read_service_status().pid)
      std::cout << localized("cli.send.service_running") << "\n";
    else
      std::cout << localized("cli.send.service_stopped") << "\n";
    return;
  }

  auto& preferences = UserPreferences::shared();
  if (!o.now && preferences.get(settings::undoSendEnabled) && can_hold_for_undo()) {
    const int64_t delay = preferences.get(settings::undoSendDelaySeconds);
    if (delay > 0 && hold_for_undo(delay) == HoldOutcome::undone) {
      const std::string draft = save_composed_as_draft(l.account, m, l.book.store());
      std::cout << localized_format("cli.send.undone", draft) << "\n";
      return;
    }
  }
  print_outcome(l.account, send_composed(l.account, m, l.book.store()));
}

void add_common_options(CLI::App* command, const std::shared_ptr<ComposeOptions>& o) {
  command->add_option("--to", o->to, "Recipients (repeat, or separate with commas)")
      ->delimiter(',');
  command->add_option("--cc", o->cc, "Copy recipients")->delimiter(',');
  command->add_option("--bcc", o->bcc, "Blind copy recipients (named nowhere in the message)")
      ->delimiter(',');
  o->bodyOption =
      command->add_option("--body", o->body, "Plain-text body (above the quote of a reply)");
  o->bodyFileOption = command->add_option("--body-file", o->bodyFile,
                                          "File holding the body (- for standard input)");
  o->bodyOption->excludes(o->bodyFileOption);
  command->add_option("--html-file", o->htmlFile, "File holding an HTML alternative of the body");
  command->add_option("--attach", o->attachments, "Files to attach (repeat for several)");
  command->add_flag("--read-receipt", o->readReceipt, "Ask for a read receipt");
  auto* signature = command->add_option("--signature", o->signature,
                                        "Signature to use (name), instead of the default");
  command->add_flag("--no-signature", o->noSignature, "Send without a signature")
      ->excludes(signature);
  auto* now = command->add_flag("--now", o->now, "Send at once, without the undo countdown");
  command
      ->add_option("--at", o->at, "Send later: \"2026-12-08 09:00\", ISO-8601, or +2h / +30m / +1d")
      ->excludes(now);
  command->add_flag("-y,--yes", o->yes, "Do not ask when the --at time has passed (send at once)");
  command->callback([o] { run(*o); });
}

}  // namespace

void add_send_command(CLI::App& root) {
  auto o = std::make_shared<ComposeOptions>();
  auto* send = root.add_subcommand("send", "Send one message through an account's SMTP server");
  send->add_option("--account", o->account, "Account id or address (default: the default account)");
  o->subjectOption = send->add_option("--subject", o->subject, "Subject")->required();
  add_common_options(send, o);

  auto r = std::make_shared<ComposeOptions>();
  r->kind = Kind::reply;
  auto* reply = root.add_subcommand("reply", "Answer a stored message, quoted and threaded");
  reply->add_option("id", r->messageId, "Message id")->required();
  reply->add_flag("--all", r->replyAll, "Answer every recipient, not only the sender");
  r->subjectOption =
      reply->add_option("--subject", r->subject, "Subject (default: Re: and the original's)");
  add_common_options(reply, r);

  auto f = std::make_shared<ComposeOptions>();
  f->kind = Kind::forward;
  auto* forward = root.add_subcommand("forward", "Forward a stored message with its attachments");
  forward->add_option("id", f->messageId, "Message id")->required();
  f->subjectOption =
      forward->add_option("--subject", f->subject, "Subject (default: Fwd: and the original's)");
  add_common_options(forward, f);
}

}  // namespace kestrova::app
