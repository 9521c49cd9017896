// The window's follow-up, snooze and action items: the actions with their keys, menu and
// context-menu entries, and the action-items view that takes the message list's place.

#include <QAction>
#include <QDateTime>
#include <QLabel>
#include <QListView>
#include <QLocale>
#include <QMenu>
#include <QSplitter>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>

#include "app/core/user_preferences.h"
#include "app/desktop/composer_model.h"
#include "app/desktop/follow_up.h"
#include "app/desktop/follow_up_items.h"
#include "app/desktop/mailbox_view.h"
#include "app/desktop/main_window.h"
#include "app/desktop/message_list_model.h"
#include "app/desktop/reading_pane.h"
#include "app/desktop/scheduled_view.h"
#include "app/desktop/snooze_picker.h"
#include "app/desktop/ui_text.h"
#include "platform/settings_store.h"
#include "util/localization.h"
#include "util/time.h"

namespace kestrova::app::desktop {

// Defined with the window: the messages the selected rows mean.
std::vector<std::string> selected_ids(QListView* list, MessageListModel* model);

namespace {

QString when_text(double at) {
  return QLocale().toString(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(at)),
                            QLocale::ShortFormat);
}

}  // namespace

void MainWindow::build_follow_up_view(QWidget* messages) {
  auto* splitter = static_cast<QSplitter*>(messages->parentWidget());
  middle_ = new QStackedWidget(this);
  splitter->replaceWidget(splitter->indexOf(messages), middle_);
  middle_->addWidget(messages);
  actionItems_ = new ActionItemsView(database_, middle_);
  middle_->addWidget(actionItems_);
  scheduled_ = new ScheduledView(database_, middle_);
  middle_->addWidget(scheduled_);
  scheduled_->onEdit = [this](const std::string& id) {
    open_composer([&](ComposerModel& m) { m.open_scheduled(id); });
  };
  scheduled_->onCancelled = [this] {
    fill_mailbox_tree();
    show_scheduled_count();
  };
  connect(&actionItems_->items(), &QAbstractItemModel::dataChanged, this,
          [this] { show_action_item_count(); });
  // The item's message is also made current in the (hidden) list of messages with open
  // items, so that the message actions (archive, star, snooze…) act on the message shown.
  actionItems_->onOpen = [this](const std::string& messageId) {
    if (reveal(messageId)) return;
    pane_->show_message(messageId);  // a done item's message is not in that list
    shownId_ = messageId;
  };
  followUp_ = std::make_unique<FollowUpActions>(database_, preferences_.defaults());
}

void MainWindow::build_follow_up_actions(QMenu* menu, QToolBar* toolbar) {
  auto make = [this, menu](const char* name, std::string_view key, QKeySequence keys,
                           std::function<void()> run) {
    auto* a = new QAction(ui_text(key), this);
    a->setObjectName(name);
    a->setShortcut(keys);
    a->setShortcutContext(Qt::WindowShortcut);
    connect(a, &QAction::triggered, this, [run] { run(); });
    menu->addAction(a);
    addAction(a);
    return a;
  };
  menu->addSeparator();
  auto* replyLater = make("replyLater", "desktop.action.reply_later", QKeySequence(Qt::Key_L),
                          [this] { pick_reply_later(); });
  auto* waiting = make("waitingOn", "desktop.action.waiting_on", QKeySequence(Qt::Key_W),
                       [this] { toggle_waiting(); });
  auto* snooze =
      make("snooze", "desktop.action.snooze", QKeySequence(Qt::Key_B), [this] { pick_snooze(); });
  toolbar->insertAction(toolbar->actions().value(5), snooze);

  // The list's context menu: what the toolbar offers, then the follow-up marks.
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list_, &QWidget::customContextMenuRequested, this, [=, this](const QPoint& at) {
    const QModelIndex index = list_->indexAt(at);
    if (!index.isValid()) return;
    if (!list_->selectionModel()->isSelected(index))
      list_->selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect);
    QMenu context(this);
    for (const char* name : {"archive", "trash", "spam", "star", "read"})
      if (QAction* a = action(name)) context.addAction(a);
    context.addSeparator();
    for (QAction* a : {replyLater, waiting, snooze}) context.addAction(a);
    context.exec(list_->viewport()->mapToGlobal(at));
  });
}

bool MainWindow::show_mailbox(const MailboxSelection& selection) {
  // The tree's items are kept in the order read_mailbox_tree lists its nodes.
  const auto nodes = read_mailbox_tree(database_, now_seconds());
  std::vector<MailboxSelection> flat;
  std::function<void(const MailboxNode&)> flatten = [&](const MailboxNode& node) {
    flat.push_back(node.selection);
    for (const auto& child : node.children) flatten(child);
  };
  for (const auto& node : nodes) flatten(node);
  for (size_t i = 0; i < flat.size() && i < treeItems_.size(); ++i) {
    if (!(flat[i] == selection)) continue;
    tree_->setCurrentIndex(treeItems_[i]->index());
    return true;
  }
  return false;
}

void MainWindow::follow_up_choose(const MailboxSelection& selection) {
  const bool items = selection.kind == MailboxSelection::Kind::actionItems;
  const bool scheduled = selection.kind == MailboxSelection::Kind::scheduled;
  if (items) {
    actionItems_->refresh();
    if (actionItems_->items().rowCount() > 0 && !actionItems_->currentIndex().isValid())
      actionItems_->setCurrentIndex(actionItems_->items().index(0));
    // As a folder opens its first message, the view opens its current item's.
    actionItems_->open_current();
  }
  if (scheduled) scheduled_->refresh();
  middle_->setCurrentWidget(items       ? static_cast<QWidget*>(actionItems_)
                            : scheduled ? static_cast<QWidget*>(scheduled_)
                                        : list_);
  // The queue is no message to read: its table takes the reading pane's room.
  pane_->setVisible(!scheduled);
  if (items) show_action_item_count();
  if (scheduled) show_scheduled_count();
}

void MainWindow::show_action_item_count() {
  const ActionItemsModel& model = actionItems_->items();
  int64_t done = 0;
  for (int row = 0; row < model.rowCount(); ++row) done += model.row_at(row)->done ? 1 : 0;
  status_->setText(QString::fromStdString(
      localized_format("desktop.actions.count", model.rowCount() - done, done)));
}

void MainWindow::show_scheduled_count() {
  status_->setText(QString::fromStdString(
      localized_format("desktop.scheduled.count", scheduled_->table().topLevelItemCount())));
}

void MainWindow::follow_up_refresh() {
  if (middle_->currentWidget() == scheduled_) {  // a send went out, or failed
    scheduled_->refresh();
    show_scheduled_count();
  }
  if (middle_->currentWidget() != actionItems_) return;
  actionItems_->refresh();
  show_action_item_count();
}

void MainWindow::pick_reply_later() {
  const auto ids = selected_ids(list_, model_);
  if (ids.empty()) return;
  const auto marks = followUp_->marks_of(ids.front());
  SnoozePicker picker(this, ui_text("desktop.action.reply_later"), now_seconds(),
                      marks ? marks->replyLaterUntil : std::nullopt,
                      ui_text("desktop.followup.remove_reply_later"));
  if (picker.exec() != QDialog::Accepted) return;
  try {
    if (picker.removes()) {
      followUp_->clear_reply_later(ids);
      show_toast(ui_text("desktop.followup.reply_later_cleared"), false);
    } else if (picker.chosen()) {
      followUp_->set_reply_later(ids, *picker.chosen());
      show_toast(
          QString::fromStdString(localized_format("desktop.followup.reply_later_set",
                                                  when_text(*picker.chosen()).toStdString())),
          false);
    }
  } catch (const std::exception& e) {
    show_toast(QString::fromStdString(e.what()), false);
  }
  reload_list(list_->currentIndex().row());
}

void MainWindow::toggle_waiting() {
  const auto ids = selected_ids(list_, model_);
  if (ids.empty()) return;
  const auto marks = followUp_->marks_of(ids.front());
  try {
    if (marks && marks->waitingSince) {
      followUp_->clear_waiting(ids);
      show_toast(ui_text("desktop.followup.waiting_cleared"), false);
    } else {
      followUp_->set_waiting(ids, now_seconds());
      show_toast(ui_text("desktop.followup.waiting_set"), false);
    }
  } catch (const std::exception& e) {
    show_toast(QString::fromStdString(e.what()), false);
  }
  reload_list(list_->currentIndex().row());
}

void MainWindow::pick_snooze() {
  const auto ids = selected_ids(list_, model_);
  if (ids.empty()) return;
  const auto marks = followUp_->marks_of(ids.front());
  const double now = now_seconds();
  std::optional<double> current;
  if (marks && marks->snoozedUntil && *marks->snoozedUntil > now) current = marks->snoozedUntil;
  SnoozePicker picker(this, ui_text("desktop.action.snooze"), now, current,
                      ui_text("desktop.followup.unsnooze"));
  if (picker.exec() != QDialog::Accepted) return;
  const int row = list_->currentIndex().row();
  try {
    if (picker.removes()) {
      followUp_->unsnooze(ids);
      show_toast(ui_text("desktop.followup.unsnoozed"), false);
    } else if (picker.chosen()) {
      followUp_->snooze(ids, *picker.chosen());
      // The message leaves the list: the next one opens in its place.
      shownId_.reset();
      show_toast(QString::fromStdString(localized_format(
                     "desktop.followup.snoozed", when_text(*picker.chosen()).toStdString())),
                 false);
    }
  } catch (const std::exception& e) {
    show_toast(QString::fromStdString(e.what()), false);
  }
  reload_list(row);
}

}  // namespace kestrova::app::desktop
