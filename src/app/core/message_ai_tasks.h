#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "ai/email_ai_service.h"
#include "ai/email_qa_service.h"
#include "util/error.h"

namespace kestrova::ai {
class AIServiceError;
struct ResolvedAIProfile;
}  // namespace kestrova::ai

namespace kestrova::store {
class EmailDatabase;
struct EmailAccount;
struct EmailFolder;
}  // namespace kestrova::store

namespace kestrova::app {

struct MessageContext;
class AccountBook;

// Why an AI task on a message or a text gave no result; what() is the text shown to the
// user. Privacy and configuration failures come before anything was downloaded or sent.
class MessageAIError : public Error {
 public:
  enum class Kind {
    privacy,        // super-privacy mode or the account's privacy mode: nothing was sent
    configuration,  // the scenario has no usable profile: nothing was sent
    empty,          // an empty text, or a blank answer
    provider,       // the provider failed; the text names the profile and what to do
  };
  MessageAIError(Kind kind, const std::string& description, std::string brief = {})
      : Error(description), kind_(kind), brief_(std::move(brief)) {}
  Kind kind() const { return kind_; }
  // The text for a window: what() but for a provider's refusal, whose body it leaves out
  // (see brief_provider_failure).
  const char* brief() const { return brief_.empty() ? what() : brief_.c_str(); }

 private:
  Kind kind_;
  std::string brief_;
};

// A provider's failure of the task named by the localisation key `action`, as a window shows
// it: for a refused request (a status outside 200–299) its status and the provider's own
// words (the message of a JSON error, or a body of one short line, control characters made
// visible), never the body itself; other failures as the command line says them.
std::string brief_provider_failure(std::string_view action, const ai::AIServiceError& error,
                                   const ai::ResolvedAIProfile& target);

// What the AI knows about a message and the command line and the window refresh on request.
enum class MessageInsight { summary, tags, priority, actionItems };

// Asks the profile of the insight's scenario (the summary scenario for the summary, the
// analysis scenario for the rest, as the settings file has them now) and stores the answer
// beside the message in `c` (c.message is updated too). Refuses before the body is
// downloaded or anything is sent when the privacy settings forbid it; the body is loaded
// when it can be, else the stored text stands in. Blocks on the network: call it off any
// interface thread. Throws MessageAIError.
void refresh_insight(MessageContext& c, MessageInsight insight);

// Adds the message's AI action items to the action items; answers how many were new.
int save_action_items(MessageContext& c);
// Adds `titles` of the message `messageId` (of the account `accountId`) to the action items
// the action-items view, the command line and the service share; answers how many were new.
// A title the message already has an item for (the same title key) is not added again.
int add_action_items(store::EmailDatabase& database, const std::string& messageId,
                     const std::string& accountId, const std::vector<std::string>& titles);
// Which of `titles` the message `messageId` has an action item for, in the same order.
std::vector<bool> action_items_kept(store::EmailDatabase& database, const std::string& messageId,
                                    const std::vector<std::string>& titles);

// `body` rewritten or translated as `mode` says, with the composing scenario's profile.
// Refused in super-privacy mode. Blocking; throws MessageAIError.
std::string polish_text(const std::string& body, ai::PolishMode mode);

// A reply body for the message in `c`, drafted with the reply scenario's profile (the
// message is only read; nothing is sent). Refused under either privacy mode. Blocking;
// throws MessageAIError.
std::string draft_reply_text(MessageContext& c);

// A question's scope as it is asked about, with the key that names it (a continued
// conversation belongs to one scope).
struct QuestionScope {
  ai::EmailQAScope scope;
  std::string key;
};
// The message `id` (a UUID or an unambiguous prefix) with its body loaded when it can be,
// or (`wholeThread`) the latest messages of its conversation, oldest first. Nothing is
// downloaded for an account in privacy mode, whose questions are refused.
QuestionScope message_question_scope(const std::string& id, bool wholeThread);
// The newest messages of a folder, or of an account (drafts and junk left out).
QuestionScope folder_question_scope(AccountBook& book, const store::EmailAccount& account,
                                    const store::EmailFolder& folder);
QuestionScope account_question_scope(AccountBook& book, const store::EmailAccount& account);

// The messages a SELECT over email_messages returns, `values` bound in order.
std::vector<store::EmailMessage> read_messages(store::EmailDatabase& database,
                                               const std::string& sql,
                                               const std::vector<std::string>& values);

}  // namespace kestrova::app
