#include "app/desktop/ai_panel.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStackedWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/core/message_ai_tasks.h"
#include "app/desktop/ui_text.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

namespace {

using Scope = AiPanelModel::Scope;
using Blocker = AiPanelModel::Blocker;

// A run of the answer that is a link or an image, found before any is changed.
struct Marked {
  int position = 0, length = 0;
  bool image = false;
  QString target, text;
};

// Images become "[image: address]"; a link whose text is not its target gets the target
// written after it, so a model cannot hide where a link goes.
void neutralise(QTextDocument& document) {
  std::vector<Marked> marked;
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      const QTextCharFormat format = fragment.charFormat();
      if (format.isImageFormat())
        marked.push_back(
            {fragment.position(), fragment.length(), true, format.toImageFormat().name(), {}});
      else if (format.isAnchor() && !format.anchorHref().isEmpty())
        marked.push_back(
            {fragment.position(), fragment.length(), false, format.anchorHref(), fragment.text()});
    }
  }
  // From the end, so the positions still to change stay where they were found.
  for (auto m = marked.rbegin(); m != marked.rend(); ++m) {
    QTextCursor cursor(&document);
    QTextCharFormat plain;
    if (m->image) {
      cursor.setPosition(m->position);
      cursor.setPosition(m->position + m->length, QTextCursor::KeepAnchor);
      cursor.insertText("[" + ui_text("desktop.ai_panel.image") + " " + m->target + "]", plain);
      continue;
    }
    if (m->text.trimmed() == m->target.trimmed()) continue;
    cursor.setPosition(m->position + m->length);
    plain.setForeground(QColor(0x6a, 0x73, 0x7d));
    cursor.insertText(" <" + m->target + ">", plain);
  }
}

}  // namespace

AnswerView::AnswerView(QWidget* parent) : QTextBrowser(parent) {
  setOpenLinks(false);
  setOpenExternalLinks(false);
  setReadOnly(true);
}

QVariant AnswerView::loadResource(int, const QUrl&) { return {}; }

void insert_answer(QTextCursor& cursor, const QString& markdown) {
  QTextDocument answer;
  answer.setMarkdown(markdown,
                     QTextDocument::MarkdownFeatures(QTextDocument::MarkdownDialectGitHub |
                                                     QTextDocument::MarkdownNoHTML));
  neutralise(answer);
  cursor.insertFragment(QTextDocumentFragment(&answer));
}

AiPanel::AiPanel(store::EmailDatabase& database, UserPreferences& preferences, QWidget* parent)
    : QDockWidget(ui_text("desktop.ai_panel.title"), parent), model_(database, preferences) {
  setObjectName("aiPanel");
  setAllowedAreas(Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea);
  build();
  model_.onConversationChanged = [this] {
    show_state();
    schedule_render();
  };
  model_.onInsightsChanged = [this] {
    render_insights();
    update_state();
  };
  model_.onProviderChecked = [this] { show_state(); };
  update_state();
  render_insights();
}

AiPanel::~AiPanel() {
  model_.onConversationChanged = nullptr;
  model_.onInsightsChanged = nullptr;
  model_.onProviderChecked = nullptr;
}

void AiPanel::build() {
  auto* content = new QWidget(this);
  auto* layout = new QVBoxLayout(content);
  layout->setContentsMargins(10, 8, 10, 10);
  layout->setSpacing(8);

  auto* scopeRow = new QHBoxLayout;
  auto* scopeLabel = new QLabel(ui_text("desktop.ai_panel.scope"), content);
  scope_ = new QComboBox(content);
  scope_->setObjectName("aiScope");
  for (const auto& [kind, key] :
       {std::pair{Scope::message, "qa.scope.message"}, std::pair{Scope::thread, "qa.scope.thread"},
        std::pair{Scope::folder, "qa.scope.folder"},
        std::pair{Scope::account, "chat.scope.account"}})
    scope_->addItem(ui_text(key), static_cast<int>(kind));
  scopeLabel->setBuddy(scope_);
  scopeRow->addWidget(scopeLabel);
  scopeRow->addWidget(scope_, 1);
  layout->addLayout(scopeRow);
  connect(scope_, &QComboBox::currentIndexChanged, this, [this] {
    model_.set_scope(static_cast<Scope>(scope_->currentData().toInt()));
    update_state();
  });

  stack_ = new QStackedWidget(content);
  layout->addWidget(stack_, 1);

  // No usable profile: what is missing and the way to the settings.
  auto* setup = new QWidget(stack_);
  setup->setObjectName("aiSetup");
  auto* setupLayout = new QVBoxLayout(setup);
  setupLayout->setContentsMargins(4, 24, 4, 4);
  auto* setupTitle = new QLabel(ui_text("desktop.ai_panel.setup_title"), setup);
  QFont titleFont = setupTitle->font();
  titleFont.setBold(true);
  titleFont.setPointSizeF(titleFont.pointSizeF() * 1.2);
  setupTitle->setFont(titleFont);
  setupTitle->setWordWrap(true);
  auto* setupIntro = new QLabel(ui_text("desktop.ai_panel.setup_intro"), setup);
  setupIntro->setWordWrap(true);
  setupText_ = new QLabel(setup);
  setupText_->setObjectName("aiSetupText");
  setupText_->setWordWrap(true);
  setupText_->setTextFormat(Qt::PlainText);
  setupText_->setStyleSheet("color: palette(mid);");
  openSettings_ = new QPushButton(ui_text("desktop.ai_panel.open_settings"), setup);
  openSettings_->setObjectName("aiOpenSettings");
  openSettings_->setDefault(true);
  connect(openSettings_, &QPushButton::clicked, this, [this] {
    if (onOpenSettings) onOpenSettings();
  });
  setupLayout->addWidget(setupTitle);
  setupLayout->addWidget(setupIntro);
  setupLayout->addWidget(setupText_);
  setupLayout->addSpacing(8);
  setupLayout->addWidget(openSettings_, 0, Qt::AlignLeft);
  setupLayout->addStretch(1);
  stack_->addWidget(setup);

  auto* main = new QWidget(stack_);
  auto* mainLayout = new QVBoxLayout(main);
  mainLayout->setContentsMargins(0, 0, 0, 0);
  mainLayout->setSpacing(6);

  insights_ = new QWidget(main);
  insights_->setObjectName("aiInsights");
  insights_->setAttribute(Qt::WA_StyledBackground);
  insights_->setStyleSheet(
      "QWidget#aiInsights { background: palette(alternate-base); border-radius: 6px; }");
  auto* grid = new QGridLayout(insights_);
  grid->setContentsMargins(8, 6, 4, 6);
  grid->setHorizontalSpacing(8);
  grid->setVerticalSpacing(4);
  grid->setColumnStretch(1, 1);
  auto add_row = [&](int row, std::string_view key, QLabel*& value, QToolButton*& refresh,
                     MessageInsight insight, const char* name) {
    auto* label = new QLabel(ui_text(key), insights_);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    value = new QLabel(insights_);
    value->setObjectName(name);
    value->setWordWrap(true);
    value->setTextFormat(Qt::PlainText);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    refresh = new QToolButton(insights_);
    refresh->setText("↻");
    refresh->setToolTip(ui_text("desktop.ai_panel.refresh"));
    refresh->setAutoRaise(true);
    connect(refresh, &QToolButton::clicked, this, [this, insight] { model_.refresh(insight); });
    grid->addWidget(label, row, 0, Qt::AlignTop);
    grid->addWidget(value, row, 1, Qt::AlignTop);
    grid->addWidget(refresh, row, 2, Qt::AlignTop);
  };
  add_row(0, "desktop.ai_panel.summary", summary_, refreshSummary_, MessageInsight::summary,
          "aiSummaryValue");
  add_row(1, "desktop.ai_panel.priority", priority_, refreshPriority_, MessageInsight::priority,
          "aiPriorityValue");
  add_row(2, "desktop.ai_panel.tags", tags_, refreshTags_, MessageInsight::tags, "aiTagsValue");
  add_row(3, "desktop.ai_panel.action_items", actionItems_, refreshActions_,
          MessageInsight::actionItems, "aiActionItemsValue");
  actionList_ = new QWidget(insights_);
  actionList_->setObjectName("aiActionList");
  auto* actionRows = new QVBoxLayout(actionList_);
  actionRows->setContentsMargins(0, 0, 0, 0);
  actionRows->setSpacing(2);
  grid->addWidget(actionList_, 4, 0, 1, 3);
  mainLayout->addWidget(insights_);
  insightError_ = new QLabel(main);
  insightError_->setObjectName("aiInsightError");
  insightError_->setWordWrap(true);
  insightError_->setTextFormat(Qt::PlainText);
  insightError_->setStyleSheet("color: #b3261e;");
  insightError_->hide();
  mainLayout->addWidget(insightError_);

  view_ = new AnswerView(main);
  view_->setObjectName("aiConversation");
  view_->setPlaceholderText(ui_text("desktop.ai_panel.placeholder"));
  mainLayout->addWidget(view_, 1);

  notice_ = new QLabel(main);
  notice_->setObjectName("aiNotice");
  notice_->setWordWrap(true);
  notice_->setTextFormat(Qt::PlainText);
  notice_->hide();
  mainLayout->addWidget(notice_);

  auto* askRow = new QHBoxLayout;
  question_ = new QLineEdit(main);
  question_->setObjectName("aiQuestion");
  question_->setPlaceholderText(ui_text("desktop.ai_panel.question"));
  ask_ = new QPushButton(ui_text("desktop.ai_panel.ask"), main);
  ask_->setObjectName("aiAsk");
  stop_ = new QPushButton(ui_text("desktop.ai_panel.stop"), main);
  stop_->setObjectName("aiStop");
  askRow->addWidget(question_, 1);
  askRow->addWidget(ask_);
  askRow->addWidget(stop_);
  mainLayout->addLayout(askRow);
  newConversation_ = new QPushButton(ui_text("desktop.ai_panel.new_conversation"), main);
  newConversation_->setObjectName("aiNewConversation");
  newConversation_->setFlat(true);
  mainLayout->addWidget(newConversation_, 0, Qt::AlignLeft);
  stack_->addWidget(main);

  // The Ask and Stop buttons hide in turn while an answer comes: the question field keeps
  // the focus, so that it does not wander off to another part of the window.
  auto send = [this] {
    if (model_.ask(question_->text())) question_->clear();
    question_->setFocus();
    update_state();
  };
  connect(question_, &QLineEdit::returnPressed, this, send);
  connect(ask_, &QPushButton::clicked, this, send);
  connect(stop_, &QPushButton::clicked, this, [this] {
    model_.stop();
    question_->setFocus();
    update_state();
  });
  connect(newConversation_, &QPushButton::clicked, this, [this] {
    model_.clear_conversation();
    update_state();
  });

  setWidget(content);
  setMinimumWidth(300);
}

void AiPanel::show_message(const std::optional<std::string>& id) {
  model_.show_message(id);
  update_state();
}

void AiPanel::ask(const QString& question) {
  question_->setText(question);
  ask_->click();
}

void AiPanel::showEvent(QShowEvent* event) {
  QDockWidget::showEvent(event);
  update_state();
}

void AiPanel::update_state() {
  blocker_ = model_.blocker();
  show_state();
  if (!blocker_ && isVisible()) model_.check_provider();
}

void AiPanel::show_state() {
  const auto& blocker = blocker_;
  const bool setup = blocker == Blocker::noProfile;
  if (setup) setupText_->setText(model_.blocker_text(*blocker));
  openSettings_->setVisible(static_cast<bool>(onOpenSettings));
  stack_->setCurrentIndex(setup ? 0 : 1);
  const bool open = blocker != Blocker::noMessage;
  if (blocker && !setup) {
    notice_->setText(model_.blocker_text(*blocker));
    // A refusal is a warning; the hint to open a message is not.
    notice_->setStyleSheet(open ? "color: #b3261e;" : "color: palette(mid);");
  }
  // A provider that does not answer is said before anything is asked of it.
  const QString& silent = model_.provider_silent();
  if (!blocker && !silent.isEmpty()) {
    notice_->setText(silent);
    notice_->setStyleSheet("color: #b3261e;");
  }
  notice_->setVisible((blocker && !setup) || (!blocker && !silent.isEmpty()));
  insights_->setVisible(open);
  const bool answering = model_.answering();
  question_->setEnabled(!blocker);
  ask_->setEnabled(!blocker && !answering);
  stop_->setVisible(answering);
  ask_->setVisible(!answering);
  newConversation_->setEnabled(!model_.turns().empty() || answering);
  for (auto [button, insight] : {std::pair{refreshSummary_, MessageInsight::summary},
                                 std::pair{refreshPriority_, MessageInsight::priority},
                                 std::pair{refreshTags_, MessageInsight::tags},
                                 std::pair{refreshActions_, MessageInsight::actionItems}})
    button->setEnabled(!blocker && !model_.refreshing(insight));
}

void AiPanel::render_insights() {
  const auto& i = model_.insights();
  const QString none = ui_text("desktop.ai_panel.not_analysed");
  auto show = [&](QLabel* label, const QString& text, MessageInsight insight) {
    const bool working = model_.refreshing(insight);
    label->setText(working ? ui_text("desktop.ai_panel.working") : text.isEmpty() ? none : text);
    label->setStyleSheet(text.isEmpty() || working ? "color: palette(mid);" : "");
  };
  show(summary_, i.summary.value_or(QString()), MessageInsight::summary);
  show(priority_,
       i.priority ? ui_text("priority." + std::string(store::raw_value(*i.priority))) : QString(),
       MessageInsight::priority);
  show(tags_, i.tags.join(", "), MessageInsight::tags);
  // The items themselves are listed under the row, each with its button.
  show(actionItems_, QString(), MessageInsight::actionItems);
  actionItems_->setVisible(i.actionItems.isEmpty() ||
                           model_.refreshing(MessageInsight::actionItems));
  render_action_items();
  insightError_->setText(model_.insight_error());
  insightError_->setVisible(!model_.insight_error().isEmpty());
}

// Each action item with a button that puts it into the user's action items (a tick once it is
// there), and one button for all of them.
void AiPanel::render_action_items() {
  // The rows go later: this may run inside a click of one of their buttons.
  for (QWidget* old : actionList_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    old->setParent(nullptr);
    old->deleteLater();
  }
  const auto& i = model_.insights();
  const bool working = model_.refreshing(MessageInsight::actionItems);
  actionList_->setVisible(!i.actionItems.isEmpty() && !working);
  if (i.actionItems.isEmpty() || working) return;
  auto* rows = static_cast<QVBoxLayout*>(actionList_->layout());
  int open = 0;
  for (int n = 0; n < i.actionItems.size(); ++n) {
    const bool kept = n < static_cast<int>(i.actionItemKept.size()) && i.actionItemKept[n];
    open += kept ? 0 : 1;
    auto* row = new QWidget(actionList_);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    auto* title = new QLabel((kept ? "☑ " : "☐ ") + i.actionItems[n], row);
    title->setObjectName("aiActionItem");
    title->setWordWrap(true);
    title->setTextFormat(Qt::PlainText);
    title->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line->addWidget(title, 1, Qt::AlignTop);
    auto* add = new QToolButton(row);
    add->setObjectName("aiAddAction");
    add->setAutoRaise(true);
    add->setText(kept ? "✓" : "+");
    add->setEnabled(!kept);
    add->setToolTip(
        ui_text(kept ? "desktop.ai_panel.action_added" : "desktop.ai_panel.add_action"));
    connect(add, &QToolButton::clicked, this, [this, n] { keep_action_items(n); });
    line->addWidget(add, 0, Qt::AlignTop);
    rows->addWidget(row);
  }
  auto* all = new QPushButton(actionList_);
  all->setObjectName("aiAddAllActions");
  all->setText(open == 0                   ? "✓ " + ui_text("desktop.ai_panel.action_added")
               : i.actionItems.size() == 1 ? ui_text("desktop.ai_panel.add_action")
                                           : ui_text("desktop.ai_panel.add_all_actions"));
  all->setEnabled(open > 0);
  all->setFlat(open == 0);
  connect(all, &QPushButton::clicked, this, [this] { keep_action_items(std::nullopt); });
  rows->addWidget(all, 0, Qt::AlignLeft);
}

void AiPanel::keep_action_items(std::optional<int> index) {
  if (model_.keep_action_items(index) > 0 && onActionItemsKept) onActionItemsKept();
}

void AiPanel::schedule_render() {
  if (renderPending_) return;
  renderPending_ = true;
  // Pieces that arrived together are drawn together.
  QTimer::singleShot(0, this, [this] {
    renderPending_ = false;
    render_conversation();
  });
}

void AiPanel::render_conversation() {
  QScrollBar* bar = view_->verticalScrollBar();
  const bool atEnd = bar->value() >= bar->maximum() - 4;
  QTextDocument* document = view_->document();
  document->clear();
  QTextCursor cursor(document);
  QTextCharFormat muted;
  muted.setForeground(QColor(0x6a, 0x73, 0x7d));
  QTextCharFormat questionFormat;
  questionFormat.setFontWeight(QFont::DemiBold);
  QTextCharFormat error;
  error.setForeground(QColor(0xb3, 0x26, 0x1e));
  QTextBlockFormat questionBlock;
  questionBlock.setTopMargin(10);
  questionBlock.setBackground(view_->palette().alternateBase());
  questionBlock.setLeftMargin(4);
  bool first = true;
  for (const auto& turn : model_.turns()) {
    if (!first)
      cursor.insertBlock(questionBlock, questionFormat);
    else
      cursor.setBlockFormat(questionBlock);
    first = false;
    cursor.insertText(ui_text("desktop.ai_panel.you") + " ", muted);
    cursor.insertText(turn.question, questionFormat);
    QTextBlockFormat answerBlock;
    answerBlock.setTopMargin(6);
    cursor.insertBlock(answerBlock, QTextCharFormat());
    if (!turn.answer.isEmpty()) insert_answer(cursor, turn.answer);
    if (turn.answer.isEmpty() && turn.error.isEmpty() && !turn.stopped)
      cursor.insertText(ui_text("desktop.ai_panel.thinking"), muted);
    if (turn.stopped) {
      cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
      cursor.insertText(ui_text("desktop.ai_panel.stopped"), muted);
    }
    if (!turn.error.isEmpty()) {
      if (!turn.answer.isEmpty()) cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
      cursor.insertText(turn.error, error);
    }
  }
  if (atEnd) bar->setValue(bar->maximum());
  // The first piece of an answer is on screen now: the panel's latency figure.
  if (const auto arrived = model_.first_piece_arrived(); arrived && arrived != firstDrawn_) {
    firstDrawn_ = arrived;
    firstShown_ = AiPanelModel::Clock::now();
  }
}

QString AiPanel::conversation_text() const { return view_->toPlainText(); }

QTextDocument* AiPanel::conversation_document() const { return view_->document(); }

bool AiPanel::shows_setup() const { return stack_->currentIndex() == 0; }

QString AiPanel::notice_text() const { return notice_->isHidden() ? QString() : notice_->text(); }

}  // namespace kestrova::app::desktop
