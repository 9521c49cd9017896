#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/desktop/message_actions.h"

class QAction;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QStackedWidget;
class QPushButton;
class QStandardItem;
class QStandardItemModel;
class QSystemTrayIcon;
class QTimer;
class QToolBar;
class QTreeView;

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {
class UserPreferences;
}

namespace kestrova::app::desktop {

class ActionItemsView;
class FollowUpActions;
class ComposerModel;
class ComposerWindow;
class AiPanel;
class ScheduledView;
class SettingsDialog;
class MessageListModel;
class MessageListDelegate;
class ReadingPane;
struct MailboxSelection;

// The main window: mailboxes on the left, the message list in the middle, the reading pane
// on the right. Every action has a key, a menu entry and a place in the command palette.
// Changes other processes write to the database show within a second: the window polls
// SQLite's data_version on its connection every kLivePollMilliseconds.
class MainWindow : public QMainWindow {
 public:
  static constexpr int kLivePollMilliseconds = 500;
  // The search runs once the keys already typed are handled (a zero pause, which adds no
  // delay): keys that arrive while a query runs are one query after it, not one each.
  static constexpr int kSearchPauseMilliseconds = 0;

  MainWindow(store::EmailDatabase& database, UserPreferences& preferences);
  ~MainWindow() override;

  // Shows the message `id`: its folder chosen, its row current, the message open. False
  // when there is no such message.
  bool open_message(const std::string& id);
  // Handles one line handed over by another start ("raise", "open URL").
  void handle_handover(const QString& line);
  // Reads the mailbox tree, the list and the open message again.
  void refresh_from_database();
  // The data_version check of the live updates (also called by tests).
  bool poll_database();
  // The unread count the mailbox tree shows beside `selection` (not an account's row).
  std::optional<int64_t> unread_shown(const MailboxSelection& selection) const;
  // Whether typed search text waits for its pause; run_pending_search() runs it now.
  bool search_pending() const;
  void run_pending_search();

  MessageListModel& list_model() { return *model_; }
  QListView& list_view() { return *list_; }
  ReadingPane& reading_pane() { return *pane_; }
  QLineEdit& search_field() { return *search_; }
  QAction* action(const QString& objectName) const;
  // Settings: opens the settings window (one at a time) on `pageId`, or where it was;
  // returns it.
  SettingsDialog* open_settings(const QString& pageId = {});
  // Follows a changed setting in what the window shows (theme, sizes, tags, read delay).
  void apply_setting(std::string_view key);
  // The open message's id, if any.
  std::optional<std::string> current_message_id() const;
  QString toast_text() const;
  // ---- Writing: composer and scheduled view ----
  // Opens a composer started by `start` (which may throw: the reason shows as a toast).
  // Answers the window, or nullptr when it could not start.
  ComposerWindow* open_composer(const std::function<void(ComposerModel&)>& start);
  // Chooses the mailbox tree's Scheduled entry (the Message menu's "Scheduled").
  void show_scheduled();
  ScheduledView& scheduled_view() { return *scheduled_; }
  // ---- end of writing ----

  // AI panel (a dock on the right, toggled by the "aiPanel" action).
  AiPanel& ai_panel() { return *aiPanel_; }
  // Whether closing and minimising put the window away into the status-area icon instead
  // (the setting `hideDockIcon`, when there is a status area): then it has no task-bar
  // entry until it is shown again from the icon.
  bool hides_to_tray() const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void build_actions();
  void build_layout();
  // Reads the mailbox tree with its unread counts. When its folders are those shown, only
  // the counts that changed are set; otherwise the tree is built again. Returns the unread
  // count of the unified inbox.
  int64_t fill_mailbox_tree();
  // Shows `selection` in the list; `openFirst` makes its first message current and open.
  void choose(const MailboxSelection& selection, bool openFirst = true);
  void select_row(int row);
  void current_changed();
  void move_selection(int delta);
  // Opens or closes the conversation at `row`; false when the row is not one that opens.
  bool toggle_conversation(int row);
  void open_conversation();
  void close_conversation();
  void close_conversation_at(int row);
  // Selects the message `id` in the list shown, opening its conversation when it is one of
  // the older messages; false when the list does not hold it.
  bool reveal(const std::string& id);
  void run_move(MessageActions::Kind kind);
  void move_to_folder();
  void toggle_star();
  void toggle_read();
  void undo_last();
  void show_toast(const QString& text, bool undoable);
  void show_command_palette();
  void show_shortcuts();
  void search_changed(const QString& text);
  void run_search();
  void update_status();
  void update_tray(int64_t unread);
  // Re-reads the list after a change, keeping the current message or, when it left the
  // list, the row where it stood.
  void reload_list(int fallbackRow);

  store::EmailDatabase& database_;
  UserPreferences& preferences_;
  MessageActions actions_;
  std::unique_ptr<ReadAfterDelay> readAfterDelay_;
  std::optional<MessageActions::Undo> lastUndo_;
  std::optional<int64_t> dataVersion_;

  QTreeView* tree_ = nullptr;
  QStandardItemModel* treeModel_ = nullptr;
  QListView* list_ = nullptr;
  MessageListModel* model_ = nullptr;
  MessageListDelegate* delegate_ = nullptr;
  ReadingPane* pane_ = nullptr;
  QLineEdit* search_ = nullptr;
  QLabel* status_ = nullptr;
  QWidget* toast_ = nullptr;
  QLabel* toastText_ = nullptr;
  QPushButton* toastUndo_ = nullptr;
  QTimer* toastTimer_ = nullptr;
  QTimer* liveTimer_ = nullptr;
  QTimer* searchTimer_ = nullptr;
  // The tree's items in the order read_mailbox_tree lists its nodes, with their labels: what
  // fill_mailbox_tree compares to learn whether the folders changed.
  std::vector<QStandardItem*> treeItems_;
  std::vector<std::string> treeLabels_;
  QSystemTrayIcon* tray_ = nullptr;
  std::unique_ptr<MailboxSelection> beforeSearch_;
  std::optional<std::string> shownId_;

  // ---- Follow-up, snooze and action items (follow_up_window.cpp) ----
 public:
  // Makes the mailbox tree's row of `selection` current; false when the tree has none.
  bool show_mailbox(const MailboxSelection& selection);
  ActionItemsView& action_items_view() { return *actionItems_; }
  // The time pickers of reply later and snooze for the selected messages, and the
  // waiting-on mark (set since now, or cleared when the current message carries it).
  void pick_reply_later();
  void pick_snooze();
  void toggle_waiting();

 private:
  void build_follow_up_view(QWidget* messages);
  void build_follow_up_actions(QMenu* menu, QToolBar* toolbar);
  // Shows the action-items view in place of the message list, or the list again.
  void follow_up_choose(const MailboxSelection& selection);
  void follow_up_refresh();
  void show_action_item_count();
  void show_scheduled_count();
  std::unique_ptr<FollowUpActions> followUp_;
  QStackedWidget* middle_ = nullptr;
  ActionItemsView* actionItems_ = nullptr;
  ScheduledView* scheduled_ = nullptr;
  // ---- end of follow-up, snooze and action items ----
  // AI panel
  AiPanel* aiPanel_ = nullptr;
  // Settings: the open settings window, if any.
  QPointer<SettingsDialog> settings_;
};

}  // namespace kestrova::app::desktop
