#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/desktop/composer_model.h"

class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTextEdit;
class QVBoxLayout;
class QWidget;

namespace kestrova::app::desktop {

// The composer: a window of its own over a ComposerModel (started by the caller). From,
// To/Cc/Bcc with address completion, subject, attachments (file dialog, or dropped on the
// window), the body with simple formatting, templates and signatures; Send holds the
// message for the undo delay with a countdown, Undo and Send now in a bar at the bottom;
// Send later asks for a time. The window closes itself once the message is sent or
// scheduled, and calls onDone with the text to show in the main window.
class ComposerWindow : public QMainWindow {
 public:
  ComposerWindow(std::unique_ptr<ComposerModel> model, QWidget* parent = nullptr);
  ~ComposerWindow() override;

  // The interface other parts of the window use (the AI assistant bar among them).
  QTextEdit& body_editor() { return *editor_; }
  std::optional<std::string> replying_to() const { return model_->replying_to(); }
  QString recipients_text() const;
  // Puts `bar` under the toolbar (the window owns it from then on).
  void add_assistant(QWidget* bar);

  ComposerModel& model() { return *model_; }
  QLineEdit& to_field() { return *to_; }
  QLineEdit& subject_field() { return *subject_; }
  QListWidget& attachment_list() { return *attachmentList_; }
  // Whether the quote of an answer waits behind its button (it is sent either way).
  bool quote_hidden() const { return !hiddenQuote_.isEmpty(); }
  // Whether the original of an answer is still being downloaded for its quote.
  bool quote_loading() const;
  // Puts the quote of an answer into the editor (its button does this).
  void show_quote();
  // The countdown bar's text, the error bar's text ("" while hidden).
  QString countdown_text() const;
  QString error_text() const;
  // Attaches files as a drop would (also what the file dialog calls).
  void attach_files(const QStringList& paths);
  // Runs Send as the button does; errors show in the error bar.
  void send();
  void undo();
  void schedule_at(double at);

  std::function<void(const QString& note)> onDone;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void build();
  void load_body();
  void update_quote_button();
  void quote_changed(const std::string& arrived);
  void refresh_attachments();
  void refresh_state();
  void show_error(const QString& text);
  void add_completion(QLineEdit* field);
  void fill_templates(QMenu* menu);
  void fill_signatures(QMenu* menu);
  void send_later();
  void update_title();

  std::unique_ptr<ComposerModel> model_;
  bool rich_ = false;    // the body has formatting: it goes out with an HTML part
  QString hiddenQuote_;  // the quote of an answer, while it is not in the editor
  QPushButton* quoteButton_ = nullptr;
  QVBoxLayout* assistants_ = nullptr;
  QComboBox* from_ = nullptr;
  QLineEdit* to_ = nullptr;
  QLineEdit* cc_ = nullptr;
  QLineEdit* bcc_ = nullptr;
  QLineEdit* subject_ = nullptr;
  QListWidget* attachmentList_ = nullptr;
  QLabel* sizeWarning_ = nullptr;
  QTextEdit* editor_ = nullptr;
  QWidget* countdownBar_ = nullptr;
  QLabel* countdownText_ = nullptr;
  QWidget* errorBar_ = nullptr;
  QLabel* errorText_ = nullptr;
  QLabel* draftNote_ = nullptr;
  QWidget* form_ = nullptr;
};

// Asks when to send: presets (in an hour, tomorrow morning, Monday morning) and a date and
// time. Answers seconds since 1970, or nothing when the user cancels.
std::optional<double> ask_send_time(QWidget* parent);

}  // namespace kestrova::app::desktop
