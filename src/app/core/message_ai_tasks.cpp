#include "app/core/message_ai_tasks.h"

#include <set>

#include "ai/ai_configuration.h"
#include "ai/ai_service_error.h"
#include "app/core/mail_ai.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/message_context.h"
#include "app/core/user_preferences.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_action_store.h"
#include "store/email_store.h"
#include "util/json.h"
#include "util/localization.h"
#include "util/terminal_text.h"
#include "util/text.h"

namespace kestrova::app {

namespace {

using ai::AIScenario;
using ai::EmailAIService;
using ai::ResolvedAIProfile;
using Kind = MessageAIError::Kind;

// The latest messages of a conversation that a question about it includes.
constexpr size_t kThreadMessages = 20;

void ensure_allowed(const store::EmailAccount* account) {
  try {
    ensure_ai_may_read(UserPreferences::shared(), account);
  } catch (const Error& e) {
    throw MessageAIError(Kind::privacy, e.what());
  }
}

// The scenario's profile as the settings file has it now: a profile another process (or
// the settings screen) saved counts. Callable from any thread.
ResolvedAIProfile usable_target(AIScenario scenario) {
  ai_configuration();  // the one-time migration and default profiles of this process
  const ai::AIConfiguration latest(platform::SettingsStore::shared());
  if (auto issue = latest.configurationIssue(scenario))
    throw MessageAIError(Kind::configuration, *issue);
  return latest.resolveProfile(scenario);
}

// Runs `task` against `target`; a provider failure becomes the text that says what to do.
// `action` is the localisation key of the task's name.
template <class F>
auto asking(std::string_view action, const ResolvedAIProfile& target, F&& task) {
  try {
    return task();
  } catch (const ai::AIServiceError& error) {
    throw MessageAIError(
        Kind::provider,
        ai::AIConfiguration::userFacingAIErrorMessage(localized(action), error, target),
        brief_provider_failure(action, error, target));
  } catch (const ai::EmailAIError& error) {
    throw MessageAIError(Kind::empty, error.what());
  }
}

std::string non_blank(std::string answer) {
  if (text::trim(answer).empty())
    throw MessageAIError(Kind::empty, localized("ai.mail.error.empty_response"));
  return answer;
}

// The provider's own words in a refused request's body, short: the message of a JSON error
// ({"error": {"message": ...}}, {"error": "..."}, {"message": ...}), else a body of one short
// line. An error page, a long dump or anything else gives nothing.
std::string provider_words(const std::string& body) {
  constexpr size_t kShortLine = 200;
  std::string words;
  const Json json = Json::parse(body, nullptr, false);
  if (!json.is_discarded() && json.is_object()) {
    const Json* found = nullptr;
    if (auto e = json.find("error"); e != json.end())
      found = e->is_object() && e->contains("message") ? &(*e)["message"] : &*e;
    else if (auto m = json.find("message"); m != json.end())
      found = &*m;
    if (found && found->is_string()) words = found->get<std::string>();
  } else if (body.size() <= kShortLine && body.find('\n') == std::string::npos &&
             !text::trim(body).starts_with("<")) {
    words = body;
  }
  words = text::trim(words);
  if (words.empty()) return {};
  return terminal_safe(quoted_excerpt(words, kShortLine));
}

std::string listing_limit() {
  return " ORDER BY date DESC LIMIT " + std::to_string(ai::EmailQAService::kListingLimit);
}

}  // namespace

std::string brief_provider_failure(std::string_view action, const ai::AIServiceError& error,
                                   const ai::ResolvedAIProfile& target) {
  if (error.kind() != ai::AIServiceError::Kind::requestFailed)
    return ai::AIConfiguration::userFacingAIErrorMessage(localized(action), error, target);
  std::string description =
      text::trim(localized_format("ai.error.request_failed", static_cast<int64_t>(error.status()),
                                  provider_words(error.body())));
  if (description.ends_with(":")) description.pop_back();
  return ai::AIConfiguration::userFacingAIErrorMessage(localized(action), Error(description),
                                                       target);
}

void refresh_insight(MessageContext& c, MessageInsight insight) {
  ensure_allowed(&c.account);
  const auto target = usable_target(insight == MessageInsight::summary ? AIScenario::emailSummary
                                                                       : AIScenario::emailAnalysis);
  ensure_body_if_possible(c);
  auto& m = c.message;
  const EmailAIService service;
  switch (insight) {
    case MessageInsight::summary:
      m.aiSummary = asking("ai.action.summary", target,
                           [&] { return non_blank(service.generateSummary(m, target)); });
      break;
    case MessageInsight::tags:
      m.aiTags = asking("ai.action.tags", target, [&] { return service.generateTags(m, target); });
      break;
    case MessageInsight::priority:
      m.aiPriority =
          asking("ai.action.priority", target, [&] { return service.detectPriority(m, target); });
      break;
    case MessageInsight::actionItems:
      m.aiActionItems = asking("ai.action.actions", target,
                               [&] { return service.extractActionItems(m, target); });
      break;
  }
  c.book.store().updateMessage(m);
}

int save_action_items(MessageContext& c) {
  return add_action_items(c.book.store().database(), c.message.id, c.account.id,
                          c.message.aiActionItems);
}

int add_action_items(store::EmailDatabase& database, const std::string& messageId,
                     const std::string& accountId, const std::vector<std::string>& titles) {
  // Only added to: the service's store (or the window's view) wakes snoozed items.
  store::EmailActionStore store(database, {.clock = {}, .poster = {}, .withoutWakeTimer = true});
  int added = 0;
  for (const auto& title : titles) {
    store::EmailActionItem item;
    item.messageId = messageId;
    item.accountId = accountId;
    item.title = title;
    added += store.add(std::move(item)) ? 1 : 0;
  }
  return added;
}

std::vector<bool> action_items_kept(store::EmailDatabase& database, const std::string& messageId,
                                    const std::vector<std::string>& titles) {
  std::set<std::string> keys;
  database.read([&](store::Connection& c) {
    auto s = c.prepare("SELECT title_key FROM email_action_items WHERE message_id = ?");
    s.bind(1, messageId);
    while (s.step()) keys.insert(s.text(0).value_or(""));
  });
  std::vector<bool> kept;
  for (const auto& title : titles)
    kept.push_back(keys.contains(store::EmailActionItem::title_key(title)));
  return kept;
}

std::string polish_text(const std::string& body, ai::PolishMode mode) {
  ensure_allowed(nullptr);
  if (text::trim(body).empty()) throw MessageAIError(Kind::empty, localized("ai.error.empty_body"));
  const auto target = usable_target(AIScenario::emailCompose);
  return asking("ai.action.polish", target,
                [&] { return non_blank(EmailAIService().polish(body, mode, target)); });
}

std::string draft_reply_text(MessageContext& c) {
  ensure_allowed(&c.account);
  const auto target = usable_target(AIScenario::emailReply);
  ensure_body_if_possible(c);
  return asking("ai.action.reply", target, [&] {
    return non_blank(EmailAIService().generateAutoReply(c.message, std::nullopt, target));
  });
}

std::vector<store::EmailMessage> read_messages(store::EmailDatabase& database,
                                               const std::string& sql,
                                               const std::vector<std::string>& values) {
  return database.read([&](store::Connection& c) {
    std::vector<store::EmailMessage> messages;
    auto s = c.prepare(sql);
    for (size_t i = 0; i < values.size(); ++i) s.bind(static_cast<int>(i) + 1, values[i]);
    while (s.step())
      if (auto message = store::EmailMessage::from_row(s)) messages.push_back(std::move(*message));
    return messages;
  });
}

QuestionScope message_question_scope(const std::string& id, bool wholeThread) {
  auto context = context_for(id);
  QuestionScope choice{{.account = context->account}, ""};
  // Nothing is downloaded (and so marked read) for a question that will be refused.
  const bool download = !context->account.isPrivacyModeEnabled;
  if (!wholeThread) {
    // No UID, a local folder or the server out of reach: the stored text, else the
    // preview, is what the question is asked about.
    if (download) ensure_body_if_possible(*context);
    choice.scope.kind = ai::EmailQAScope::Kind::message;
    choice.scope.messages = {context->message};
    choice.key = "message:" + context->message.id;
    return choice;
  }
  // The conversation the message belongs to, oldest first, its latest messages with bodies.
  choice.scope.kind = ai::EmailQAScope::Kind::thread;
  const auto& message = context->message;
  if (message.threadId)
    choice.scope.messages = read_messages(
        context->book.store().database(),
        "SELECT * FROM email_messages WHERE account_id = ? AND thread_id = ? AND is_deleted = 0 "
        "AND is_draft = 0 ORDER BY date ASC",
        {message.accountId, *message.threadId});
  if (choice.scope.messages.empty()) choice.scope.messages = {message};
  auto& thread = choice.scope.messages;
  if (thread.size() > kThreadMessages) thread.erase(thread.begin(), thread.end() - kThreadMessages);
  for (auto& member : thread) {
    if (member.isBodyLoaded || !download) continue;
    auto memberContext = context_for(member.id);
    if (ensure_body_if_possible(*memberContext)) member = memberContext->message;
  }
  choice.key = "thread:" + message.accountId + ":" + message.threadId.value_or(message.id);
  return choice;
}

QuestionScope folder_question_scope(AccountBook& book, const store::EmailAccount& account,
                                    const store::EmailFolder& folder) {
  QuestionScope choice{{.kind = ai::EmailQAScope::Kind::folder, .account = account}, ""};
  choice.scope.folder = folder;
  choice.scope.messages = read_messages(
      book.store().database(),
      "SELECT * FROM email_messages WHERE folder_id = ? AND is_deleted = 0" + listing_limit(),
      {folder.id});
  choice.key = "folder:" + folder.id;
  return choice;
}

QuestionScope account_question_scope(AccountBook& book, const store::EmailAccount& account) {
  QuestionScope choice{{.kind = ai::EmailQAScope::Kind::account, .account = account}, ""};
  choice.scope.messages = read_messages(book.store().database(),
                                        "SELECT * FROM email_messages WHERE account_id = ? AND "
                                        "is_deleted = 0 AND is_spam = 0 AND is_draft = 0" +
                                            listing_limit(),
                                        {account.id});
  choice.key = "account:" + account.id;
  return choice;
}

}  // namespace kestrova::app
