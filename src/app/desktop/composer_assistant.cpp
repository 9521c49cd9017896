#include "app/desktop/composer_assistant.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QTextDocumentFragment>
#include <QTextEdit>
#include <QThreadPool>
#include <QVBoxLayout>

#include "ai/email_language_detector.h"
#include "app/core/mailbox/message_context.h"
#include "app/core/message_ai_tasks.h"
#include "app/desktop/ui_text.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

namespace {

// The rewrite a polish asks for: formal Chinese for Chinese text, a native English mail
// otherwise.
ai::PolishMode polish_mode(const std::string& text) {
  return ai::EmailLanguageDetector::detect(text) == ai::EmailDetectedLanguage::chinese
             ? ai::PolishMode::chineseFormal
             : ai::PolishMode::englishEmail;
}

struct Answer {
  QString text, error;
};

Answer run(ComposerAssistant::Task task, const std::string& text,
           const std::optional<std::string>& replyingTo) {
  using Task = ComposerAssistant::Task;
  try {
    switch (task) {
      case Task::polish:
        return {QString::fromStdString(polish_text(text, polish_mode(text))), {}};
      case Task::toEnglish:
        return {QString::fromStdString(polish_text(text, ai::PolishMode::translateToEnglish)), {}};
      case Task::toChinese:
        return {QString::fromStdString(polish_text(text, ai::PolishMode::translateToChinese)), {}};
      case Task::draftReply: {
        auto context = context_for(replyingTo.value_or(""));
        return {QString::fromStdString(draft_reply_text(*context)), {}};
      }
    }
  } catch (const MessageAIError& e) {
    return {{}, QString::fromStdString(e.brief())};
  } catch (const std::exception& e) {
    return {{}, QString::fromStdString(e.what())};
  }
  return {};
}

}  // namespace

ComposerAssistant::ComposerAssistant(QTextEdit& editor, std::optional<std::string> replyingTo,
                                     QWidget* parent)
    : QWidget(parent), editor_(editor), replyingTo_(std::move(replyingTo)) {
  setObjectName("composerAssistant");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 4, 6, 4);
  layout->setSpacing(4);
  auto* bar = new QHBoxLayout;
  auto* label = new QLabel(ui_text("desktop.assistant.title"), this);
  polish_ = new QPushButton(ui_text("desktop.assistant.polish"), this);
  polish_->setObjectName("assistantPolish");
  language_ = new QComboBox(this);
  language_->setObjectName("assistantLanguage");
  language_->addItem(ui_text("desktop.assistant.english"), static_cast<int>(Task::toEnglish));
  language_->addItem(ui_text("desktop.assistant.chinese"), static_cast<int>(Task::toChinese));
  translate_ = new QPushButton(ui_text("desktop.assistant.translate"), this);
  translate_->setObjectName("assistantTranslate");
  draft_ = new QPushButton(ui_text("desktop.assistant.draft_reply"), this);
  draft_->setObjectName("assistantDraft");
  draft_->setVisible(replyingTo_.has_value());
  status_ = new QLabel(this);
  status_->setObjectName("assistantStatus");
  status_->setWordWrap(true);
  status_->setTextFormat(Qt::PlainText);
  bar->addWidget(label);
  bar->addWidget(polish_);
  bar->addWidget(translate_);
  bar->addWidget(language_);
  bar->addWidget(draft_);
  bar->addWidget(status_, 1);
  layout->addLayout(bar);

  suggestionBox_ = new QWidget(this);
  suggestionBox_->setObjectName("assistantSuggestion");
  suggestionBox_->setAttribute(Qt::WA_StyledBackground);
  suggestionBox_->setStyleSheet(
      "QWidget#assistantSuggestion { background: palette(alternate-base); border-radius: 6px; }");
  auto* box = new QVBoxLayout(suggestionBox_);
  box->setContentsMargins(8, 6, 8, 6);
  suggestionText_ = new QPlainTextEdit(suggestionBox_);
  suggestionText_->setReadOnly(true);
  suggestionText_->setMaximumHeight(160);
  auto* buttons = new QHBoxLayout;
  accept_ = new QPushButton(ui_text("desktop.assistant.accept"), suggestionBox_);
  accept_->setObjectName("assistantAccept");
  discard_ = new QPushButton(ui_text("desktop.assistant.discard"), suggestionBox_);
  discard_->setObjectName("assistantDiscard");
  buttons->addStretch(1);
  buttons->addWidget(discard_);
  buttons->addWidget(accept_);
  box->addWidget(suggestionText_);
  box->addLayout(buttons);
  suggestionBox_->hide();
  layout->addWidget(suggestionBox_);

  connect(polish_, &QPushButton::clicked, this, [this] { request(Task::polish); });
  connect(translate_, &QPushButton::clicked, this,
          [this] { request(static_cast<Task>(language_->currentData().toInt())); });
  connect(draft_, &QPushButton::clicked, this, [this] { request(Task::draftReply); });
  connect(accept_, &QPushButton::clicked, this, [this] { accept(); });
  connect(discard_, &QPushButton::clicked, this, [this] { discard(); });
}

ComposerAssistant::~ComposerAssistant() = default;

void ComposerAssistant::request(Task task) {
  if (task == Task::draftReply && !replyingTo_) return;
  const QTextCursor cursor = editor_.textCursor();
  std::string text;
  range_.reset();
  if (task != Task::draftReply) {
    if (cursor.hasSelection()) {
      range_ = std::pair{cursor.selectionStart(), cursor.selectionEnd()};
      text = cursor.selection().toPlainText().toStdString();
    } else {
      text = editor_.toPlainText().toStdString();
    }
  }
  task_ = task;
  suggestion_.clear();
  error_.clear();
  const int ask = ++*asked_;
  finish(State::working);
  std::weak_ptr<int> asked = asked_;
  QThreadPool::globalInstance()->start([this, asked, ask, task, text, reply = replyingTo_] {
    auto answer = std::make_shared<Answer>(run(task, text, reply));
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [this, asked, ask, answer] {
          auto alive = asked.lock();
          if (!alive || *alive != ask) return;  // gone, discarded, or asked again since
          if (!answer->error.isEmpty()) {
            error_ = answer->error;
            return finish(State::failed);
          }
          suggestion_ = answer->text;
          finish(State::suggestion);
        },
        Qt::QueuedConnection);
  });
}

void ComposerAssistant::accept() {
  if (state_ != State::suggestion) return;
  QTextCursor cursor(editor_.document());
  cursor.beginEditBlock();
  if (task_ == Task::draftReply) {
    cursor.movePosition(QTextCursor::Start);
    cursor.insertText(suggestion_ + "\n\n");
  } else {
    const int end = editor_.document()->characterCount() - 1;
    if (range_ && range_->second <= end) {
      cursor.setPosition(range_->first);
      cursor.setPosition(range_->second, QTextCursor::KeepAnchor);
    } else {
      cursor.select(QTextCursor::Document);
    }
    cursor.insertText(suggestion_);
  }
  cursor.endEditBlock();
  suggestion_.clear();
  finish(State::idle);
}

void ComposerAssistant::discard() {
  ++*asked_;  // a working ask's answer is no longer wanted
  suggestion_.clear();
  error_.clear();
  finish(State::idle);
}

void ComposerAssistant::finish(State state) {
  state_ = state;
  const bool working = state == State::working;
  for (QWidget* w : {static_cast<QWidget*>(polish_), static_cast<QWidget*>(translate_),
                     static_cast<QWidget*>(draft_), static_cast<QWidget*>(language_)})
    w->setEnabled(!working);
  status_->setText(working ? ui_text("desktop.assistant.working") : error_);
  status_->setStyleSheet(state == State::failed ? "color: #b3261e;" : "color: palette(mid);");
  suggestionText_->setPlainText(suggestion_);
  suggestionBox_->setVisible(state == State::suggestion);
  if (onChanged) onChanged();
}

}  // namespace kestrova::app::desktop
