#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ai/email_qa_service.h"
#include "store/email_enums.h"

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {
class UserPreferences;
enum class MessageInsight;
}  // namespace kestrova::app

namespace kestrova::app::desktop {

// What the AI panel shows and does, without widgets: questions about the open message, its
// conversation, its folder or its account (a short conversation that follow-up questions
// continue, the answer arriving piece by piece), and the message's stored summary,
// priority, tags and action items with a refresh for each.
//
// Refusals come before anything leaves the machine: with super-privacy mode on, or the
// open message's account in privacy mode, or no usable profile for the analysis scenario,
// blocker() says so and ask() sends nothing. The network work (core's scope reading and
// EmailQAService, core's refresh_insight) runs on the thread pool; its results come back to
// the main thread, and results of a question stopped, or of a message no longer open, are
// dropped. Main thread only.
class AiPanelModel {
 public:
  using Scope = ai::EmailQAScope::Kind;
  using Clock = std::chrono::steady_clock;

  // Why nothing may be asked now, in the order checked.
  enum class Blocker {
    noMessage,       // nothing open: no scope to ask about
    superPrivacy,    // super-privacy mode is on
    accountPrivacy,  // the open message's account is in privacy mode
    noProfile,       // the analysis scenario has no usable profile
  };

  struct Turn {
    QString question;
    QString answer;  // as far as it has arrived: untrusted Markdown
    bool complete = false;
    bool stopped = false;
    QString error;  // why no (whole) answer came
  };

  struct Insights {
    std::optional<QString> summary;
    std::optional<store::EmailPriority> priority;
    QStringList tags;  // the AI's
    QStringList actionItems;
    std::vector<bool> actionItemKept;  // per action item: it is in the user's action items
  };

  AiPanelModel(store::EmailDatabase& database, UserPreferences& preferences);
  ~AiPanelModel();
  AiPanelModel(const AiPanelModel&) = delete;
  AiPanelModel& operator=(const AiPanelModel&) = delete;

  // The message now open (none: nothing is). A conversation continues while the scope stays
  // the same (another message of the same folder, for a folder scope); otherwise it starts
  // afresh.
  void show_message(const std::optional<std::string>& id);
  const std::optional<std::string>& message_id() const { return messageId_; }
  void set_scope(Scope scope);
  Scope scope() const { return scope_; }

  // Reads the settings and the profile again (they may have changed since): nothing when
  // a question may be asked.
  std::optional<Blocker> blocker() const;
  // The text that explains a blocker: the refusal texts of the question service, the
  // profile's configuration issue.
  QString blocker_text(Blocker blocker) const;

  // Whether the provider questions go to answers at all: with a message open and nothing
  // blocking, its endpoint is asked in the background (a few seconds at most), at most once
  // a minute per profile, at once again after an answer failed. provider_silent() says who
  // does not answer and what to do; empty while it answers or has not been asked yet.
  // Questions stay allowed: the server may be started at any moment.
  void check_provider();
  const QString& provider_silent() const { return providerSilent_; }

  // Asks `question` about the scope, after the earlier complete turns. False (and nothing
  // sent) when a blocker stands or a question is still being answered; the refusal is then
  // the last turn's error.
  bool ask(const QString& question);
  // Stops the answer being received: what came so far stays, marked stopped, and is not
  // part of the conversation's history.
  void stop();
  // Starts a new conversation about the same scope.
  void clear_conversation();
  bool answering() const { return answering_; }
  const std::vector<Turn>& turns() const { return turns_; }
  // The complete turns as the next question sends them, oldest first.
  std::vector<ai::EmailQAMessage> history() const;

  const Insights& insights() const { return insights_; }
  // Asks the AI again for one insight of the open message and stores it.
  void refresh(MessageInsight insight);
  bool refreshing(MessageInsight insight) const;
  // Puts the open message's action item at `index` (every one: none given) into the user's
  // action items, the list the action-items view and the command line show; one already
  // there is not added twice. Answers how many were new.
  int keep_action_items(std::optional<int> index = std::nullopt);
  // Why the last refresh failed (empty when it did not).
  const QString& insight_error() const { return insightError_; }

  // When the first piece of the latest answer reached this process (the provider's
  // thread), for the panel's latency figure.
  std::optional<Clock::time_point> first_piece_arrived() const { return firstPiece_; }

  // Called on the main thread: the conversation changed (a piece arrived, an answer ended);
  // the insights changed.
  std::function<void()> onConversationChanged;
  std::function<void()> onInsightsChanged;
  // Called on the main thread when provider_silent() changed.
  std::function<void()> onProviderChecked;

 private:
  struct OpenMessage;
  std::string scope_key() const;
  void read_insights();
  void conversation_changed();
  void insights_changed();

  store::EmailDatabase& database_;
  UserPreferences& preferences_;
  std::optional<std::string> messageId_;
  std::unique_ptr<OpenMessage> open_;
  Scope scope_ = Scope::message;
  std::string conversationKey_;
  std::vector<Turn> turns_;
  bool answering_ = false;
  Insights insights_;
  QString insightError_;
  std::vector<MessageInsight> refreshing_;
  std::optional<Clock::time_point> firstPiece_;
  QString providerSilent_;
  std::string probedProfile_;  // id and endpoint of the last probe
  std::optional<Clock::time_point> probedAt_;
  bool probing_ = false;
  // Work on the pool carries the generation it was started in; only the current one is
  // taken (questions and insights count apart). stopped_ tells the provider's thread to
  // give up at the next piece.
  std::shared_ptr<int> askGeneration_ = std::make_shared<int>(0);
  std::shared_ptr<int> messageGeneration_ = std::make_shared<int>(0);
  std::shared_ptr<std::atomic<bool>> stopped_;
};

}  // namespace kestrova::app::desktop
