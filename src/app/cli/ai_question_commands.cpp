// `kestrova ai ask` and `kestrova ai analyze`: questions about a message, a conversation, a
// folder or an account, streamed to the terminal (with an optional short conversation kept
// in the state directory), and the background analysis of stored messages on demand.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "ai/ai_service_error.h"
#include "ai/email_ai_background_service.h"
#include "ai/email_qa_service.h"
#include "app/cli/command_line.h"
#include "app/core/ai_mail_services.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/folder_lookup.h"
#include "app/core/mailbox/message_context.h"
#include "app/core/message_ai_tasks.h"
#include "app/core/user_preferences.h"
#include "platform/paths.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/terminal_text.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

using ai::EmailQAMessage;
using ai::EmailQAScope;

// A continued conversation keeps its last turns only, each cut to a bounded length, so the
// history file and the requests built from it stay small.
constexpr size_t kHistoryMessages = 20;
constexpr size_t kHistoryEntryCharacters = 8000;

// ---- ai ask ----

struct AskOptions {
  std::string messageId, threadId, folder, account, question;
  bool continueConversation = false, verbose = false;
};

QuestionScope choose_scope(const AskOptions& o) {
  if (!o.messageId.empty()) return message_question_scope(o.messageId, false);
  if (!o.threadId.empty()) return message_question_scope(o.threadId, true);
  AccountBook book;
  const store::EmailAccount account =
      o.account.empty() ? book.defaultAccount() : book.find(o.account);
  if (o.folder.empty()) return account_question_scope(book, account);
  const auto folders = folders_of(book, account);
  return folder_question_scope(book, account, find_folder(folders, o.folder, account));
}

std::filesystem::path history_path() { return platform::state_home() / "kestrova" / "ai-ask.json"; }

std::vector<EmailQAMessage> load_history(const std::string& scopeKey) {
  std::ifstream in(history_path());
  const Json saved = Json::parse(in, nullptr, false);
  std::vector<EmailQAMessage> history;
  if (!saved.is_object() || !saved.contains("turns") || !saved["turns"].is_array()) return history;
  if (saved.value("scope", "") != scopeKey) {
    std::cerr << localized("ai.ask.other_scope") << "\n";
    return history;
  }
  for (const auto& turn : saved["turns"]) {
    if (!turn.is_object() || !turn.contains("content") || !turn["content"].is_string()) continue;
    history.push_back({turn.value("id", new_uuid()),
                       turn.value("role", "") == "assistant" ? EmailQAMessage::Role::assistant
                                                             : EmailQAMessage::Role::user,
                       turn["content"].get<std::string>()});
  }
  return history;
}

void save_history(const std::string& scopeKey, std::vector<EmailQAMessage> history) {
  if (history.size() > kHistoryMessages)
    history.erase(history.begin(), history.end() - kHistoryMessages);
  Json turns = Json::array();
  for (const auto& turn : history)
    turns.push_back({{"id", turn.id},
                     {"role", ai::raw_value(turn.role)},
                     {"content", text::prefix_characters(turn.content, kHistoryEntryCharacters)}});
  platform::write_private_file(
      history_path(), Json{{"scope", scopeKey}, {"turns", std::move(turns)}}.dump() + "\n");
}

void ask(const AskOptions& o) {
  if (o.verbose) use_command_log(true);
  if (o.messageId.empty() && o.threadId.empty() && o.folder.empty() && o.account.empty())
    throw Error(localized("ai.ask.no_scope"));
  const auto settings = qa_settings(UserPreferences::shared());
  if (settings.superPrivacyMode) {  // before the scope is looked up and bodies downloaded
    std::cerr << ai::EmailQAError::privacyModeBlocked().what() << "\n";
    throw CommandFailure{1};
  }
  if (auto issue = ai_configuration().configurationIssue(ai::AIScenario::emailAnalysis)) {
    std::cerr << ai::EmailQAError::configMissing(*issue).what() << "\n";
    throw CommandFailure{1};
  }
  const QuestionScope choice = choose_scope(o);
  std::vector<EmailQAMessage> history;
  if (o.continueConversation) history = load_history(choice.key);

  const ai::EmailQAService service(ai_configuration());
  try {
    const EmailQAMessage answer =
        service.ask(o.question, choice.scope, history, settings, [](std::string_view delta) {
          std::cout << terminal_safe(delta, TextShape::block) << std::flush;
        });
    std::cout << "\n";
    history.push_back({new_uuid(), EmailQAMessage::Role::user, o.question});
    history.push_back(answer);
    save_history(choice.key, std::move(history));
  } catch (const ai::EmailQAError& error) {
    std::cerr << terminal_safe(error.what(), TextShape::block) << "\n";
    throw CommandFailure{1};
  } catch (const ai::AIServiceError& error) {
    std::cout << std::flush;
    std::cerr << "\n"
              << terminal_safe(
                     ai_configuration().userFacingAIErrorMessage(localized("ai.ask.action"), error,
                                                                 ai::AIScenario::emailAnalysis),
                     TextShape::block)
              << "\n";
    throw CommandFailure{1};
  }
}

// ---- ai analyze ----

struct AnalyzeOptions {
  std::string account;
  int64_t limit = 200;
  bool verbose = false;
};

void analyze(const AnalyzeOptions& o) {
  if (o.verbose) use_command_log(true);
  const UserPreferences& preferences = UserPreferences::shared();
  // Asked for explicitly, so the automatic-analysis switch does not apply; the privacy
  // switches do.
  if (preferences.get(settings::emailSuperPrivacyMode))
    throw Error(localized("ai.analyze.super_privacy"));
  if (auto issue = ai_configuration().configurationIssue(ai::AIScenario::emailAnalysis))
    throw Error(*issue);

  AccountBook book;
  std::string sql =
      "SELECT * FROM email_messages WHERE ai_priority IS NULL AND is_spam = 0 AND is_deleted = 0 "
      "AND is_draft = 0";
  std::vector<std::string> values;
  if (!o.account.empty()) {
    sql += " AND account_id = ?";
    values.push_back(book.find(o.account).id);
  }
  sql += " ORDER BY date DESC LIMIT " + std::to_string(o.limit);
  const auto messages = read_messages(book.store().database(), sql, values);

  auto environment = background_analysis_environment(book.store(), preferences);
  environment.admitsWork = {};
  std::atomic<size_t> done = 0, written = 0, failed = 0, total = 0;
  const bool terminal = isatty(STDERR_FILENO) != 0;
  environment.finished = [&](const store::EmailMessage&,
                             ai::EmailAIBackgroundService::Outcome outcome) {
    using Outcome = ai::EmailAIBackgroundService::Outcome;
    if (outcome == Outcome::written) ++written;
    if (outcome == Outcome::failed) ++failed;
    const size_t n = ++done;
    const std::string line = localized_format("ai.analyze.progress", n, total.load());
    if (terminal)
      std::cerr << "\r" << line << std::flush;
    else if (n % 10 == 0 || n == total)
      std::cerr << line << "\n";
  };
  ai::EmailAIBackgroundService service(std::move(environment));
  service.start();
  total = service.enqueue(messages);
  if (total == 0) {
    std::cout << localized("ai.analyze.none") << "\n";
    return;
  }
  service.waitUntilIdle();
  if (terminal) std::cerr << "\n";
  std::cout << localized_format("ai.analyze.done", written.load(), failed.load()) << "\n";
  if (failed > 0) throw CommandFailure{1};
}

}  // namespace

void add_ai_question_commands(CLI::App& aiCommand) {
  {
    auto o = std::make_shared<AskOptions>();
    auto* command = aiCommand.add_subcommand(
        "ask", "Ask about a message, a conversation, a folder or an account; the answer streams");
    command->add_option("QUESTION", o->question, "The question")->required();
    auto* message = command->add_option("--message", o->messageId, "Message id (or prefix)");
    auto* thread =
        command->add_option("--thread", o->threadId, "Id of any message of the conversation");
    auto* folder = command->add_option(
        "--folder", o->folder, "Folder name or path (of --account, else the default account)");
    command->add_option("--account", o->account, "Account id or address");
    message->excludes(thread, folder);
    thread->excludes(folder);
    command->add_flag("--continue", o->continueConversation,
                      "Continue the previous conversation about the same scope");
    command->add_flag("-v,--verbose", o->verbose, "Print the diagnostic log on standard error");
    command->callback([o] { ask(*o); });
  }
  {
    auto o = std::make_shared<AnalyzeOptions>();
    auto* command = aiCommand.add_subcommand(
        "analyze", "Give stored messages without an AI priority their AI tags and priority");
    command->add_option("--account", o->account, "Only this account (id or address)");
    command->add_option("--limit", o->limit, "At most this many messages, newest first")
        ->check(CLI::Range(int64_t{1}, int64_t{100000}));
    command->add_flag("-v,--verbose", o->verbose, "Print the diagnostic log on standard error");
    command->callback([o] { analyze(*o); });
  }
}

}  // namespace kestrova::app
