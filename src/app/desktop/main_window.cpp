#include "app/desktop/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QStandardItemModel>
#include <QStatusBar>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>
#include <map>

#include "app/core/email_deep_link.h"
#include "app/core/mailbox/search_language.h"
#include "app/core/user_preferences.h"
#include "app/desktop/ai_panel.h"
#include "app/desktop/appearance.h"
#include "app/desktop/composer_assistant.h"
#include "app/desktop/composer_window.h"
#include "app/desktop/follow_up.h"
#include "app/desktop/mailbox_view.h"
#include "app/desktop/message_list_model.h"
#include "app/desktop/reading_pane.h"
#include "app/desktop/settings/accounts_page.h"
#include "app/desktop/settings/rules_page.h"
#include "app/desktop/settings/settings_dialog.h"
#include "app/desktop/ui_text.h"
#include "store/database.h"
#include "util/localization.h"
#include "util/time.h"

namespace kestrova::app::desktop {

namespace {

constexpr int kSelectionRole = Qt::UserRole + 1;  // index into selections_ of the tree
constexpr int kUnreadRole = Qt::UserRole + 2;
constexpr int kFolderIdRole = Qt::UserRole + 3;

// The mailbox tree's rows: name left, unread count right in bold.
class MailboxDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* p, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyleOptionViewItem o = option;
    initStyleOption(&o, index);
    const qlonglong unread = index.data(kUnreadRole).toLongLong();
    QString count = unread > 0 ? QString::number(unread) : QString();
    const QFontMetrics metrics(o.font);
    const int countWidth = count.isEmpty() ? 0 : metrics.horizontalAdvance(count) + 12;
    // The selection covers the whole row, the count included.
    const QWidget* widget = option.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawPrimitive(QStyle::PE_PanelItemViewItem, &o, p, widget);
    o.rect.setRight(o.rect.right() - countWidth);
    if (unread > 0) o.font.setBold(true);
    QStyledItemDelegate::paint(p, o, index);
    if (count.isEmpty()) return;
    p->save();
    QFont font = option.font;
    font.setBold(true);
    p->setFont(font);
    p->setPen(option.state & QStyle::State_Selected
                  ? option.palette.color(QPalette::HighlightedText)
                  : option.palette.color(QPalette::Highlight));
    p->drawText(QRect(option.rect.right() - countWidth, option.rect.top(), countWidth - 6,
                      option.rect.height()),
                Qt::AlignRight | Qt::AlignVCenter, count);
    p->restore();
  }
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(std::max(size.height(), option.fontMetrics.lineSpacing() + 10));
    return size;
  }
};

QIcon folder_icon(QStyle* style, std::optional<store::EmailFolderType> type) {
  using T = store::EmailFolderType;
  const auto theme = [&](const char* name, QStyle::StandardPixmap fallback) {
    return QIcon::fromTheme(name, style->standardIcon(fallback));
  };
  if (!type) return theme("folder", QStyle::SP_DirIcon);
  switch (*type) {
    case T::inbox:
      return theme("mail-inbox", QStyle::SP_DirHomeIcon);
    case T::sent:
      return theme("mail-send", QStyle::SP_ArrowRight);
    case T::drafts:
      return theme("document-edit", QStyle::SP_FileIcon);
    case T::trash:
      return theme("user-trash", QStyle::SP_TrashIcon);
    case T::spam:
      return theme("mail-mark-junk", QStyle::SP_MessageBoxWarning);
    case T::archive:
      return theme("folder-documents", QStyle::SP_DriveHDIcon);
    case T::custom:
      return theme("folder", QStyle::SP_DirIcon);
  }
  return {};
}

// A list of named entries filtered as the user types; Enter takes the current one.
class Picker : public QDialog {
 public:
  Picker(QWidget* parent, const QString& title,
         const std::vector<std::pair<QString, QString>>& entries)
      : QDialog(parent) {
    setWindowTitle(title);
    setObjectName("picker");
    auto* layout = new QVBoxLayout(this);
    filter_ = new QLineEdit(this);
    filter_->setPlaceholderText(ui_text("desktop.palette.filter"));
    list_ = new QListWidget(this);
    layout->addWidget(filter_);
    layout->addWidget(list_);
    for (const auto& [label, key] : entries) {
      auto* item = new QListWidgetItem(label, list_);
      item->setData(Qt::UserRole, key);
    }
    list_->setCurrentRow(0);
    connect(filter_, &QLineEdit::textChanged, this, [this](const QString& text) {
      int first = -1;
      for (int i = 0; i < list_->count(); ++i) {
        const bool hidden = !list_->item(i)->text().contains(text, Qt::CaseInsensitive);
        list_->item(i)->setHidden(hidden);
        if (!hidden && first < 0) first = i;
      }
      list_->setCurrentRow(first);
    });
    connect(filter_, &QLineEdit::returnPressed, this, &QDialog::accept);
    connect(list_, &QListWidget::itemActivated, this, &QDialog::accept);
    filter_->installEventFilter(this);
    resize(460, 380);
  }
  QString chosen() const {
    auto* item = list_->currentItem();
    return item && !item->isHidden() ? item->data(Qt::UserRole).toString() : QString();
  }
  QLineEdit* filter() const { return filter_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == filter_ && event->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      if (key == Qt::Key_Down || key == Qt::Key_Up) {
        int row = list_->currentRow();
        do row += key == Qt::Key_Down ? 1 : -1;
        while (row >= 0 && row < list_->count() && list_->item(row)->isHidden());
        if (row >= 0 && row < list_->count()) list_->setCurrentRow(row);
        return true;
      }
    }
    return QDialog::eventFilter(watched, event);
  }

 private:
  QLineEdit* filter_;
  QListWidget* list_;
};

// The message list. Typing a letter no shortcut takes does not search the list by its
// text, which would read every row of a large folder. A click in the left margin of a
// conversation's row opens or closes it.
class MessageListView : public QListView {
 public:
  using QListView::QListView;
  void keyboardSearch(const QString&) override {}
  std::function<bool(int row)> onMarginClicked;

 protected:
  void mousePressEvent(QMouseEvent* event) override {
    const QModelIndex index = indexAt(event->pos());
    if (index.isValid() && event->button() == Qt::LeftButton &&
        event->pos().x() - visualRect(index).left() < MessageListDelegate::kMarginWidth &&
        onMarginClicked && onMarginClicked(index.row()))
      return;
    QListView::mousePressEvent(event);
  }
};

std::vector<MailboxSelection>& selections_of(QStandardItemModel* model) {
  // The selections behind the tree's rows live with the model.
  auto* holder = model->property("selections").value<void*>();
  return *static_cast<std::vector<MailboxSelection>*>(holder);
}

// Return in a text field of the window (the AI panel's question) belongs to the field: Qt
// offers a key that no field claims to the shortcuts first, and Open's Return would take it.
// The search field is left to Open, which runs the search and shows its first result.
class FieldsKeepReturn : public QObject {
 public:
  FieldsKeepReturn(const QLineEdit* search, QObject* parent) : QObject(parent), search_(search) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::ShortcutOverride) {
      const int key = static_cast<QKeyEvent*>(event)->key();
      const auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
      if ((key == Qt::Key_Return || key == Qt::Key_Enter) && field && field != search_ &&
          !field->isReadOnly()) {
        event->accept();
        return true;
      }
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  const QLineEdit* search_;
};

}  // namespace

MainWindow::MainWindow(store::EmailDatabase& database, UserPreferences& preferences)
    : database_(database), preferences_(preferences), actions_(database) {
  setWindowTitle("Kestrova");
  readAfterDelay_ = std::make_unique<ReadAfterDelay>(
      std::chrono::seconds(preferences_.get(settings::emailMarkAsReadDelaySeconds)),
      [this](const std::string& id) {
        actions_.set_read({id}, true);
        reload_list(list_->currentIndex().row());
      });
  build_layout();
  build_actions();
  const int64_t inboxUnread = fill_mailbox_tree();
  choose(MailboxSelection{});
  dataVersion_ = database_.read([](store::Connection& c) {
    auto s = c.prepare("PRAGMA data_version");
    return s.step() ? s.integer(0).value_or(0) : int64_t{0};
  });
  liveTimer_ = new QTimer(this);
  connect(liveTimer_, &QTimer::timeout, this, [this] { poll_database(); });
  liveTimer_->start(kLivePollMilliseconds);
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_ = new QSystemTrayIcon(this);
    auto bring_back = [this] {
      showNormal();
      raise();
      activateWindow();
    };
    connect(tray_, &QSystemTrayIcon::activated, this, bring_back);
    auto* menu = new QMenu(this);
    menu->addAction(ui_text("desktop.tray.show"), this, bring_back);
    menu->addAction(ui_text("desktop.tray.quit"), qApp, &QApplication::quit);
    tray_->setContextMenu(menu);
    tray_->show();
  }
  update_tray(inboxUnread);
  resize(1280, 800);
}

MainWindow::~MainWindow() {
  delete static_cast<std::vector<MailboxSelection>*>(
      treeModel_->property("selections").value<void*>());
}

void MainWindow::build_layout() {
  auto* splitter = new QSplitter(this);
  tree_ = new QTreeView(splitter);
  tree_->setObjectName("mailboxes");
  tree_->setHeaderHidden(true);
  tree_->setItemDelegate(new MailboxDelegate(tree_));
  tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tree_->setFrameShape(QFrame::NoFrame);
  treeModel_ = new QStandardItemModel(this);
  treeModel_->setProperty("selections",
                          QVariant::fromValue<void*>(new std::vector<MailboxSelection>()));
  tree_->setModel(treeModel_);

  auto* messages = new MessageListView(splitter);
  build_follow_up_view(messages);  // the list shares its place with the action-items view
  messages->onMarginClicked = [this](int row) { return toggle_conversation(row); };
  list_ = messages;
  list_->setObjectName("messages");
  model_ = new MessageListModel(database_, this);
  delegate_ = new MessageListDelegate(list_);
  delegate_->showTags = preferences_.get(settings::featureTagSystemEnabled);
  list_->setModel(model_);
  list_->setItemDelegate(delegate_);
  // One row height for all rows: the view never asks 100,000 rows for their size.
  list_->setUniformItemSizes(true);
  list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list_->setFrameShape(QFrame::NoFrame);
  list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);

  pane_ = new ReadingPane(database_, preferences_, splitter);
  pane_->onLinkHovered = [this](const QString& url) { statusBar()->showMessage(url, 5000); };
  pane_->onStatus = [this](const QString& text) { statusBar()->showMessage(text, 8000); };
  splitter->setStretchFactor(0, 0);
  splitter->setStretchFactor(1, 1);
  splitter->setStretchFactor(2, 2);
  splitter->setSizes({230, 420, 630});
  splitter->setHandleWidth(1);
  setCentralWidget(splitter);

  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& index) {
            const QVariant slot = index.data(kSelectionRole);
            if (!slot.isValid()) return;
            search_->blockSignals(true);
            search_->clear();
            search_->blockSignals(false);
            searchTimer_->stop();
            beforeSearch_.reset();
            choose(selections_of(treeModel_)[slot.toULongLong()]);
          });
  connect(list_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this] { current_changed(); });
  connect(model_, &QAbstractItemModel::rowsInserted, this, [this] { update_status(); });

  search_ = new QLineEdit(this);
  search_->setObjectName("search");
  search_->setClearButtonEnabled(true);
  search_->setPlaceholderText(ui_text("desktop.search.placeholder"));
  search_->setMinimumWidth(320);
  searchTimer_ = new QTimer(this);
  searchTimer_->setSingleShot(true);
  connect(searchTimer_, &QTimer::timeout, this, [this] { run_search(); });
  connect(search_, &QLineEdit::textChanged, this, [this](const QString& t) { search_changed(t); });
  connect(search_, &QLineEdit::returnPressed, this, [this] {
    run_pending_search();
    list_->setFocus();
    if (model_->rowCount() > 0 && !list_->currentIndex().isValid()) select_row(0);
  });

  status_ = new QLabel(this);
  statusBar()->addWidget(status_);
  toast_ = new QWidget(this);
  toast_->setObjectName("toast");
  auto* toastLayout = new QHBoxLayout(toast_);
  toastLayout->setContentsMargins(8, 0, 8, 0);
  toastText_ = new QLabel(toast_);
  toastUndo_ = new QPushButton(ui_text("desktop.undo"), toast_);
  toastUndo_->setObjectName("undoButton");
  toastLayout->addWidget(toastText_);
  toastLayout->addWidget(toastUndo_);
  statusBar()->addPermanentWidget(toast_);
  toast_->hide();
  connect(toastUndo_, &QPushButton::clicked, this, [this] { undo_last(); });
  toastTimer_ = new QTimer(this);
  toastTimer_->setSingleShot(true);
  connect(toastTimer_, &QTimer::timeout, toast_, &QWidget::hide);
}

SettingsDialog* MainWindow::open_settings(const QString& pageId) {
  if (!settings_) {
    settings_ = new SettingsDialog(database_, preferences_, this);
    settings_->setAttribute(Qt::WA_DeleteOnClose);
    settings_->onSettingChanged = [this](std::string_view key) { apply_setting(key); };
    settings_->add_page("accounts", ui_text("desktop.settings.page.accounts"),
                        new AccountsPage(database_, preferences_, settings_));
    settings_->add_page("rules", ui_text("desktop.settings.page.rules"),
                        new RulesPage(database_, preferences_, settings_));
  }
  if (!pageId.isEmpty()) settings_->show_page(pageId);
  settings_->show();
  settings_->raise();
  settings_->activateWindow();
  return settings_;
}

void MainWindow::apply_setting(std::string_view key) {
  if (key == settings::appVisualSkin.key || key == settings::appInterfaceFontScale.key) {
    apply_appearance(preferences_);
    pane_->apply_settings();
    return;
  }
  if (key == settings::featureTagSystemEnabled.key) {
    delegate_->showTags = preferences_.get(settings::featureTagSystemEnabled);
    list_->viewport()->update();
  }
  if (key == settings::emailMarkAsReadDelaySeconds.key)
    readAfterDelay_->set_delay(
        std::chrono::seconds(preferences_.get(settings::emailMarkAsReadDelaySeconds)));
  // The reading pane reads its settings when it draws: the open message, drawn again.
  pane_->apply_settings();
}

QAction* MainWindow::action(const QString& objectName) const {
  return findChild<QAction*>(objectName);
}

void MainWindow::build_actions() {
  auto make = [this](QMenu* menu, const char* name, std::string_view key, QList<QKeySequence> keys,
                     std::function<void()> run) {
    auto* a = new QAction(ui_text(key), this);
    a->setObjectName(name);
    a->setShortcuts(keys);
    a->setShortcutContext(Qt::WindowShortcut);
    connect(a, &QAction::triggered, this, [run] { run(); });
    menu->addAction(a);
    addAction(a);
    return a;
  };
  QMenu* message = menuBar()->addMenu(ui_text("desktop.menu.message"));
  QMenu* go = menuBar()->addMenu(ui_text("desktop.menu.go"));
  QMenu* view = menuBar()->addMenu(ui_text("desktop.menu.view"));
  QMenu* help = menuBar()->addMenu(ui_text("desktop.menu.help"));
  using K = QKeySequence;
  make(go, "next", "desktop.action.next", {K(Qt::Key_J)}, [this] { move_selection(1); });
  make(go, "previous", "desktop.action.previous", {K(Qt::Key_K)}, [this] { move_selection(-1); });
  installEventFilter(new FieldsKeepReturn(search_, this));
  make(go, "open", "desktop.action.open", {K(Qt::Key_Return), K(Qt::Key_O)}, [this] {
    // Enter in the search field: the search typed so far, without waiting, then its list.
    if (search_->hasFocus()) {
      run_pending_search();
      list_->setFocus();
    }
    if (!list_->currentIndex().isValid() && model_->rowCount() > 0) select_row(0);
    if (auto id = current_message_id()) {
      pane_->show_message(*id);
      shownId_ = id;
    }
  });
  make(go, "inbox", "desktop.action.inbox", {K(Qt::Key_G, Qt::Key_I)}, [this] {
    tree_->setCurrentIndex(treeModel_->index(0, 0));
    list_->setFocus();
  });
  make(go, "search", "desktop.action.search", {K(Qt::Key_Slash)}, [this] {
    search_->setFocus();
    search_->selectAll();
  });
  auto* archive = make(message, "archive", "desktop.action.archive", {K(Qt::Key_E)},
                       [this] { run_move(MessageActions::Kind::archive); });
  auto* trash =
      make(message, "trash", "desktop.action.trash", {K(Qt::Key_NumberSign), K(Qt::Key_Delete)},
           [this] { run_move(MessageActions::Kind::trash); });
  auto* spam = make(message, "spam", "desktop.action.spam", {K(Qt::Key_Exclam)},
                    [this] { run_move(MessageActions::Kind::spam); });
  make(message, "move", "desktop.action.move", {K(Qt::Key_V)}, [this] { move_to_folder(); });
  auto* star =
      make(message, "star", "desktop.action.star", {K(Qt::Key_S)}, [this] { toggle_star(); });
  auto* read =
      make(message, "read", "desktop.action.read", {K(Qt::Key_U)}, [this] { toggle_read(); });
  message->addSeparator();
  make(message, "undo", "desktop.action.undo", {K(QKeySequence::Undo)}, [this] { undo_last(); });
  make(message, "loadImages", "desktop.images.load_once", {},
       [this] { pane_->load_images_once(); });
  make(message, "translate", "desktop.action.translate", {K(Qt::SHIFT | Qt::Key_T)}, [this] {
    if (pane_->translator().state() == MessageTranslator::State::translated)
      pane_->show_original();
    else
      pane_->translate();
  });
  auto* group = make(view, "conversations", "desktop.action.conversations", {K(Qt::Key_T)}, [this] {
    model_->set_group_conversations(!model_->group_conversations());
    if (model_->rowCount() > 0) select_row(0);
    update_status();
  });
  group->setCheckable(true);
  group->setChecked(model_->group_conversations());
  // Right and Left open and close conversations while the list has the focus (elsewhere
  // they move the text cursor).
  for (auto* a : {make(view, "openConversation", "desktop.action.open_conversation",
                       {K(Qt::Key_Right)}, [this] { open_conversation(); }),
                  make(view, "closeConversation", "desktop.action.close_conversation",
                       {K(Qt::Key_Left)}, [this] { close_conversation(); })}) {
    a->setShortcutContext(Qt::WidgetShortcut);
    list_->addAction(a);
  }
  // AI panel: questions about the open message, its conversation, folder or account, and
  // the message's AI summary, priority, tags and action items, beside the mail.
  {
    aiPanel_ = new AiPanel(database_, preferences_, this);
    aiPanel_->onOpenSettings = [this] { open_settings("ai"); };
    aiPanel_->onActionItemsKept = [this] { follow_up_refresh(); };
    addDockWidget(Qt::RightDockWidgetArea, aiPanel_);
    aiPanel_->hide();
    auto* toggle =
        make(view, "aiPanel", "desktop.action.ai_panel", {K(Qt::CTRL | Qt::Key_I)}, [this] {
          aiPanel_->setVisible(aiPanel_->isHidden());
          if (!aiPanel_->isHidden()) aiPanel_->show_message(shownId_);
        });
    toggle->setCheckable(true);
    connect(aiPanel_, &QDockWidget::visibilityChanged, toggle, [this, toggle](bool) {
      toggle->setChecked(!aiPanel_->isHidden());
      if (!aiPanel_->isHidden()) aiPanel_->show_message(shownId_);
    });
  }
  make(view, "palette", "desktop.action.palette", {K(Qt::CTRL | Qt::Key_K)},
       [this] { show_command_palette(); });
  make(help, "shortcuts", "desktop.action.shortcuts", {K(Qt::Key_Question)},
       [this] { show_shortcuts(); });
  // Settings: the settings window, Ctrl+, (which is also what the desktops use for
  // Preferences).
  {
    QMenu* file = new QMenu(ui_text("desktop.menu.file"), this);
    menuBar()->insertMenu(message->menuAction(), file);
    // Where a new user looks for a new account (Thunderbird's File ▸ New ▸ Existing Mail
    // Account): the Accounts page with its form open.
    make(file, "addAccount", "desktop.action.add_account", {}, [this] {
      static_cast<AccountsPage*>(open_settings("accounts")->page("accounts"))->show_add_form();
    });
    auto* settingsAction = make(file, "settings", "desktop.action.settings",
                                {K(Qt::CTRL | Qt::Key_Comma)}, [this] { open_settings(); });
    settingsAction->setMenuRole(QAction::PreferencesRole);
    file->addSeparator();
    file->addAction(ui_text("desktop.tray.quit"), qApp, &QApplication::quit)
        ->setShortcut(QKeySequence::Quit);
  }
  auto* toolbar = addToolBar("main");
  toolbar->setObjectName("toolbar");
  toolbar->setMovable(false);
  toolbar->setToolButtonStyle(Qt::ToolButtonTextOnly);
  for (QAction* a : {archive, trash, spam, star, read}) toolbar->addAction(a);
  auto* spacer = new QWidget(toolbar);
  spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  toolbar->addWidget(spacer);
  toolbar->addWidget(search_);
  build_follow_up_actions(message, toolbar);

  // ---- Writing: new, reply, reply all, forward, scheduled ----
  message->addSeparator();
  const auto answer = [this](AnswerKind kind) {
    const auto id = current_message_id();
    if (!id) return;
    open_composer([&](ComposerModel& m) { m.start_answer(*id, kind); });
  };
  auto* compose = make(message, "compose", "desktop.action.compose", {K(Qt::CTRL | Qt::Key_N)},
                       [this] { open_composer([](ComposerModel& m) { m.start_new(); }); });
  auto* reply =
      make(message, "reply", "desktop.action.reply", {K(Qt::Key_R), K(Qt::CTRL | Qt::Key_R)},
           [answer] { answer(AnswerKind::reply); });
  auto* replyAll = make(message, "replyAll", "desktop.action.reply_all",
                        {K(Qt::SHIFT | Qt::Key_R), K(Qt::CTRL | Qt::SHIFT | Qt::Key_R)},
                        [answer] { answer(AnswerKind::replyAll); });
  auto* forward =
      make(message, "forward", "desktop.action.forward", {K(Qt::Key_F), K(Qt::CTRL | Qt::Key_L)},
           [answer] { answer(AnswerKind::forward); });
  make(message, "editDraft", "desktop.action.edit_draft", {}, [this] {
    if (const auto id = current_message_id())
      open_composer([&](ComposerModel& m) { m.open_draft(*id); });
  });
  make(message, "scheduled", "desktop.action.scheduled", {}, [this] { show_scheduled(); });
  // Writing leads the Message menu, where users of other mail programs look for it.
  QAction* top = message->actions().value(0);
  for (QAction* a : {compose, reply, replyAll, forward}) message->insertAction(top, a);
  message->insertSeparator(top);
  QAction* first = toolbar->actions().value(0);
  for (QAction* a : {compose, reply, replyAll, forward}) toolbar->insertAction(first, a);
  toolbar->insertSeparator(first);
  // ---- end of writing ----
}

int64_t MainWindow::fill_mailbox_tree() {
  const auto nodes = read_mailbox_tree(database_, now_seconds());
  const int64_t inboxUnread = nodes.empty() ? 0 : nodes.front().unread;
  auto& selections = selections_of(treeModel_);
  std::vector<const MailboxNode*> flat;
  std::function<void(const MailboxNode&)> flatten = [&](const MailboxNode& node) {
    flat.push_back(&node);
    for (const auto& child : node.children) flatten(child);
  };
  for (const auto& node : nodes) flatten(node);
  bool same = flat.size() == treeItems_.size();
  for (size_t i = 0; same && i < flat.size(); ++i)
    same = flat[i]->selection == selections[i] && flat[i]->label == treeLabels_[i];
  if (same) {
    // The folders shown are still there: only the counts that changed, in place.
    for (size_t i = 0; i < flat.size(); ++i) {
      if (flat[i]->kind == MailboxNode::Kind::account) continue;
      const QVariant unread(static_cast<qlonglong>(flat[i]->unread));
      if (treeItems_[i]->data(kUnreadRole) != unread) treeItems_[i]->setData(unread, kUnreadRole);
    }
    return inboxUnread;
  }

  const QModelIndex current = tree_->currentIndex();
  const QVariant currentSlot = current.data(kSelectionRole);
  std::optional<MailboxSelection> chosen;
  if (currentSlot.isValid()) chosen = selections[currentSlot.toULongLong()];
  QSignalBlocker block(tree_->selectionModel());
  treeModel_->clear();
  selections.clear();
  treeItems_.clear();
  treeLabels_.clear();
  std::map<std::optional<store::EmailFolderType>, QIcon> icons;
  QModelIndex again;
  std::function<void(QStandardItem*, const MailboxNode&)> add = [&](QStandardItem* parent,
                                                                    const MailboxNode& node) {
    auto* item = new QStandardItem(node.kind == MailboxNode::Kind::view
                                       ? ui_text(node.label)
                                       : QString::fromStdString(node.label));
    item->setData(static_cast<qulonglong>(selections.size()), kSelectionRole);
    selections.push_back(node.selection);
    treeItems_.push_back(item);
    treeLabels_.push_back(node.label);
    if (node.kind != MailboxNode::Kind::account)
      item->setData(static_cast<qlonglong>(node.unread), kUnreadRole);
    if (node.kind == MailboxNode::Kind::folder) {
      // Looked up in the icon theme once per folder type, not once per folder.
      auto icon = icons.find(node.folderType);
      if (icon == icons.end())
        icon = icons.emplace(node.folderType, folder_icon(style(), node.folderType)).first;
      item->setIcon(icon->second);
      item->setData(QString::fromStdString(node.selection.folderId), kFolderIdRole);
    }
    if (node.kind == MailboxNode::Kind::account) {
      QFont font = item->font();
      font.setBold(true);
      item->setFont(font);
    }
    parent->appendRow(item);
    if (chosen && node.selection == *chosen && !again.isValid() &&
        node.kind != MailboxNode::Kind::account)
      again = item->index();
    for (const auto& child : node.children) add(item, child);
  };
  for (const auto& node : nodes) add(treeModel_->invisibleRootItem(), node);
  tree_->expandToDepth(0);
  if (again.isValid())
    tree_->setCurrentIndex(again);
  else if (!chosen)
    tree_->setCurrentIndex(treeModel_->index(0, 0));
  return inboxUnread;
}

std::optional<int64_t> MainWindow::unread_shown(const MailboxSelection& selection) const {
  const auto& selections = selections_of(treeModel_);
  for (size_t i = 0; i < treeItems_.size(); ++i) {
    const QVariant unread = treeItems_[i]->data(kUnreadRole);
    if (unread.isValid() && selections[i] == selection) return unread.toLongLong();
  }
  return std::nullopt;
}

void MainWindow::choose(const MailboxSelection& selection, bool openFirst) {
  readAfterDelay_->cancel();
  model_->show(selection);
  pane_->clear();
  shownId_.reset();
  // The AI panel hears of the first message directly (an account conversation then goes on).
  if (openFirst && model_->rowCount() > 0)
    select_row(0);
  else if (!aiPanel_->isHidden())
    aiPanel_->show_message(std::nullopt);
  update_status();
  follow_up_choose(selection);
}

void MainWindow::select_row(int row) {
  if (row < 0 || row >= model_->rowCount()) return;
  const QModelIndex index = model_->index(row);
  list_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
  list_->scrollTo(index);
}

std::optional<std::string> MainWindow::current_message_id() const {
  const QModelIndex index = list_->currentIndex();
  if (!index.isValid()) return std::nullopt;
  const MessageSummary* m = model_->summary(index.row());
  if (!m) return std::nullopt;
  return m->id;
}

void MainWindow::current_changed() {
  const QModelIndex index = list_->currentIndex();
  const MessageSummary* m = index.isValid() ? model_->summary(index.row()) : nullptr;
  if (!m) {
    readAfterDelay_->cancel();
    return;
  }
  if (shownId_ == m->id) return;
  shownId_ = m->id;
  pane_->show_message(m->id);
  if (!aiPanel_->isHidden()) aiPanel_->show_message(shownId_);
  readAfterDelay_->set_delay(
      std::chrono::seconds(preferences_.get(settings::emailMarkAsReadDelaySeconds)));
  readAfterDelay_->opened(m->id, m->isRead);
}

void MainWindow::move_selection(int delta) {
  // Past the last row read of a list that goes on, its next page first (one page: as quick
  // as any other step).
  const QModelIndex at = list_->currentIndex();
  if (delta > 0 && at.isValid() && at.row() + delta >= model_->rowCount() &&
      model_->canFetchMore({}))
    model_->fetchMore({});
  const int rows = model_->rowCount();
  if (rows == 0) return;
  const QModelIndex current = list_->currentIndex();
  const int row = current.isValid() ? std::clamp(current.row() + delta, 0, rows - 1) : 0;
  select_row(row);
}

// The messages the selected rows mean: a closed conversation acts as a whole.
std::vector<std::string> selected_ids(QListView* list, MessageListModel* model) {
  std::vector<std::string> ids;
  auto add = [&](int row) {
    for (auto& id : model->messages_of(row))
      if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(std::move(id));
  };
  for (const QModelIndex& index : list->selectionModel()->selectedIndexes()) add(index.row());
  if (ids.empty() && list->currentIndex().isValid()) add(list->currentIndex().row());
  return ids;
}

bool MainWindow::toggle_conversation(int row) {
  const auto info = model_->row_info(row);
  if (!info.message || (!info.opens && !info.open)) return false;
  if (info.open) {
    close_conversation_at(row);
  } else {
    model_->open(row);
    select_row(row);
  }
  return true;
}

void MainWindow::open_conversation() {
  const QModelIndex current = list_->currentIndex();
  if (current.isValid()) model_->open(current.row());
}

void MainWindow::close_conversation() {
  const QModelIndex current = list_->currentIndex();
  if (current.isValid()) close_conversation_at(current.row());
}

void MainWindow::close_conversation_at(int row) {
  std::optional<int> head;
  {
    // The rows leaving the list must not open the message that slides into their place.
    QSignalBlocker block(list_->selectionModel());
    head = model_->close(row);
  }
  if (head) select_row(*head);
}

void MainWindow::run_move(MessageActions::Kind kind) {
  const auto ids = selected_ids(list_, model_);
  if (ids.empty()) return;
  const int row = list_->currentIndex().row();
  try {
    MessageActions::Undo undo;
    switch (kind) {
      case MessageActions::Kind::archive:
        undo = actions_.archive(ids);
        break;
      case MessageActions::Kind::trash:
        undo = actions_.trash(ids);
        break;
      case MessageActions::Kind::spam:
        undo = actions_.spam(ids);
        break;
      case MessageActions::Kind::move:
        return;
    }
    const std::string key = kind == MessageActions::Kind::archive ? "desktop.toast.archived"
                            : kind == MessageActions::Kind::trash ? "desktop.toast.trashed"
                                                                  : "desktop.toast.spam";
    lastUndo_ = std::move(undo);
    readAfterDelay_->cancel();
    shownId_.reset();
    reload_list(row);
    show_toast(QString::fromStdString(localized_format(key, static_cast<int>(ids.size()))), true);
  } catch (const std::exception& e) {
    show_toast(QString::fromStdString(e.what()), false);
  }
}

void MainWindow::move_to_folder() {
  const auto ids = selected_ids(list_, model_);
  if (ids.empty()) return;
  const MessageSummary* first = model_->summary(list_->currentIndex().row());
  if (!first) return;
  std::vector<std::pair<QString, QString>> entries;
  database_.read([&](store::Connection& c) {
    auto s = c.prepare(
        "SELECT id, name FROM email_folders WHERE account_id = ? AND id != ? "
        "AND path NOT IN ('__LocalSent__', '__LocalDrafts__') ORDER BY name");
    s.bind_all(first->accountId, first->folderId);
    while (s.step())
      entries.emplace_back(QString::fromStdString(s.text(1).value_or("")),
                           QString::fromStdString(s.text(0).value_or("")));
  });
  Picker picker(this, ui_text("desktop.action.move"), entries);
  if (picker.exec() != QDialog::Accepted || picker.chosen().isEmpty()) return;
  const int row = list_->currentIndex().row();
  lastUndo_ = actions_.move(ids, picker.chosen().toStdString());
  shownId_.reset();
  reload_list(row);
  show_toast(
      QString::fromStdString(localized_format("desktop.toast.moved", static_cast<int>(ids.size()))),
      true);
}

void MainWindow::toggle_star() {
  const MessageSummary* m = model_->summary(list_->currentIndex().row());
  if (!m) return;
  actions_.set_starred(selected_ids(list_, model_), !m->isStarred);
  reload_list(list_->currentIndex().row());
}

void MainWindow::toggle_read() {
  const MessageSummary* m = model_->summary(list_->currentIndex().row());
  if (!m) return;
  // Marked unread by hand: the delay must not mark it read again.
  readAfterDelay_->cancel();
  actions_.set_read(selected_ids(list_, model_), !m->isRead);
  reload_list(list_->currentIndex().row());
}

void MainWindow::undo_last() {
  if (!lastUndo_) return;
  const auto undo = std::move(*lastUndo_);
  lastUndo_.reset();
  actions_.undo(undo);
  reload_list(list_->currentIndex().row());
  if (!undo.placements.empty()) {
    reveal(undo.placements.front().messageId);
  }
  show_toast(ui_text("desktop.toast.undone"), false);
}

void MainWindow::show_toast(const QString& text, bool undoable) {
  toastText_->setText(text);
  toastUndo_->setVisible(undoable);
  toast_->show();
  toastTimer_->start(undoable ? 10000 : 4000);
}

QString MainWindow::toast_text() const {
  return toast_->isHidden() ? QString() : toastText_->text();
}

void MainWindow::reload_list(int fallbackRow) {
  const auto keep = current_message_id();
  const int scroll = list_->verticalScrollBar()->value();
  {
    QSignalBlocker block(list_->selectionModel());
    model_->refresh();
  }
  int row = -1;
  if (keep) {
    if (auto index = model_->row_of(*keep)) row = *index;
  }
  // Search results read again from their first page grow back to where the list stood.
  const int wanted = row >= 0 ? row : fallbackRow;
  while (wanted >= model_->rowCount() && model_->canFetchMore({})) model_->fetchMore({});
  if (row < 0) row = std::min(fallbackRow, model_->rowCount() - 1);
  list_->verticalScrollBar()->setValue(scroll);
  if (row >= 0) {
    QSignalBlocker block(list_->selectionModel());
    list_->selectionModel()->setCurrentIndex(model_->index(row),
                                             QItemSelectionModel::ClearAndSelect);
  }
  current_changed();
  if (shownId_ && keep == shownId_) pane_->show_message(*shownId_);
  update_status();
  update_tray(fill_mailbox_tree());
}

void MainWindow::refresh_from_database() {
  reload_list(list_->currentIndex().row());
  follow_up_refresh();
}

bool MainWindow::poll_database() {
  const auto version = database_.read([](store::Connection& c) {
    auto s = c.prepare("PRAGMA data_version");
    return s.step() ? s.integer(0).value_or(0) : int64_t{0};
  });
  if (version == dataVersion_) return false;
  dataVersion_ = version;
  refresh_from_database();
  return true;
}

void MainWindow::search_changed(const QString& text) {
  if (text.trimmed().isEmpty()) {
    searchTimer_->stop();
    if (beforeSearch_) choose(*beforeSearch_);
    beforeSearch_.reset();
    return;
  }
  searchTimer_->start(kSearchPauseMilliseconds);
}

bool MainWindow::search_pending() const { return searchTimer_->isActive(); }

void MainWindow::run_pending_search() {
  if (!searchTimer_->isActive()) return;
  searchTimer_->stop();
  run_search();
}

void MainWindow::run_search() {
  const QString query = search_->text().trimmed();
  if (query.isEmpty()) return;
  MailboxSelection selection;
  selection.kind = MailboxSelection::Kind::search;
  selection.query = query.toStdString();
  // Text the language cannot read keeps the list as it is; reading it needs no database.
  try {
    search_condition(parse_search_query(selection.query), now_seconds());
  } catch (const std::exception& e) {
    statusBar()->showMessage(QString::fromStdString(e.what()), 4000);
    return;
  }
  if (!beforeSearch_) beforeSearch_ = std::make_unique<MailboxSelection>(model_->selection());
  // While typing, the results are listed but none is opened (nor marked read): Enter goes to
  // the list and opens the first.
  choose(selection, false);
}

void MainWindow::update_status() {
  // Search results are counted as far as they are read: "100+" while more follow. Other
  // lists count their messages (one count, not a read of every conversation).
  auto& pager = model_->list().pager();
  if (pager.selection().kind != MailboxSelection::Kind::search) {
    int64_t messages = 0;
    try {
      messages = pager.message_count();
    } catch (const std::exception&) {
    }
    status_->setText(QString::fromStdString(localized_format("desktop.status.count", messages)));
    return;
  }
  const bool more = model_->canFetchMore({});
  status_->setText(QString::fromStdString(
      localized_format(more ? "desktop.status.count_more" : "desktop.status.count",
                       static_cast<int64_t>(model_->rowCount()))));
}

void MainWindow::update_tray(int64_t unread) {
  setWindowTitle(unread > 0 ? QString("Kestrova (%1)").arg(unread) : QString("Kestrova"));
  if (!tray_) return;
  QPixmap pixmap(64, 64);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(0x2f, 0x6f, 0xd6));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(4, 12, 56, 40, 6, 6);
  p.setPen(QPen(Qt::white, 4));
  p.drawLine(8, 16, 32, 36);
  p.drawLine(56, 16, 32, 36);
  if (unread > 0) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xd9, 0x3f, 0x3f));
    p.drawEllipse(28, 0, 36, 36);
    p.setPen(Qt::white);
    QFont font = p.font();
    font.setBold(true);
    font.setPixelSize(unread > 99 ? 14 : 20);
    p.setFont(font);
    p.drawText(QRect(28, 0, 36, 36), Qt::AlignCenter,
               unread > 99 ? "99+" : QString::number(unread));
  }
  p.end();
  tray_->setIcon(QIcon(pixmap));
  tray_->setToolTip(QString::fromStdString(localized_format("desktop.tray.unread", unread)));
}

void MainWindow::show_command_palette() {
  std::vector<std::pair<QString, QString>> entries;
  for (QAction* a : findChildren<QAction*>()) {
    if (a->objectName().isEmpty() || a->objectName() == "palette" || a->text().isEmpty()) continue;
    const QString keys = a->shortcut().toString(QKeySequence::NativeText);
    entries.emplace_back(keys.isEmpty() ? a->text() : a->text() + "    " + keys, a->objectName());
  }
  Picker picker(this, ui_text("desktop.action.palette"), entries);
  if (picker.exec() != QDialog::Accepted) return;
  if (QAction* a = action(picker.chosen())) a->trigger();
}

void MainWindow::show_shortcuts() {
  QString rows;
  for (QAction* a : findChildren<QAction*>()) {
    if (a->objectName().isEmpty() || a->shortcuts().isEmpty()) continue;
    QStringList keys;
    for (const auto& k : a->shortcuts()) keys << k.toString(QKeySequence::NativeText);
    rows += "<tr><td style='padding-right:24px'><b>" + keys.join(" / ").toHtmlEscaped() +
            "</b></td><td>" + a->text().toHtmlEscaped() + "</td></tr>";
  }
  QDialog dialog(this);
  dialog.setObjectName("shortcuts");
  dialog.setWindowTitle(ui_text("desktop.action.shortcuts"));
  auto* layout = new QVBoxLayout(&dialog);
  auto* label = new QLabel("<table>" + rows + "</table>", &dialog);
  layout->addWidget(label);
  auto* close = new QPushButton(ui_text("desktop.close"), &dialog);
  connect(close, &QPushButton::clicked, &dialog, &QDialog::accept);
  layout->addWidget(close);
  dialog.exec();
}

bool MainWindow::hides_to_tray() const {
  return tray_ && tray_->isVisible() && preferences_.get(settings::hideDockIcon);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!hides_to_tray()) return QMainWindow::closeEvent(event);
  event->ignore();
  hide();
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized() && hides_to_tray())
    QTimer::singleShot(0, this, [this] { hide(); });
}

bool MainWindow::reveal(const std::string& id) {
  auto row = model_->row_of(id);
  if (!row) {
    // A list read a page at a time reads on while the message may still come: until its last
    // row is older than the message.
    const auto date = database_.read([&](store::Connection& c) -> std::optional<double> {
      auto s = c.prepare("SELECT date FROM email_messages WHERE id = ?");
      s.bind(1, id);
      return s.step() ? s.real(0) : std::nullopt;
    });
    while (!row && date && model_->canFetchMore({})) {
      const MessageSummary* last = model_->summary(model_->rowCount() - 1);
      if (!last || last->date < *date) break;
      model_->fetchMore({});
      row = model_->row_of(id);
    }
  }
  if (!row) return false;
  // An older message of a closed conversation: the conversation opens to show it.
  if (const MessageSummary* m = model_->summary(*row); m && m->id != id && model_->open(*row))
    row = model_->row_of(id);
  if (!row) return false;
  select_row(*row);
  return true;
}

bool MainWindow::open_message(const std::string& id) {
  // Looked for first in the list shown, then in its folder.
  if (reveal(id)) return true;
  const auto folder = database_.read([&](store::Connection& c) -> std::optional<std::string> {
    auto s = c.prepare("SELECT folder_id FROM email_messages WHERE id = ?");
    s.bind(1, id);
    if (!s.step()) return std::nullopt;
    return s.text(0).value_or("");
  });
  if (!folder) return false;
  for (int i = 0; i < static_cast<int>(selections_of(treeModel_).size()); ++i) {
    const auto& selection = selections_of(treeModel_)[static_cast<size_t>(i)];
    if (selection.kind != MailboxSelection::Kind::folder || selection.folderId != *folder) continue;
    const auto matches = treeModel_->match(treeModel_->index(0, 0), kSelectionRole,
                                           QVariant::fromValue(static_cast<qulonglong>(i)), 1,
                                           Qt::MatchExactly | Qt::MatchRecursive);
    if (!matches.isEmpty()) tree_->setCurrentIndex(matches.front());
    break;
  }
  if (reveal(id)) return true;
  return false;
}

ComposerWindow* MainWindow::open_composer(const std::function<void(ComposerModel&)>& start) {
  std::unique_ptr<ComposerModel> model;
  try {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    model = std::make_unique<ComposerModel>(preferences_);
    start(*model);
    QApplication::restoreOverrideCursor();
  } catch (const std::exception& e) {
    QApplication::restoreOverrideCursor();
    show_toast(QString::fromStdString(localized_format("desktop.composer.open_failed", e.what())),
               false);
    return nullptr;
  }
  auto* composer = new ComposerWindow(std::move(model), this);
  composer->onDone = [this](const QString& note) {
    show_toast(note, false);
    refresh_from_database();
  };
  composer->add_assistant(
      new ComposerAssistant(composer->body_editor(), composer->replying_to(), composer));
  composer->show();
  composer->body_editor().setFocus();
  return composer;
}

void MainWindow::show_scheduled() {
  MailboxSelection selection;
  selection.kind = MailboxSelection::Kind::scheduled;
  show_mailbox(selection);
}

void MainWindow::handle_handover(const QString& line) {
  show();
  raise();
  activateWindow();
  if (!line.startsWith("open ")) return;
  const auto link = EmailDeepLink::parse(line.mid(5).trimmed().toStdString());
  if (!link) return;
  using Kind = EmailDeepLink::Kind;
  if (link->kind == Kind::message || link->kind == Kind::email || link->kind == Kind::reply) {
    if (!open_message(link->id)) show_toast(ui_text("desktop.link.not_found"), false);
  }
}

}  // namespace kestrova::app::desktop
