#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ai/ai_configuration.h"
#include "ai/chat_ai_service.h"

namespace kestrova::ai {

// Drafts and revises script rules from the user's words. The answer is the function text
// as the model wrote it; callers store it with the rule. Nothing here runs a script.
// Blocking; AI failures propagate as AIServiceError. Thread-safe.
class EmailRuleAIService {
 public:
  explicit EmailRuleAIService(
      std::shared_ptr<const ChatAIService> chat = std::make_shared<ChatAIService>());

  // A new rule function for `description`, shown the rule template (`templateText`, or a
  // note that there is none) as an example.
  std::string draftRule(std::string_view description,
                        const std::optional<std::string>& templateText,
                        const ResolvedAIProfile& target) const;
  // `code` of the rule `name` changed as `request` asks.
  std::string reviseRule(std::string_view name, std::string_view code, std::string_view request,
                         const ResolvedAIProfile& target) const;

 private:
  std::string ask(const std::string& prompt, const ResolvedAIProfile& target) const;

  std::shared_ptr<const ChatAIService> chat_;
};

}  // namespace kestrova::ai
