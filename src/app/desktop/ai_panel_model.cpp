#include "app/desktop/ai_panel_model.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <algorithm>

#include "ai/ai_configuration.h"
#include "ai/ai_service_error.h"
#include "ai/endpoint_probe.h"
#include "app/core/ai_mail_services.h"
#include "app/core/mail_ai.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/folder_lookup.h"
#include "app/core/mailbox/message_context.h"
#include "app/core/message_ai_tasks.h"
#include "app/core/user_preferences.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_message.h"
#include "util/localization.h"
#include "util/text.h"

namespace kestrova::app::desktop {

namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

// Thrown from the stream's callback to end a stopped answer.
struct Stopped {};

// Runs `work` on the main thread.
template <class F>
void on_main_thread(F&& work) {
  QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<F>(work),
                            Qt::QueuedConnection);
}

// The scope of a question, read on the pool's thread (bodies may be downloaded).
QuestionScope read_scope(AiPanelModel::Scope scope, const std::string& messageId,
                         const std::string& accountId, const std::string& folderId) {
  using Scope = AiPanelModel::Scope;
  if (scope == Scope::message || scope == Scope::thread)
    return message_question_scope(messageId, scope == Scope::thread);
  AccountBook book;
  const store::EmailAccount account = book.find(accountId);
  if (scope == Scope::account) return account_question_scope(book, account);
  const auto folders = folders_of(book, account);
  return folder_question_scope(book, account, find_folder(folders, folderId, account));
}

}  // namespace

// What the panel needs to know of the open message besides its insights.
struct AiPanelModel::OpenMessage {
  std::string accountId, folderId, threadId;
};

AiPanelModel::AiPanelModel(store::EmailDatabase& database, UserPreferences& preferences)
    : database_(database), preferences_(preferences) {}

AiPanelModel::~AiPanelModel() {
  if (stopped_) stopped_->store(true);
}

void AiPanelModel::show_message(const std::optional<std::string>& id) {
  ++*messageGeneration_;
  messageId_ = id;
  open_.reset();
  insights_ = {};
  insightError_.clear();
  refreshing_.clear();
  if (id) read_insights();
  if (scope_key() != conversationKey_) clear_conversation();
  insights_changed();
}

void AiPanelModel::read_insights() {
  insights_ = {};
  const auto message = database_.read([&](store::Connection& c) {
    auto s = c.prepare("SELECT * FROM email_messages WHERE id = ?");
    s.bind(1, *messageId_);
    return s.step() ? store::EmailMessage::from_row(s) : std::nullopt;
  });
  if (!message) {
    messageId_.reset();
    return;
  }
  open_ = std::make_unique<OpenMessage>(OpenMessage{
      message->accountId, message->folderId.value_or(""), message->threadId.value_or(message->id)});
  if (message->aiSummary && !message->aiSummary->empty())
    insights_.summary = q(*message->aiSummary);
  insights_.priority = message->aiPriority;
  for (const auto& tag : message->aiTags) insights_.tags << q(tag);
  for (const auto& item : message->aiActionItems) insights_.actionItems << q(item);
  insights_.actionItemKept = action_items_kept(database_, message->id, message->aiActionItems);
}

int AiPanelModel::keep_action_items(std::optional<int> index) {
  if (!open_) return 0;
  std::vector<std::string> titles;
  for (int i = 0; i < insights_.actionItems.size(); ++i)
    if (!index || *index == i) titles.push_back(insights_.actionItems[i].toStdString());
  const int added = add_action_items(database_, *messageId_, open_->accountId, titles);
  insights_.actionItemKept = action_items_kept(database_, *messageId_, [&] {
    std::vector<std::string> all;
    for (const auto& item : insights_.actionItems) all.push_back(item.toStdString());
    return all;
  }());
  insights_changed();
  return added;
}

void AiPanelModel::set_scope(Scope scope) {
  scope_ = scope;
  if (scope_key() != conversationKey_) clear_conversation();
}

std::string AiPanelModel::scope_key() const {
  if (!open_) return {};
  switch (scope_) {
    case Scope::message:
      return "message:" + *messageId_;
    case Scope::thread:
      return "thread:" + open_->accountId + ":" + open_->threadId;
    case Scope::folder:
      return "folder:" + open_->folderId;
    case Scope::account:
      return "account:" + open_->accountId;
  }
  return {};
}

std::optional<AiPanelModel::Blocker> AiPanelModel::blocker() const {
  if (!open_) return Blocker::noMessage;
  if (preferences_.get(settings::emailSuperPrivacyMode)) return Blocker::superPrivacy;
  // Read now: the account's privacy mode may have been switched on since the message opened.
  const bool accountPrivate = database_.read([&](store::Connection& c) {
    auto s = c.prepare("SELECT is_privacy_mode_enabled FROM email_accounts WHERE id = ?");
    s.bind(1, open_->accountId);
    return s.step() && s.integer(0).value_or(0) != 0;
  });
  if (accountPrivate) return Blocker::accountPrivacy;
  ai_configuration();  // the one-time migration and default profiles of this process
  // The settings file as it is now: a profile the settings screen or the command line saved
  // counts at once.
  const ai::AIConfiguration latest(platform::SettingsStore::shared());
  if (latest.configurationIssue(ai::AIScenario::emailAnalysis)) return Blocker::noProfile;
  return std::nullopt;
}

QString AiPanelModel::blocker_text(Blocker blocker) const {
  switch (blocker) {
    case Blocker::noMessage:
      return q(localized("desktop.ai_panel.no_message"));
    case Blocker::superPrivacy:
      return q(ai::EmailQAError::privacyModeBlocked().what());
    case Blocker::accountPrivacy:
      return q(ai::EmailQAError::accountPrivacyBlocked().what());
    case Blocker::noProfile: {
      const ai::AIConfiguration latest(platform::SettingsStore::shared());
      if (!latest.defaultProfile()) return q(latest.aiServiceStatusHint().value_or(""));
      return q(latest.configurationIssue(ai::AIScenario::emailAnalysis).value_or(""));
    }
  }
  return {};
}

std::vector<ai::EmailQAMessage> AiPanelModel::history() const {
  std::vector<ai::EmailQAMessage> history;
  for (const auto& turn : turns_) {
    if (!turn.complete) continue;
    history.push_back({{}, ai::EmailQAMessage::Role::user, turn.question.toStdString()});
    history.push_back({{}, ai::EmailQAMessage::Role::assistant, turn.answer.toStdString()});
  }
  return history;
}

bool AiPanelModel::ask(const QString& text) {
  const QString question = text.trimmed();
  if (question.isEmpty() || answering_) return false;
  if (auto refused = blocker()) {
    turns_.push_back({question, {}, false, false, blocker_text(*refused)});
    conversation_changed();
    return false;
  }
  auto history = this->history();
  turns_.push_back({question, {}, false, false, {}});
  answering_ = true;
  firstPiece_.reset();
  stopped_ = std::make_shared<std::atomic<bool>>(false);
  const int asked = ++*askGeneration_;
  std::weak_ptr<int> generation = askGeneration_;
  auto stopped = stopped_;
  const auto settings = qa_settings(preferences_);
  const Scope scope = scope_;
  const std::string messageId = *messageId_, accountId = open_->accountId,
                    folderId = open_->folderId;
  // Only the latest question's pieces and end are taken.
  auto current = [this, generation, asked]() -> bool {
    auto alive = generation.lock();
    return alive && *alive == asked;
  };
  QThreadPool::globalInstance()->start(
      [=, this, question = question.toStdString(), history = std::move(history)] {
        QString error;
        try {
          const QuestionScope chosen = read_scope(scope, messageId, accountId, folderId);
          const ai::AIConfiguration latest(platform::SettingsStore::shared());
          try {
            const auto answer = ai::EmailQAService(latest).ask(
                question, chosen.scope, history, settings, [&](std::string_view delta) {
                  if (stopped->load()) throw Stopped{};
                  const auto arrived = Clock::now();
                  on_main_thread(
                      [=, this,
                       piece = QString::fromUtf8(delta.data(), static_cast<int>(delta.size()))] {
                        if (!current()) return;
                        if (!firstPiece_) firstPiece_ = arrived;
                        turns_.back().answer += piece;
                        conversation_changed();
                      });
                });
            on_main_thread([=, this, text = q(answer.content)] {
              if (!current()) return;
              turns_.back().answer = text;
              turns_.back().complete = true;
              answering_ = false;
              conversation_changed();
              if (!providerSilent_.isEmpty()) {  // it answered after all
                providerSilent_.clear();
                if (onProviderChecked) onProviderChecked();
              }
            });
            return;
          } catch (const ai::AIServiceError& e) {
            error = q(brief_provider_failure("ai.ask.action", e,
                                             latest.resolveProfile(ai::AIScenario::emailAnalysis)));
          }
        } catch (const Stopped&) {
          return;
        } catch (const std::exception& e) {
          // The question service's refusals and empty answers, a message that is gone.
          error = q(e.what());
        }
        on_main_thread([=, this] {
          if (!current()) return;
          turns_.back().error = error;
          answering_ = false;
          probedAt_.reset();
          conversation_changed();
          check_provider();
        });
      });
  conversation_changed();
  return true;
}

void AiPanelModel::check_provider() {
  if (probing_ || blocker()) return;
  const ai::AIConfiguration latest(platform::SettingsStore::shared());
  const ai::AIServiceProfile profile = latest.resolveProfile(ai::AIScenario::emailAnalysis).profile;
  const std::string key = profile.id + " " + profile.endpoint;
  constexpr auto kAgain = std::chrono::minutes(1);
  if (key == probedProfile_ && probedAt_ && Clock::now() - *probedAt_ < kAgain) return;
  probing_ = true;
  probedProfile_ = key;
  probedAt_ = Clock::now();
  std::weak_ptr<int> alive = messageGeneration_;
  QThreadPool::globalInstance()->start([=, this] {
    const ai::EndpointProbe probe = ai::probe_endpoint(profile);
    const QString silent =
        probe.answers
            ? QString()
            : q(localized_format("desktop.ai_panel.provider_silent", ai::shown_name(profile),
                                 text::trim(profile.endpoint), probe.detail));
    on_main_thread([=, this] {
      if (!alive.lock()) return;  // the panel is gone
      probing_ = false;
      if (silent == providerSilent_) return;
      providerSilent_ = silent;
      if (onProviderChecked) onProviderChecked();
    });
  });
}

void AiPanelModel::stop() {
  if (!answering_) return;
  stopped_->store(true);
  ++*askGeneration_;
  answering_ = false;
  turns_.back().stopped = true;
  conversation_changed();
}

void AiPanelModel::clear_conversation() {
  if (answering_) {
    stopped_->store(true);
    ++*askGeneration_;
    answering_ = false;
  }
  turns_.clear();
  conversationKey_ = scope_key();
  conversation_changed();
}

void AiPanelModel::refresh(MessageInsight insight) {
  if (!messageId_ || refreshing(insight)) return;
  refreshing_.push_back(insight);
  insightError_.clear();
  insights_changed();
  const int shown = *messageGeneration_;
  std::weak_ptr<int> generation = messageGeneration_;
  QThreadPool::globalInstance()->start([=, this, id = *messageId_] {
    bool updated = false;
    QString error;
    try {
      auto context = context_for(id);
      refresh_insight(*context, insight);
      updated = true;
    } catch (const MessageAIError& e) {
      error = q(e.brief());
    } catch (const std::exception& e) {
      error = q(e.what());
    }
    on_main_thread([=, this] {
      auto alive = generation.lock();
      if (!alive || *alive != shown) return;
      std::erase(refreshing_, insight);
      if (updated) {
        read_insights();
      } else {
        insightError_ = error;
      }
      insights_changed();
    });
  });
}

bool AiPanelModel::refreshing(MessageInsight insight) const {
  return std::find(refreshing_.begin(), refreshing_.end(), insight) != refreshing_.end();
}

void AiPanelModel::conversation_changed() {
  if (onConversationChanged) onConversationChanged();
}

void AiPanelModel::insights_changed() {
  if (onInsightsChanged) onInsightsChanged();
}

}  // namespace kestrova::app::desktop
