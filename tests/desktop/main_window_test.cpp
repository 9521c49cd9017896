#include "app/desktop/main_window.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QMenu>
#include <QApplication>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTranslator>

#include "app/core/email_deep_link.h"
#include "app/core/user_preferences.h"
#include "app/desktop/mailbox_view.h"
#include "app/desktop/message_list_model.h"
#include "app/desktop/reading_pane.h"
#include "app/desktop/ui_text.h"
#include "generated_mailbox.h"
#include "platform/settings_store.h"
#include "store/server_change_journal.h"
#include "util/localization.h"

namespace kestrova::app::desktop {
namespace {

// The real window over a generated mailbox, driven by keys as a person would.
class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() : settings_(settingsDir_.path() / "settings.json"), preferences_(settings_) {
    preferences_.set(settings::emailMarkAsReadDelaySeconds, int64_t{0});
    window_ = std::make_unique<MainWindow>(mailbox_.database(), preferences_);
    window_->show();
    QApplication::setActiveWindow(window_.get());  // shortcuts go to the active window
    window_->list_view().setFocus();
    QApplication::processEvents();
  }

  void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(&window_->list_view(), static_cast<Qt::Key>(key), modifiers);
    QApplication::processEvents();
  }
  std::string current() { return window_->current_message_id().value_or(""); }
  std::string folder_type_of(const std::string& id) {
    return mailbox_.database().read([&](store::Connection& c) {
      auto s = c.prepare(
          "SELECT f.type FROM email_messages m JOIN email_folders f ON "
          "f.id = m.folder_id WHERE m.id = ?");
      s.bind(1, id);
      return s.step() ? s.text(0).value_or("") : std::string();
    });
  }
  bool flag(const std::string& id, const char* column) {
    return mailbox_.database().read([&](store::Connection& c) {
      auto s = c.prepare(std::string("SELECT ") + column + " FROM email_messages WHERE id = ?");
      s.bind(1, id);
      return s.step() && s.integer(0).value_or(0) != 0;
    });
  }

  // The unread counts the mailbox tree shows (folders, all inboxes, starred) against the
  // database's own.
  void expect_tree_counts(const char* when) {
    SCOPED_TRACE(when);
    using Kind = MailboxSelection::Kind;
    const std::string unread = "is_read = 0 AND is_deleted = 0 AND is_spam = 0 AND is_draft = 0";
    mailbox_.database().read([&](store::Connection& c) {
      auto s = c.prepare(
          "SELECT id, type, (SELECT COUNT(*) FROM email_messages WHERE folder_id = "
          "f.id AND " +
          unread +
          ") FROM email_folders f WHERE path NOT LIKE "
          "'\\_\\_Local%' ESCAPE '\\'");
      int64_t inboxes = 0, folders = 0;
      for (; s.step(); ++folders) {
        if (s.text(1) == "inbox") inboxes += s.integer(2).value_or(0);
        EXPECT_EQ(window_->unread_shown({Kind::folder, s.text(0).value_or(""), {}}), s.integer(2));
      }
      EXPECT_GT(folders, 10);
      EXPECT_EQ(window_->unread_shown({}), inboxes);
      auto starred =
          c.prepare("SELECT COUNT(*) FROM email_messages WHERE " + unread + " AND is_starred = 1");
      starred.step();
      EXPECT_EQ(window_->unread_shown({Kind::starred, {}, {}}), starred.integer(0));
    });
  }

  testing::GeneratedMailbox mailbox_;
  testing::TempDir settingsDir_;
  platform::SettingsStore settings_;
  UserPreferences preferences_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(MainWindowTest, ReadStarArchiveUndoAndSearchByKeyboard) {
  auto& model = window_->list_model();
  ASSERT_GT(model.rowCount(), 10);
  EXPECT_EQ(model.selection().kind, MailboxSelection::Kind::unifiedInbox);
  const std::string first = current();
  ASSERT_FALSE(first.empty());
  ASSERT_TRUE(window_->reading_pane().message());
  EXPECT_EQ(window_->reading_pane().message()->id, first);

  key(Qt::Key_J);
  const std::string second = current();
  EXPECT_NE(second, first);
  EXPECT_EQ(window_->reading_pane().message()->id, second);
  EXPECT_TRUE(flag(second, "is_read"));  // a delay of 0: read as soon as it is open
  key(Qt::Key_K);
  EXPECT_EQ(current(), first);

  key(Qt::Key_S);
  EXPECT_TRUE(flag(first, "is_starred"));
  key(Qt::Key_U);
  EXPECT_EQ(flag(first, "is_read"), false);

  // Archive: the message leaves the list, the next one is open, undo brings it back.
  key(Qt::Key_E);
  EXPECT_EQ(folder_type_of(first), "archive");
  EXPECT_FALSE(model.row_of(first));
  EXPECT_EQ(current(), second);
  EXPECT_FALSE(window_->toast_text().isEmpty());
  key(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(folder_type_of(first), "inbox");
  EXPECT_TRUE(model.row_of(first));
  EXPECT_EQ(current(), first);
  key(Qt::Key_Delete);
  EXPECT_EQ(folder_type_of(first), "trash");

  // Search: "/" then the command line's language; results as the text changes.
  key(Qt::Key_Slash);
  EXPECT_TRUE(window_->search_field().hasFocus());
  // The query runs once typing pauses, not once per letter; its results are listed, none
  // opened. Enter runs a waiting query at once and opens the first result.
  QTest::keyClicks(&window_->search_field(), "is:starred");
  EXPECT_TRUE(window_->search_pending());
  EXPECT_EQ(model.selection().kind, MailboxSelection::Kind::unifiedInbox);
  window_->run_pending_search();
  EXPECT_EQ(model.selection().query, "is:starred");
  EXPECT_FALSE(window_->current_message_id());
  EXPECT_FALSE(window_->reading_pane().message());
  QTest::keyClick(&window_->search_field(), Qt::Key_Space);
  EXPECT_TRUE(window_->search_pending());
  QTest::keyClick(&window_->search_field(), Qt::Key_Return);
  EXPECT_FALSE(window_->search_pending());
  EXPECT_EQ(model.selection().kind, MailboxSelection::Kind::search);
  EXPECT_EQ(model.selection().query, "is:starred");
  ASSERT_TRUE(window_->reading_pane().message());
  EXPECT_EQ(window_->reading_pane().message()->id, model.summary(0)->id);
  ASSERT_GT(model.rowCount(), 0);
  for (int i = 0; i < model.rowCount(); ++i) EXPECT_TRUE(model.summary(i)->isStarred);
  window_->search_field().clear();
  EXPECT_EQ(model.selection().kind, MailboxSelection::Kind::unifiedInbox);

  // g then i: the unified inbox again, from wherever the list is.
  key(Qt::Key_G);
  key(Qt::Key_I);
  EXPECT_EQ(model.selection().kind, MailboxSelection::Kind::unifiedInbox);
}

TEST_F(MainWindowTest, ChangesOfOtherProcessesAndDeepLinksShow) {
  auto& model = window_->list_model();
  EXPECT_FALSE(window_->poll_database());  // nothing changed yet
  const MessageSummary* top = model.summary(0);
  ASSERT_NE(top, nullptr);
  const std::string id = top->id;
  const bool wasStarred = top->isStarred;

  // Another owner of the file (the service, the agent's tool server) stars it.
  auto other = mailbox_.open_again();
  other->write([&](store::Connection& c) {
    auto s = c.prepare("UPDATE email_messages SET is_starred = ? WHERE id = ?");
    s.bind_all(int64_t{wasStarred ? 0 : 1}, id);
    s.run();
  });
  EXPECT_TRUE(window_->poll_database());
  EXPECT_EQ(model.summary(0)->isStarred, !wasStarred);

  // A link to a message deep in another folder opens it there.
  const std::string far = mailbox_.database().read([](store::Connection& c) {
    auto s = c.prepare(
        "SELECT m.id FROM email_messages m JOIN email_folders f ON f.id = m.folder_id "
        "WHERE f.type = 'custom' AND m.is_deleted = 0 AND m.is_spam = 0 "
        "ORDER BY m.date LIMIT 1");
    s.step();
    return s.text(0).value_or("");
  });
  window_->handle_handover(QString::fromStdString("open " + EmailDeepLink::message(far).build()));
  EXPECT_EQ(current(), far);
  EXPECT_EQ(model.selection().kind, MailboxSelection::Kind::folder);
  EXPECT_EQ(window_->reading_pane().message()->id, far);
}

TEST_F(MainWindowTest, UnreadCountsFollowActionsAndOtherProcesses) {
  expect_tree_counts("at start");
  key(Qt::Key_U);  // open, hence read (a delay of 0): unread again
  expect_tree_counts("marked unread");
  key(Qt::Key_S);
  expect_tree_counts("starred");
  key(Qt::Key_E);
  expect_tree_counts("archived");
  key(Qt::Key_Z, Qt::ControlModifier);
  expect_tree_counts("archive undone");

  // Another process reads a part of the inboxes and files a new folder.
  auto other = mailbox_.open_again();
  other->write([](store::Connection& c) {
    c.execute(
        "UPDATE email_messages SET is_read = 1 - is_read WHERE rowid % 7 = 0 AND folder_id IN "
        "(SELECT id FROM email_folders WHERE type = 'inbox')");
    c.execute(
        "INSERT INTO email_folders (id, account_id, name, type, path) SELECT "
        "'F0000000-0000-4000-8000-000000000002', account_id, 'Receipts', 'custom', 'Receipts' "
        "FROM email_folders LIMIT 1");
  });
  ASSERT_TRUE(window_->poll_database());
  expect_tree_counts("after another process");
  EXPECT_EQ(window_->unread_shown(
                {MailboxSelection::Kind::folder, "F0000000-0000-4000-8000-000000000002", {}}),
            0);
}

// Search results come a page at a time; an action deep in them keeps its place.
TEST_F(MainWindowTest, SearchResultsGrowByPagesAndKeepTheirPlaceAfterAnAction) {
  auto& model = window_->list_model();
  window_->search_field().setText("is:read");
  window_->run_pending_search();
  ASSERT_EQ(model.rowCount(), MessagePager::kPageSize);
  ASSERT_TRUE(model.canFetchMore({}));
  model.fetchMore({});
  ASSERT_GT(model.rowCount(), MessagePager::kPageSize + 50);
  const int row = MessagePager::kPageSize + 50;
  const std::string id = model.summary(row)->id;
  window_->list_view().setFocus();
  window_->list_view().setCurrentIndex(model.index(row));
  QApplication::processEvents();
  key(Qt::Key_S);
  EXPECT_TRUE(flag(id, "is_starred"));
  EXPECT_EQ(current(), id);
  EXPECT_EQ(window_->list_view().currentIndex().row(), row);
}

// The list of conversations reads a page at a time: j past the last row read reads the next
// page and goes on into it.
TEST_F(MainWindowTest, JPastTheLastRowReadGoesOnIntoTheNextPage) {
  auto& model = window_->list_model();
  auto& view = window_->list_view();
  const int rows = model.rowCount();
  ASSERT_TRUE(model.canFetchMore({}));
  view.setFocus();
  view.selectionModel()->setCurrentIndex(model.index(rows - 1),
                                         QItemSelectionModel::ClearAndSelect);
  key(Qt::Key_J);
  EXPECT_GT(model.rowCount(), rows);
  EXPECT_EQ(view.currentIndex().row(), rows);
  EXPECT_EQ(window_->reading_pane().message()->id, current());

  // A link to the oldest message of the list reads on until it is listed.
  const std::string oldest = mailbox_.database().read([](store::Connection& c) {
    auto s = c.prepare(
        "SELECT id FROM email_messages WHERE is_deleted = 0 AND is_spam = 0 AND is_draft = 0 AND "
        "folder_id IN (SELECT id FROM email_folders WHERE type = 'inbox') ORDER BY date, id DESC");
    s.step();
    return s.text(0).value_or("");
  });
  EXPECT_TRUE(window_->open_message(oldest));
  EXPECT_EQ(current(), oldest);
  EXPECT_EQ(model.selection().kind, MailboxSelection::Kind::unifiedInbox);
}

TEST_F(MainWindowTest, ConversationsOpenAndCloseByKeysAndByClick) {
  auto& model = window_->list_model();
  auto& view = window_->list_view();
  int row = 0;
  while (row < model.rowCount() && !model.row_info(row).opens) ++row;
  ASSERT_LT(row, model.rowCount());
  const int rows = model.rowCount();
  const int size = model.summary(row)->threadSize;
  view.selectionModel()->setCurrentIndex(model.index(row), QItemSelectionModel::ClearAndSelect);
  const std::string head = current();

  key(Qt::Key_Right);  // opens: j walks into the older messages
  EXPECT_EQ(model.rowCount(), rows + size - 1);
  key(Qt::Key_J);
  EXPECT_EQ(model.row_info(view.currentIndex().row()).child, 0);
  EXPECT_EQ(window_->reading_pane().message()->id, current());
  EXPECT_NE(current(), head);
  key(Qt::Key_Left);  // closes from a message of it: back on its row
  EXPECT_EQ(model.rowCount(), rows);
  EXPECT_EQ(current(), head);

  // A click in the row's left margin opens and closes it; elsewhere it only selects.
  const QRect rect = view.visualRect(model.index(row));
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {},
                    QPoint(rect.left() + 8, rect.center().y()));
  EXPECT_EQ(model.rowCount(), rows + size - 1);
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {},
                    QPoint(rect.left() + 8, rect.center().y()));
  EXPECT_EQ(model.rowCount(), rows);
  QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, rect.center());
  EXPECT_EQ(model.rowCount(), rows);

  // A link to an older message of a closed conversation opens the conversation to show it.
  const std::string older = model.messages_of(row).back();
  ASSERT_NE(older, head);
  EXPECT_TRUE(window_->open_message(older));
  EXPECT_EQ(current(), older);
  EXPECT_EQ(model.rowCount(), rows + size - 1);

  key(Qt::Key_T);  // conversations off: one row per message
  EXPECT_FALSE(model.group_conversations());
  EXPECT_GT(model.rowCount(), rows + size - 1);
}

// Return in a text field of the window belongs to the field: the AI panel's question is asked
// (Open keeps Return in the list and the search field, tested above).
TEST_F(MainWindowTest, ReturnInTheAiPanelsQuestionAsksInsteadOfOpening) {
  window_->action("aiPanel")->trigger();
  auto* question = window_->findChild<QLineEdit*>("aiQuestion");
  ASSERT_NE(question, nullptr);
  question->setFocus();
  QSignalSpy asked(question, &QLineEdit::returnPressed);
  QTest::keyClick(question, Qt::Key_Return);
  EXPECT_EQ(asked.count(), 1);
}

// Qt's own texts follow the interface language: a Chinese window's dialogs do not offer
// "Cancel" and "Close".
TEST(ToolkitTextsTest, StandardButtonsSpeakTheInterfaceLanguage) {
  const bool english = text_language() == TextLanguage::english;
  set_text_language("zh-Hans");
  load_toolkit_translations();
  QDialogButtonBox box(QDialogButtonBox::Cancel | QDialogButtonBox::Close);
  EXPECT_EQ(box.button(QDialogButtonBox::Cancel)->text().toStdString(), "取消");
  EXPECT_EQ(box.button(QDialogButtonBox::Close)->text().toStdString(), "关闭");
  for (QTranslator* t : qApp->findChildren<QTranslator*>()) {
    QCoreApplication::removeTranslator(t);
    delete t;
  }
  if (english) set_text_language("en");
}

TEST_F(MainWindowTest, EveryActionIsInTheMenusWithItsKey) {
  const std::vector<std::pair<const char*, QString>> expected = {
      {"next", "J"},
      {"previous", "K"},
      {"open", "Return"},
      {"archive", "E"},
      {"trash", "#"},
      {"star", "S"},
      {"read", "U"},
      {"spam", "!"},
      {"search", "/"},
      {"inbox", "G, I"},
      {"palette", "Ctrl+K"},
      {"shortcuts", "?"},
      {"move", "V"},
      {"conversations", "T"},
      {"openConversation", "Right"},
      {"closeConversation", "Left"},
      {"compose", "Ctrl+N"},
      {"reply", "R"},
      {"replyAll", "Shift+R"},
      {"forward", "F"},
  };
  for (const auto& [name, keys] : expected) {
    QAction* a = window_->action(name);
    ASSERT_NE(a, nullptr) << name;
    EXPECT_EQ(a->shortcut().toString(), keys) << name;
    EXPECT_FALSE(a->associatedObjects().isEmpty()) << name;  // reachable by mouse
  }
  // The second keys of the writing actions, as other mail programs have them.
  EXPECT_EQ(window_->action("reply")->shortcuts().value(1).toString(), "Ctrl+R");
  EXPECT_EQ(window_->action("replyAll")->shortcuts().value(1).toString(), "Ctrl+Shift+R");
  EXPECT_EQ(window_->action("forward")->shortcuts().value(1).toString(), "Ctrl+L");
  // Writing leads the Message menu.
  QMenu* messageMenu = nullptr;
  for (QObject* o : window_->action("archive")->associatedObjects())
    if (auto* m = qobject_cast<QMenu*>(o)) messageMenu = m;
  ASSERT_NE(messageMenu, nullptr);
  QStringList first;
  for (QAction* a : messageMenu->actions().mid(0, 4)) first << a->objectName();
  EXPECT_EQ(first, QStringList({"compose", "reply", "replyAll", "forward"}));
}

}  // namespace
}  // namespace kestrova::app::desktop
