#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ai/ai_configuration.h"
#include "ai/chat_ai_service.h"
#include "store/email_enums.h"
#include "store/email_message.h"
#include "util/error.h"

namespace kestrova::ai {

// How `polish` rewrites a body.
enum class PolishMode { chineseFormal, englishEmail, translateToChinese, translateToEnglish };

// A task that cannot run on what it was given (an empty body). Its description is the text
// shown to the user.
class EmailAIError : public Error {
 public:
  using Error::Error;
  static constexpr std::string_view kDomain = "EmailAIService";
};

struct EmailMetadataAnalysis {
  std::vector<std::string> tags;  // at most five
  store::EmailPriority priority = store::EmailPriority::normal;
};

// The per-message AI tasks. Each builds its fixed prompt from the message, sends one chat
// request to the resolved profile (model and time-out included) and reads the reply
// tolerantly: models wrap JSON in prose, answer "LOW" or "not urgent", fence HTML, or send
// nothing but white space. Every call blocks until the reply is in; transport and provider
// failures propagate as AIServiceError. Holds no per-request state: thread-safe.
class EmailAIService {
 public:
  explicit EmailAIService(
      std::shared_ptr<const ChatAIService> chat = std::make_shared<ChatAIService>());

  // Tags (0–5) and priority from the subject, sender, preview and attachment flag.
  EmailMetadataAnalysis analyzeMetadata(const store::EmailMessage& message,
                                        const ResolvedAIProfile& target) const;
  // At most five to-do lines; an undecodable reply gives none.
  std::vector<std::string> extractActionItems(const store::EmailMessage& message,
                                              const ResolvedAIProfile& target) const;
  std::vector<std::string> generateTags(const store::EmailMessage& message,
                                        const ResolvedAIProfile& target) const;
  store::EmailPriority detectPriority(const store::EmailMessage& message,
                                      const ResolvedAIProfile& target) const;
  std::string generateSummary(const store::EmailMessage& message,
                              const ResolvedAIProfile& target) const;
  std::vector<std::string> suggestActions(const store::EmailMessage& message,
                                          const ResolvedAIProfile& target) const;
  // Whether the message repeats one of `recentSubjects`; false when the request fails.
  bool checkDuplicate(const store::EmailMessage& message,
                      const std::vector<std::string>& recentSubjects,
                      const ResolvedAIProfile& target) const;
  // The prompt holds this one message only, and at most its first kAutoReplyPromptCharacters.
  static constexpr size_t kAutoReplyPromptCharacters = 2000;
  std::string generateAutoReply(const store::EmailMessage& message,
                                const std::optional<std::string>& templateText,
                                const ResolvedAIProfile& target) const;
  // Throws EmailAIError("正文内容为空") for a blank body.
  std::string polish(std::string_view body, PolishMode mode, const ResolvedAIProfile& target) const;
  // `content` (HTML or plain text) translated into the language named `targetLanguage`, as
  // HTML.
  std::string translateToHTML(std::string_view content, std::string_view targetLanguage,
                              const ResolvedAIProfile& target) const;
  // A body fragment laid out anew; throws EmailAIError("邮件正文为空") for a blank `html`.
  std::string optimizeLayout(std::string_view html, std::string_view plainText,
                             const ResolvedAIProfile& target) const;

  const ChatAIService& chat() const { return *chat_; }

 private:
  std::string ask(const std::string& prompt, const ResolvedAIProfile& target) const;

  std::shared_ptr<const ChatAIService> chat_;
};

// The message text prompts carry: the text body, else the HTML body as plain text, else
// the preview.
std::string prompt_content(const store::EmailMessage& message);
// "Name <address>", or the bare address when there is no name.
std::string sender_line(const store::EmailContact& contact);

}  // namespace kestrova::ai
