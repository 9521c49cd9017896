#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QComboBox;
class QLabel;
class QPushButton;
class QTextEdit;
class QPlainTextEdit;

namespace kestrova::app::desktop {

// The AI bar of the composer: Polish, Translate (into English or Chinese) and, for a reply,
// Draft reply. Each answer is shown as a suggestion under the bar; Accept puts it into the
// editor (polish and translate replace the text they were given, the selection or else the
// whole body; a drafted reply goes in at the top, above the quoted text), Discard drops it.
// One step of the editor's undo takes an accepted suggestion back. The AI never sends
// anything: the suggestion only ever reaches the editor.
//
// The work (core's polish_text and draft_reply_text: privacy refusals first, then the
// scenario's profile) runs on the thread pool; an answer for an ask that was discarded or
// replaced is dropped. Main thread only.
class ComposerAssistant : public QWidget {
 public:
  enum class State { idle, working, suggestion, failed };
  enum class Task { polish, toEnglish, toChinese, draftReply };

  // `replyingTo` is the id of the message answered, if any (Draft reply needs it).
  ComposerAssistant(QTextEdit& editor, std::optional<std::string> replyingTo,
                    QWidget* parent = nullptr);
  ~ComposerAssistant() override;

  // Asks for a suggestion (as the bar's buttons do).
  void request(Task task);
  void accept();
  void discard();

  State state() const { return state_; }
  const QString& suggestion() const { return suggestion_; }
  const QString& error() const { return error_; }

  // Called on the main thread after every change of state.
  std::function<void()> onChanged;

 private:
  void finish(State state);

  QTextEdit& editor_;
  std::optional<std::string> replyingTo_;
  State state_ = State::idle;
  Task task_ = Task::polish;
  QString suggestion_, error_;
  // The part of the editor the suggestion replaces: the selection asked about, else all.
  std::optional<std::pair<int, int>> range_;
  std::shared_ptr<int> asked_ = std::make_shared<int>(0);

  QPushButton* polish_ = nullptr;
  QComboBox* language_ = nullptr;
  QPushButton* translate_ = nullptr;
  QPushButton* draft_ = nullptr;
  QLabel* status_ = nullptr;
  QWidget* suggestionBox_ = nullptr;
  QPlainTextEdit* suggestionText_ = nullptr;
  QPushButton* accept_ = nullptr;
  QPushButton* discard_ = nullptr;
};

}  // namespace kestrova::app::desktop
