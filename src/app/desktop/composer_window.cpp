#include "app/desktop/composer_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QStringListModel>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTextFrame>
#include <QTextList>
#include <QTime>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/core/writing/email_signature_service.h"
#include "app/desktop/html_sanitizer.h"
#include "app/desktop/ui_text.h"
#include "util/localization.h"
#include "util/time.h"

namespace kestrova::app::desktop {

namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

// Marks the frame that shows an HTML signature in the body editor.
constexpr int kSignatureFrame = QTextFormat::UserProperty + 1;

QTextFrame* signature_frame(QTextDocument& document) {
  for (QTextFrame* frame : document.rootFrame()->childFrames())
    if (frame->frameFormat().property(kSignatureFrame).toBool()) return frame;
  return nullptr;
}

// The body editor: files dropped on it are attached, not pasted in as their paths.
class BodyEditor : public QTextEdit {
 public:
  using QTextEdit::QTextEdit;
  std::function<void(const QStringList&)> onFiles;

 protected:
  bool canInsertFromMimeData(const QMimeData* source) const override {
    return source->hasUrls() || QTextEdit::canInsertFromMimeData(source);
  }
  void insertFromMimeData(const QMimeData* source) override {
    QStringList files;
    for (const QUrl& url : source->urls())
      if (url.isLocalFile()) files << url.toLocalFile();
    if (!files.isEmpty() && onFiles) return onFiles(files);
    QTextEdit::insertFromMimeData(source);
  }
};

QStringList local_files(const QMimeData* data) {
  QStringList files;
  if (!data || !data->hasUrls()) return files;
  for (const QUrl& url : data->urls())
    if (url.isLocalFile()) files << url.toLocalFile();
  return files;
}

QWidget* bar(QWidget* parent, const char* name, QLabel*& text, const QColor& tint) {
  auto* widget = new QWidget(parent);
  widget->setObjectName(name);
  widget->setAutoFillBackground(true);
  QPalette palette = widget->palette();
  palette.setColor(QPalette::Window, tint);
  widget->setPalette(palette);
  auto* layout = new QHBoxLayout(widget);
  layout->setContentsMargins(12, 6, 12, 6);
  text = new QLabel(widget);
  text->setWordWrap(true);
  text->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(text, 1);
  widget->hide();
  return widget;
}

}  // namespace

ComposerWindow::ComposerWindow(std::unique_ptr<ComposerModel> model, QWidget* parent)
    : QMainWindow(parent), model_(std::move(model)) {
  setWindowFlag(Qt::Window);
  setAttribute(Qt::WA_DeleteOnClose);
  setObjectName("composer");
  setAcceptDrops(true);
  build();
  model_->onCollect = [this] {
    model_->to = to_->text().toStdString();
    model_->cc = cc_->text().toStdString();
    model_->bcc = bcc_->text().toStdString();
    model_->subject = subject_->text().toStdString();
    // The user's text without the HTML signature the editor shows: the model puts the
    // signature in itself, markers and all.
    QTextDocument* text = editor_->document();
    std::unique_ptr<QTextDocument> copy;  // only when there is a signature to leave out
    QString plain;
    if (signature_frame(*text)) {
      copy.reset(text->clone());
      text = copy.get();
      QTextFrame* frame = signature_frame(*text);
      QTextCursor cursor(text);
      cursor.setPosition(frame->firstPosition() - 1);
      cursor.setPosition(frame->lastPosition() + 1, QTextCursor::KeepAnchor);
      cursor.removeSelectedText();
      plain = text->toPlainText();
      while (plain.endsWith('\n')) plain.chop(1);
    } else {
      plain = text->toPlainText();
      // The user deleted the signature's frame along with other text: it stays out.
      if (!model_->signature_html().empty()) model_->forget_signature();
    }
    model_->set_body((plain + hiddenQuote_).toStdString(),
                     rich_ ? std::optional(text->toHtml().toStdString()) : std::nullopt);
  };
  model_->onStateChanged = [this] { refresh_state(); };
  model_->onQuoteChanged = [this](const std::string& arrived) { quote_changed(arrived); };
  resize(780, 680);
}

ComposerWindow::~ComposerWindow() {
  // Destroyed without a close (the program quits): what was written is kept all the same.
  model_->close();
  model_->onCollect = nullptr;
  model_->onStateChanged = nullptr;
  model_->onQuoteChanged = nullptr;
}

void ComposerWindow::build() {
  auto* toolbar = addToolBar("composer");
  toolbar->setObjectName("composerToolbar");
  toolbar->setMovable(false);
  toolbar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  auto add = [&](const char* name, std::string_view key, QKeySequence keys,
                 std::function<void()> run) {
    auto* a = toolbar->addAction(ui_text(key));
    a->setObjectName(name);
    a->setShortcut(keys);
    connect(a, &QAction::triggered, this, [run] { run(); });
    return a;
  };
  auto* sendAction = add("send", "desktop.composer.send", QKeySequence(Qt::CTRL | Qt::Key_Return),
                         [this] { send(); });
  QFont bold = font();
  bold.setBold(true);
  if (auto* button = toolbar->widgetForAction(sendAction)) button->setFont(bold);
  add("sendLater", "desktop.composer.send_later", {}, [this] { send_later(); });
  toolbar->addSeparator();
  add("attach", "desktop.composer.attach", QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A), [this] {
    attach_files(QFileDialog::getOpenFileNames(this, ui_text("desktop.composer.attach")));
  });
  for (auto [name, key, fill] :
       {std::tuple{"templates", "desktop.composer.template", &ComposerWindow::fill_templates},
        std::tuple{"signatures", "desktop.composer.signature", &ComposerWindow::fill_signatures}}) {
    auto* menu = new QMenu(this);
    connect(menu, &QMenu::aboutToShow, this, [this, menu, fill = fill] { (this->*fill)(menu); });
    auto* button = new QToolButton(toolbar);
    button->setObjectName(name);
    button->setText(ui_text(key));
    button->setMenu(menu);
    button->setPopupMode(QToolButton::InstantPopup);
    toolbar->addWidget(button);
  }
  toolbar->addSeparator();
  auto format = [this](auto change) {
    // Formatting makes an HTML body out of the editor: the quote must be in it.
    show_quote();
    rich_ = true;
    change();
    editor_->setFocus();
  };
  auto* b = add("bold", "desktop.composer.bold", QKeySequence::Bold, [this, format] {
    format([this] {
      editor_->setFontWeight(editor_->fontWeight() > QFont::Normal ? QFont::Normal : QFont::Bold);
    });
  });
  b->setFont(bold);
  add("italic", "desktop.composer.italic", QKeySequence::Italic,
      [this, format] { format([this] { editor_->setFontItalic(!editor_->fontItalic()); }); });
  add("underline", "desktop.composer.underline", QKeySequence::Underline,
      [this, format] { format([this] { editor_->setFontUnderline(!editor_->fontUnderline()); }); });
  add("list", "desktop.composer.list", {}, [this, format] {
    format([this] { editor_->textCursor().createList(QTextListFormat::ListDisc); });
  });

  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  assistants_ = new QVBoxLayout();
  assistants_->setSpacing(0);
  column->addLayout(assistants_);

  form_ = new QWidget(central);
  auto* fields = new QFormLayout(form_);
  fields->setContentsMargins(12, 10, 12, 6);
  fields->setLabelAlignment(Qt::AlignRight | Qt::AlignVCenter);
  from_ = new QComboBox(form_);
  from_->setObjectName("from");
  for (const auto& account : model_->accounts())
    from_->addItem(q(ComposerModel::from_text(account)), q(account.id));
  from_->setCurrentIndex(std::max(0, from_->findData(q(model_->account().id))));
  connect(from_, &QComboBox::activated, this, [this](int index) {
    model_->set_account(from_->itemData(index).toString().toStdString());
    load_body();
  });
  fields->addRow(ui_text("desktop.composer.from"), from_);
  auto line = [&](const char* name, std::string_view label, const std::string& value) {
    auto* edit = new QLineEdit(q(value), form_);
    edit->setObjectName(name);
    fields->addRow(ui_text(label), edit);
    connect(edit, &QLineEdit::textEdited, this, [this] { model_->edited(); });
    return edit;
  };
  to_ = line("to", "desktop.composer.to", model_->to);
  cc_ = line("cc", "desktop.composer.cc", model_->cc);
  bcc_ = line("bcc", "desktop.composer.bcc", model_->bcc);
  subject_ = line("subject", "desktop.composer.subject", model_->subject);
  for (auto* field : {to_, cc_, bcc_}) add_completion(field);
  connect(subject_, &QLineEdit::textEdited, this, [this] { update_title(); });
  column->addWidget(form_);
  auto* rule = new QFrame(central);
  rule->setFrameShape(QFrame::HLine);
  rule->setFrameShadow(QFrame::Sunken);

  attachmentList_ = new QListWidget(central);
  attachmentList_->setObjectName("attachments");
  attachmentList_->setFlow(QListView::LeftToRight);
  attachmentList_->setWrapping(false);
  attachmentList_->setSpacing(2);
  attachmentList_->setContentsMargins(8, 0, 8, 0);
  attachmentList_->setFixedHeight(fontMetrics().height() + 18);
  attachmentList_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  attachmentList_->setFrameShape(QFrame::NoFrame);
  attachmentList_->setContextMenuPolicy(Qt::ActionsContextMenu);
  auto* remove = new QAction(ui_text("desktop.composer.remove_attachment"), attachmentList_);
  remove->setShortcut(QKeySequence::Delete);
  remove->setShortcutContext(Qt::WidgetShortcut);
  connect(remove, &QAction::triggered, this, [this] {
    const int row = attachmentList_->currentRow();
    if (row < 0) return;
    model_->remove_attachment(static_cast<size_t>(row));
    refresh_attachments();
  });
  attachmentList_->addAction(remove);
  column->addWidget(attachmentList_);
  sizeWarning_ = new QLabel(central);
  sizeWarning_->setObjectName("sizeWarning");
  sizeWarning_->setWordWrap(true);
  sizeWarning_->setContentsMargins(12, 0, 12, 4);
  sizeWarning_->setStyleSheet("color: #c0392b;");
  column->addWidget(sizeWarning_);
  column->addWidget(rule);

  auto* editor = new BodyEditor(central);
  editor->onFiles = [this](const QStringList& files) { attach_files(files); };
  editor_ = editor;
  editor_->setObjectName("body");
  editor_->setAcceptRichText(true);
  editor_->setFrameShape(QFrame::NoFrame);
  editor_->document()->setDocumentMargin(12);
  // Every change restarts the draft's pause; the text itself is read only when it is saved.
  connect(editor_, &QTextEdit::textChanged, this, [this] { model_->edited(); });
  column->addWidget(editor_, 1);
  quoteButton_ = new QPushButton(central);
  quoteButton_->setObjectName("showQuote");
  quoteButton_->setFlat(true);
  quoteButton_->setStyleSheet(QString("text-align: left; padding: 6px 12px; color: %1;")
                                  .arg(palette().color(QPalette::Link).name()));
  quoteButton_->setCursor(Qt::PointingHandCursor);
  connect(quoteButton_, &QPushButton::clicked, this, [this] { show_quote(); });
  column->addWidget(quoteButton_);

  errorBar_ = bar(central, "errorBar", errorText_, QColor(0xfd, 0xec, 0xea));
  errorText_->setStyleSheet("color: #8a1c12;");
  column->addWidget(errorBar_);
  countdownBar_ =
      bar(central, "countdownBar", countdownText_, palette().color(QPalette::Highlight));
  countdownText_->setStyleSheet("color: white; font-weight: bold;");
  auto* undoButton = new QPushButton(ui_text("desktop.composer.undo"), countdownBar_);
  undoButton->setObjectName("undoSend");
  connect(undoButton, &QPushButton::clicked, this, [this] { undo(); });
  auto* nowButton = new QPushButton(ui_text("desktop.composer.send_now"), countdownBar_);
  connect(nowButton, &QPushButton::clicked, this, [this] { model_->send_now(); });
  countdownBar_->layout()->addWidget(undoButton);
  countdownBar_->layout()->addWidget(nowButton);
  column->addWidget(countdownBar_);
  draftNote_ = new QLabel(central);
  draftNote_->setObjectName("draftNote");
  draftNote_->setContentsMargins(12, 2, 12, 4);
  draftNote_->setForegroundRole(QPalette::Mid);
  column->addWidget(draftNote_);
  setCentralWidget(central);

  load_body();
  refresh_attachments();
  update_title();
}

void ComposerWindow::load_body() {
  QSignalBlocker block(editor_);
  rich_ = model_->html_body().has_value();
  hiddenQuote_.clear();
  size_t head = 0;
  if (rich_) {
    editor_->setHtml(q(*model_->html_body()));
  } else {
    // The quote of an answer stays out of the editor until asked for: a long one would make
    // every keystroke lay out the whole text again. It goes out with the message all the same.
    const std::string& body = model_->body();
    head = model_->replying_to() ? EmailSignatureService::splitAtQuote(body).first.size()
                                 : body.size();
    hiddenQuote_ = q(body.substr(head));
    editor_->setPlainText(q(body.substr(0, head)));
  }
  // An HTML signature is shown as it will look (sanitised: nothing of it runs or loads), in a
  // frame of its own that the text read back from the editor leaves out.
  if (!model_->signature_html().empty()) {
    QTextCursor end(editor_->document());
    end.movePosition(QTextCursor::End);
    if (!rich_ && head > 0) end.insertBlock();
    QTextFrameFormat frame;
    frame.setProperty(kSignatureFrame, true);
    frame.setTopMargin(6);
    QTextCursor inside = end.insertFrame(frame)->firstCursorPosition();
    inside.insertHtml(q(HtmlSanitizer::sanitize(model_->signature_html()).html));
  }
  update_quote_button();
  // The cursor where the user writes: before the signature and the quote.
  QTextCursor cursor(editor_->document());
  cursor.movePosition(QTextCursor::Start);
  editor_->setTextCursor(cursor);
  subject_->setText(q(model_->subject));
}

void ComposerWindow::update_quote_button() {
  const bool loading = model_->quote() == ComposerModel::Quote::loading;
  quoteButton_->setText(
      "⋯  " +
      (loading ? ui_text("desktop.composer.quote_loading")
               : q(localized_format(
                     "desktop.composer.show_quote",
                     QLocale().formattedDataSize(hiddenQuote_.toUtf8().size()).toStdString()))));
  quoteButton_->setEnabled(!loading);
  quoteButton_->setVisible(loading || !hiddenQuote_.isEmpty());
}

void ComposerWindow::quote_changed(const std::string& arrived) {
  update_quote_button();
  if (model_->quote() == ComposerModel::Quote::failed)
    return show_error(q(localized_format("desktop.composer.quote_failed", model_->quote_error())));
  if (error_text() == ui_text("desktop.composer.wait_for_quote")) show_error({});
  if (rich_) {
    QSignalBlocker block(editor_);
    QTextCursor end(editor_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(q(arrived));
  } else {
    hiddenQuote_ += q(arrived);
  }
  update_quote_button();
  refresh_attachments();
}

bool ComposerWindow::quote_loading() const {
  return model_->quote() == ComposerModel::Quote::loading;
}

void ComposerWindow::show_quote() {
  if (hiddenQuote_.isEmpty()) return;
  const QTextCursor keep = editor_->textCursor();
  QTextCursor end(editor_->document());
  end.movePosition(QTextCursor::End);
  {
    QSignalBlocker block(editor_);
    end.insertText(hiddenQuote_);
  }
  hiddenQuote_.clear();
  quoteButton_->hide();
  editor_->setTextCursor(keep);
}

void ComposerWindow::update_title() {
  const QString subject = subject_->text().trimmed();
  setWindowTitle(subject.isEmpty() ? ui_text("desktop.composer.title") : subject);
}

QString ComposerWindow::recipients_text() const {
  QStringList parts;
  for (auto* field : {to_, cc_, bcc_})
    if (!field->text().trimmed().isEmpty()) parts << field->text().trimmed();
  return parts.join(", ");
}

void ComposerWindow::add_assistant(QWidget* bar) {
  bar->setParent(this);
  assistants_->addWidget(bar);
}

void ComposerWindow::add_completion(QLineEdit* field) {
  auto* list = new QStringListModel(field);
  auto* completer = new QCompleter(list, field);
  completer->setCompletionMode(QCompleter::UnfilteredPopupCompletion);
  completer->setWidget(field);
  connect(field, &QLineEdit::textEdited, this, [this, field, list, completer](const QString& text) {
    QStringList entries;
    for (const auto& entry : model_->completions(text.toStdString())) entries << q(entry);
    list->setStringList(entries);
    if (entries.isEmpty())
      completer->popup()->hide();
    else
      completer->complete();
  });
  connect(completer, qOverload<const QString&>(&QCompleter::activated), this,
          [this, field](const QString& chosen) {
            field->setText(
                q(ComposerModel::complete(field->text().toStdString(), chosen.toStdString())));
            model_->edited();
          });
}

void ComposerWindow::fill_templates(QMenu* menu) {
  menu->clear();
  for (const auto& t : model_->templates()) {
    auto* a = menu->addAction(q(t.name));
    connect(a, &QAction::triggered, this, [this, id = t.id] {
      model_->apply_template(id);
      load_body();
      update_title();
    });
  }
}

void ComposerWindow::fill_signatures(QMenu* menu) {
  menu->clear();
  const auto current = model_->signature();
  auto pick = [&](const QString& label, const std::string& id) {
    auto* a = menu->addAction(label);
    a->setCheckable(true);
    a->setChecked(current ? current->id == id : id.empty());
    connect(a, &QAction::triggered, this, [this, id] {
      model_->choose_signature(id);
      load_body();
    });
  };
  pick(ui_text("desktop.composer.no_signature"), {});
  for (const auto& s : model_->signatures()) pick(q(s.name), s.id);
}

void ComposerWindow::attach_files(const QStringList& paths) {
  for (const QString& path : paths) {
    try {
      model_->attach_file(path.toStdString());
    } catch (const std::exception& e) {
      show_error(q(e.what()));
    }
  }
  refresh_attachments();
}

void ComposerWindow::refresh_attachments() {
  attachmentList_->clear();
  const QLocale locale;
  for (const auto& a : model_->attachments()) {
    auto* item = new QListWidgetItem(
        QIcon::fromTheme("mail-attachment", style()->standardIcon(QStyle::SP_FileIcon)),
        q(a.name) + "  (" + locale.formattedDataSize(static_cast<qint64>(a.data.size())) + ")",
        attachmentList_);
    item->setToolTip(q(a.mimeType));
  }
  attachmentList_->setVisible(!model_->attachments().empty());
  const auto warning = model_->size_warning();
  sizeWarning_->setText(warning ? q(*warning) : QString());
  sizeWarning_->setVisible(warning.has_value());
}

void ComposerWindow::show_error(const QString& text) {
  errorText_->setText(text);
  errorBar_->setVisible(!text.isEmpty());
}

QString ComposerWindow::countdown_text() const {
  return countdownBar_->isHidden() ? QString() : countdownText_->text();
}

QString ComposerWindow::error_text() const {
  return errorBar_->isHidden() ? QString() : errorText_->text();
}

void ComposerWindow::send() {
  if (model_->state() != ComposerModel::State::editing) return;
  show_error({});
  try {
    model_->send();
  } catch (const std::exception& e) {
    show_error(q(e.what()));
  }
}

void ComposerWindow::undo() { model_->undo(); }

void ComposerWindow::send_later() {
  if (model_->state() != ComposerModel::State::editing) return;
  if (auto at = ask_send_time(this)) schedule_at(*at);
}

void ComposerWindow::schedule_at(double at) {
  show_error({});
  try {
    model_->schedule(at);
  } catch (const std::exception& e) {
    show_error(q(e.what()));
  }
}

void ComposerWindow::refresh_state() {
  using State = ComposerModel::State;
  const State state = model_->state();
  form_->setEnabled(state == State::editing);
  editor_->setReadOnly(state != State::editing);
  for (QAction* a : findChildren<QAction*>())
    if (a->objectName() == "send" || a->objectName() == "sendLater")
      a->setEnabled(state == State::editing);
  countdownBar_->setVisible(state == State::counting || state == State::sending);
  for (auto* button : countdownBar_->findChildren<QPushButton*>())
    button->setVisible(state == State::counting);
  if (state == State::counting)
    countdownText_->setText(q(localized_format("undo.send.countdown",
                                               static_cast<int64_t>(model_->remaining_seconds()))));
  if (state == State::sending) countdownText_->setText(ui_text("desktop.composer.sending"));
  if (state == State::editing && !model_->error().empty())
    show_error(q(localized_format("desktop.composer.failed", model_->error())));
  if (state == State::editing && !model_->draft_id().empty())
    draftNote_->setText(ui_text("desktop.composer.draft_kept"));
  if (state == State::sent || state == State::scheduled) {
    if (onDone)
      onDone(state == State::sent ? ui_text("desktop.composer.sent")
                                  : ui_text("desktop.composer.scheduled"));
    close();
  }
}

void ComposerWindow::closeEvent(QCloseEvent* event) {
  const bool wasCounting = model_->state() == ComposerModel::State::counting;
  model_->close();
  if (wasCounting && onDone) onDone(ui_text("desktop.composer.kept_as_draft"));
  event->accept();
}

void ComposerWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (!local_files(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void ComposerWindow::dropEvent(QDropEvent* event) {
  const QStringList files = local_files(event->mimeData());
  if (files.isEmpty()) return;
  attach_files(files);
  event->acceptProposedAction();
}

std::optional<double> ask_send_time(QWidget* parent) {
  QDialog dialog(parent);
  dialog.setObjectName("sendLater");
  dialog.setWindowTitle(ui_text("desktop.send_later.title"));
  dialog.setMinimumWidth(380);
  auto* layout = new QVBoxLayout(&dialog);
  layout->setContentsMargins(16, 16, 16, 12);
  layout->setSpacing(8);
  const QDateTime now = QDateTime::currentDateTime();
  const QDateTime tomorrow(now.date().addDays(1), QTime(8, 0));
  const QDateTime monday(now.date().addDays(8 - now.date().dayOfWeek()), QTime(8, 0));
  auto* edit = new QDateTimeEdit(now.addSecs(3600), &dialog);
  edit->setCalendarPopup(true);
  edit->setDisplayFormat("yyyy-MM-dd HH:mm");
  edit->setMinimumDateTime(now);
  const QLocale locale;
  for (auto [key, when] : {std::pair{"desktop.send_later.in_hour", now.addSecs(3600)},
                           std::pair{"desktop.send_later.tomorrow", tomorrow},
                           std::pair{"desktop.send_later.monday", monday}}) {
    auto* button = new QPushButton(
        ui_text(key) + "  —  " + locale.toString(when, QLocale::ShortFormat), &dialog);
    button->setStyleSheet("text-align: left; padding: 6px 10px;");
    QObject::connect(button, &QPushButton::clicked, &dialog, [&dialog, edit, when = when] {
      edit->setDateTime(when);
      dialog.accept();
    });
    layout->addWidget(button);
  }
  layout->addSpacing(8);  // the presets above, a time of one's own below
  auto* row = new QHBoxLayout();
  row->addWidget(new QLabel(ui_text("desktop.send_later.at"), &dialog));
  row->addWidget(edit, 1);
  layout->addLayout(row);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Ok)->setText(ui_text("desktop.send_later.schedule"));
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  layout->addWidget(buttons);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return static_cast<double>(edit->dateTime().toSecsSinceEpoch());
}

}  // namespace kestrova::app::desktop
