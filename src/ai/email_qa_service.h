#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ai/chat_ai_service.h"
#include "store/email_account.h"
#include "store/email_folder.h"
#include "store/email_message.h"
#include "util/error.h"

namespace kestrova::ai {

class AIConfiguration;

// What a question is about. `account` is the account that owns the scope (the message's,
// the thread's first message's, the folder's, or the account itself); its privacy mode
// decides whether anything may be sent.
struct EmailQAScope {
  enum class Kind { message, thread, folder, account };
  Kind kind = Kind::message;
  store::EmailAccount account;
  std::optional<store::EmailFolder> folder;   // folder scope
  std::vector<store::EmailMessage> messages;  // the message, the thread, or the listing
};

// The localisation key of a scope's label.
std::string_view display_key(EmailQAScope::Kind kind);

struct EmailQAMessage {
  enum class Role { user, assistant };
  std::string id;  // UUID
  Role role = Role::user;
  std::string content;
  bool operator==(const EmailQAMessage&) const = default;
};
std::string_view raw_value(EmailQAMessage::Role role);

// A question refused before anything was sent, or an answer without text.
class EmailQAError : public Error {
 public:
  enum class Kind { configMissing, privacyModeBlocked, accountPrivacyBlocked, emptyResponse };
  static EmailQAError configMissing(const std::string& message);
  static EmailQAError privacyModeBlocked();
  static EmailQAError accountPrivacyBlocked();
  static EmailQAError emptyResponse();
  Kind kind() const { return kind_; }

 private:
  EmailQAError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
  Kind kind_;
};

// Answers free-form questions about a message, a thread, a folder or an account in a short
// conversation, with the profile of the email-analysis scenario. Refuses before sending
// anything when super-privacy mode or the owning account's privacy mode is on, or when the
// scenario is not configured. Blocking.
class EmailQAService {
 public:
  // The settings a question depends on, read by the caller.
  struct Settings {
    bool superPrivacyMode = false;
    std::string defaultLanguage;
  };
  // Longest body of a message rendered alone, and of each message of a thread.
  static constexpr size_t kMessageBodyLimit = 8000;
  static constexpr size_t kThreadBodyLimit = 2500;
  // Messages listed for a folder or an account, and the characters of each preview.
  static constexpr size_t kListingLimit = 50;
  static constexpr size_t kPreviewLimit = 160;
  // A question never waits less than this for the provider (seconds).
  static constexpr double kMinimumTimeout = 60;

  EmailQAService(const AIConfiguration& configuration, ChatAIService chat = ChatAIService());

  // The assistant's reply to `question` after `history` (oldest first). `onDelta` receives
  // the reply's text as it streams in. Throws EmailQAError or AIServiceError.
  EmailQAMessage ask(const std::string& question, const EmailQAScope& scope,
                     const std::vector<EmailQAMessage>& history, const Settings& settings,
                     const std::function<void(std::string_view)>& onDelta = {}) const;

  // The messages sent for a question (system prompt, scope, history, question).
  static Json requestMessages(const std::string& question, const EmailQAScope& scope,
                              const std::vector<EmailQAMessage>& history,
                              std::string_view defaultLanguage);
  static std::string answerLanguage(std::string_view defaultLanguage);
  static std::string systemPrompt(std::string_view language);
  static std::string renderScope(const EmailQAScope& scope);

 private:
  const AIConfiguration& configuration_;
  ChatAIService chat_;
};

}  // namespace kestrova::ai
