#pragma once

#include <string>
#include <vector>

#include "ai/ai_configuration.h"
#include "ai/chat_ai_service.h"
#include "store/email_enums.h"
#include "store/email_message.h"

namespace kestrova::ai {

// Tags (at most five) and a priority that the model gave a message.
struct MetadataAnalysis {
  std::vector<std::string> tags;
  store::EmailPriority priority = store::EmailPriority::normal;
};

// The metadata task of the per-message analysis as the background pipeline uses it: one
// request whose only message is the fixed metadata prompt built from the subject, sender,
// the first 300 characters of the content and the attachment flag, and the tolerant reply
// parser. Throws the chat service's errors.
MetadataAnalysis analyze_message_metadata(const ChatAIService& chat,
                                          const ResolvedAIProfile& target,
                                          const store::EmailMessage& message);

}  // namespace kestrova::ai
