#include "ai/email_qa_service.h"

#include <algorithm>
#include <ctime>

#include "ai/ai_configuration.h"
#include "ai/ai_service_error.h"
#include "ai/email_ai_service.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::ai {

namespace {

using store::EmailMessage;

std::string local_minutes(double seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
  return text;
}

std::string render_message(const EmailMessage& message, size_t bodyLimit) {
  std::string recipients;
  for (const auto& contact : message.to)
    recipients += (recipients.empty() ? "" : ", ") + sender_line(contact);
  std::string body = prompt_content(message);
  const bool cut = text::character_count(body) > bodyLimit;
  if (cut) body = text::prefix_characters(body, bodyLimit) + "\n…(truncated)";
  return "Subject: " + message.subject + "\nFrom: " + sender_line(message.from) +
         "\nTo: " + recipients + "\nDate: " + local_minutes(message.date) + "\nBody:\n" + body;
}

// One line per message (at most kListingLimit), newest first: date, sender, subject, an
// unread mark and the start of the preview.
std::string render_listing(std::vector<EmailMessage> messages) {
  std::sort(messages.begin(), messages.end(),
            [](const EmailMessage& a, const EmailMessage& b) { return a.date > b.date; });
  std::string out = "Messages (newest first):";
  for (size_t i = 0; i < messages.size() && i < EmailQAService::kListingLimit; ++i) {
    const auto& m = messages[i];
    std::string preview = m.preview;
    for (char& c : preview)
      if (c == '\n' || c == '\r') c = ' ';
    out += "\n- " + local_minutes(m.date) + " | " + sender_line(m.from) + " | " + m.subject +
           (m.isRead ? "" : " | unread") + " | " +
           text::prefix_characters(text::trim(preview), EmailQAService::kPreviewLimit);
  }
  return out;
}

}  // namespace

std::string_view display_key(EmailQAScope::Kind kind) {
  switch (kind) {
    case EmailQAScope::Kind::message:
      return "qa.scope.message";
    case EmailQAScope::Kind::thread:
      return "qa.scope.thread";
    case EmailQAScope::Kind::folder:
      return "qa.scope.folder";
    case EmailQAScope::Kind::account:
      return "chat.scope.account";
  }
  return "qa.scope.message";
}

std::string_view raw_value(EmailQAMessage::Role role) {
  return role == EmailQAMessage::Role::user ? "user" : "assistant";
}

EmailQAError EmailQAError::configMissing(const std::string& message) {
  return {Kind::configMissing, message};
}
EmailQAError EmailQAError::privacyModeBlocked() {
  return {Kind::privacyModeBlocked, localized("qa.error.privacy_mode")};
}
EmailQAError EmailQAError::accountPrivacyBlocked() {
  return {Kind::accountPrivacyBlocked, localized("qa.error.account_privacy")};
}
EmailQAError EmailQAError::emptyResponse() {
  return {Kind::emptyResponse, localized("qa.error.empty_response")};
}

EmailQAService::EmailQAService(const AIConfiguration& configuration, ChatAIService chat)
    : configuration_(configuration), chat_(std::move(chat)) {}

std::string EmailQAService::answerLanguage(std::string_view tag) {
  if (tag.starts_with("en")) return "English";
  if (tag.starts_with("ja")) return "Japanese";
  if (tag.starts_with("ko")) return "Korean";
  if (tag.starts_with("yue")) return "Cantonese (written Chinese)";
  return "Simplified Chinese";
}

std::string EmailQAService::systemPrompt(std::string_view language) {
  return "You are an email assistant inside an email client. The user will give you a SCOPE (a "
         "single email, a thread, a folder listing, or an account listing) and ask questions "
         "about it.\n\nRules:\n- Answer in " +
         std::string(language) +
         " unless the user explicitly asks for another language.\n- Be concise. Use short "
         "paragraphs or bullet points.\n- When you cite specifics (dates, prices, names, action "
         "items), quote them verbatim   from the provided context. Never invent details that "
         "are not present.\n- If the answer is not in the context, say so plainly — do not "
         "guess.\n- If the user asks \"what should I do next\", suggest concrete next steps "
         "(reply,   schedule, archive, follow up) but mark them as suggestions.";
}

std::string EmailQAService::renderScope(const EmailQAScope& scope) {
  switch (scope.kind) {
    case EmailQAScope::Kind::message:
      return scope.messages.empty() ? std::string()
                                    : render_message(scope.messages.front(), kMessageBodyLimit);
    case EmailQAScope::Kind::thread: {
      std::string out;
      for (const auto& message : scope.messages)
        out += (out.empty() ? "" : "\n ———\n") + render_message(message, kThreadBodyLimit);
      return out;
    }
    case EmailQAScope::Kind::folder: {
      const std::string name = scope.folder ? scope.folder->name : std::string();
      const std::string path = scope.folder ? scope.folder->path : std::string();
      return "Folder: " + name + (path.empty() || path == name ? "" : " (" + path + ")") +
             "\nAccount: " + scope.account.emailAddress + "\n" + render_listing(scope.messages);
    }
    case EmailQAScope::Kind::account:
      return "Account: " +
             (scope.account.displayName.empty()
                  ? scope.account.emailAddress
                  : scope.account.displayName + " <" + scope.account.emailAddress + ">") +
             "\n" + render_listing(scope.messages);
  }
  return {};
}

Json EmailQAService::requestMessages(const std::string& question, const EmailQAScope& scope,
                                     const std::vector<EmailQAMessage>& history,
                                     std::string_view defaultLanguage) {
  Json messages = Json::array();
  messages.push_back(
      {{"role", "system"}, {"content", systemPrompt(answerLanguage(defaultLanguage))}});
  messages.push_back({{"role", "user"},
                      {"content", "【" + localized(display_key(scope.kind)) + " 上下文】\n" +
                                      renderScope(scope)}});
  for (const auto& turn : history)
    messages.push_back({{"role", raw_value(turn.role)}, {"content", turn.content}});
  messages.push_back({{"role", "user"}, {"content", question}});
  return messages;
}

EmailQAMessage EmailQAService::ask(const std::string& question, const EmailQAScope& scope,
                                   const std::vector<EmailQAMessage>& history,
                                   const Settings& settings,
                                   const std::function<void(std::string_view)>& onDelta) const {
  // Every refusal comes before any text leaves the machine.
  if (settings.superPrivacyMode) throw EmailQAError::privacyModeBlocked();
  if (scope.account.isPrivacyModeEnabled) throw EmailQAError::accountPrivacyBlocked();
  if (auto issue = configuration_.configurationIssue(AIScenario::emailAnalysis))
    throw EmailQAError::configMissing(*issue);

  const ResolvedAIProfile target = configuration_.resolveProfile(AIScenario::emailAnalysis);
  const Json messages = requestMessages(question, scope, history, settings.defaultLanguage);
  log_line(log_kind::kAI, "QA",
           "发送请求: profile=" + target.profile.name + ", model=" + target.model);
  ChatOptions options;
  options.model = target.model;
  std::string reply;
  try {
    reply = chat_.stream(target.profile, messages, options,
                         std::max(target.timeout, kMinimumTimeout), [&](std::string_view delta) {
                           if (onDelta) onDelta(delta);
                         });
  } catch (const AIServiceError& error) {
    // A stream that ended without any text is an empty answer, not a malformed one.
    if (error.kind() == AIServiceError::Kind::invalidResponse && reply.empty())
      throw EmailQAError::emptyResponse();
    throw;
  }
  const std::string answer = text::trim(reply);
  if (answer.empty()) throw EmailQAError::emptyResponse();
  return {new_uuid(), EmailQAMessage::Role::assistant, answer};
}

}  // namespace kestrova::ai
