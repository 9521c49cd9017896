#pragma once

#include <QDockWidget>
#include <QTextBrowser>
#include <functional>
#include <optional>
#include <string>

#include "app/desktop/ai_panel_model.h"

class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTextDocument;
class QToolButton;

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {
class UserPreferences;
}

namespace kestrova::app::desktop {

// The AI's answers as the panel shows them: Markdown from the model is untrusted, so this
// view loads no resource of any kind (images become their address in brackets), follows no
// link (a link's target is written after its text) and takes no HTML from the Markdown.
class AnswerView : public QTextBrowser {
 public:
  explicit AnswerView(QWidget* parent = nullptr);
  QVariant loadResource(int type, const QUrl& name) override;
};

// Writes `markdown` at `cursor` as the panel shows an answer: no HTML, images as their
// address, each link followed by its target.
void insert_answer(QTextCursor& cursor, const QString& markdown);

// The AI side panel of the main window: ask about the open message, its conversation, its
// folder or its account, and see (and refresh) the message's AI summary, priority, tags and
// action items. Without a usable AI profile it says so and offers the AI settings; under a
// privacy mode it shows the refusal before anything could be sent.
class AiPanel : public QDockWidget {
 public:
  AiPanel(store::EmailDatabase& database, UserPreferences& preferences, QWidget* parent = nullptr);
  ~AiPanel() override;

  // The message now open in the window (none: nothing is).
  void show_message(const std::optional<std::string>& id);
  AiPanelModel& model() { return model_; }

  // Asks as if typed into the question field and sent.
  void ask(const QString& question);
  // Reads the settings and profile again and shows what they allow.
  void update_state();

  // What the panel shows, for tests and the benchmark.
  QString conversation_text() const;
  QTextDocument* conversation_document() const;
  bool shows_setup() const;
  QString notice_text() const;  // the refusal or hint above the question field
  QPushButton& stop_button() { return *stop_; }
  // When the first piece of the latest answer was on screen (drawn into the view).
  std::optional<AiPanelModel::Clock::time_point> first_piece_shown() const { return firstShown_; }

  // Opens the AI settings; the "open AI settings" button is hidden while this is unset.
  std::function<void()> onOpenSettings;
  // Action items of the open message were put into the user's action items.
  std::function<void()> onActionItemsKept;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void build();
  // Shows what the blocker found by the last update_state() allows (cheap: no settings or
  // database read, so it runs for every piece of an answer).
  void show_state();
  void render_conversation();
  void schedule_render();
  void render_insights();
  void render_action_items();
  void keep_action_items(std::optional<int> index);

  AiPanelModel model_;
  std::optional<AiPanelModel::Blocker> blocker_;
  bool renderPending_ = false;
  std::optional<AiPanelModel::Clock::time_point> firstShown_, firstDrawn_;

  QComboBox* scope_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  QLabel* setupText_ = nullptr;
  QPushButton* openSettings_ = nullptr;
  QWidget* insights_ = nullptr;
  QLabel* summary_ = nullptr;
  QLabel* priority_ = nullptr;
  QLabel* tags_ = nullptr;
  QLabel* actionItems_ = nullptr;
  QWidget* actionList_ = nullptr;  // the items, each with its way into the action items
  QToolButton* refreshSummary_ = nullptr;
  QToolButton* refreshPriority_ = nullptr;
  QToolButton* refreshTags_ = nullptr;
  QToolButton* refreshActions_ = nullptr;
  QLabel* insightError_ = nullptr;
  AnswerView* view_ = nullptr;
  QLabel* notice_ = nullptr;
  QLineEdit* question_ = nullptr;
  QPushButton* ask_ = nullptr;
  QPushButton* stop_ = nullptr;
  QPushButton* newConversation_ = nullptr;
};

}  // namespace kestrova::app::desktop
