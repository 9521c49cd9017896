// Follow-up, snooze and action items in the real window over a generated mailbox, with a
// second owner of the database file playing the service and the command line.

#include "app/desktop/follow_up.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <QTest>
#include <QTimer>
#include <functional>

#include "app/core/user_preferences.h"
#include "app/desktop/follow_up_items.h"
#include "app/desktop/mailbox_view.h"
#include "app/desktop/main_window.h"
#include "app/desktop/message_list_model.h"
#include "app/desktop/reading_pane.h"
#include "app/desktop/snooze_picker.h"
#include "generated_mailbox.h"
#include "platform/settings_store.h"
#include "store/email_action_store.h"
#include "store/email_store.h"
#include "store/snooze_service.h"
#include "util/time.h"

namespace kestrova::app::desktop {
namespace {

using Kind = MailboxSelection::Kind;

class FollowUpTest : public ::testing::Test {
 protected:
  FollowUpTest() : settings_(settingsDir_.path() / "settings.json"), preferences_(settings_) {
    preferences_.set(settings::emailMarkAsReadDelaySeconds, int64_t{0});
    window_ = std::make_unique<MainWindow>(mailbox_.database(), preferences_);
    window_->show();
    QApplication::setActiveWindow(window_.get());
    window_->list_view().setFocus();
    QApplication::processEvents();
  }

  // A key for the window, made active again (a closed dialog may leave no active window).
  void key(Qt::Key key) {
    QApplication::setActiveWindow(window_.get());
    QTest::keyClick(&window_->list_view(), key);
    QApplication::processEvents();
  }

  // Runs `act` on the picker the window opens, once it is open (the picker is modal).
  void with_picker(const std::function<void(SnoozePicker&)>& act) {
    auto* poll = new QTimer(window_.get());
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
      auto* picker = dynamic_cast<SnoozePicker*>(QApplication::activeModalWidget());
      if (!picker) return;
      poll->stop();
      poll->deleteLater();
      act(*picker);
    });
    poll->start(5);
  }

  std::optional<double> column(const std::string& id, const char* name) {
    return mailbox_.database().read([&](store::Connection& c) -> std::optional<double> {
      auto s = c.prepare(std::string("SELECT ") + name + " FROM email_messages WHERE id = ?");
      s.bind(1, id);
      return s.step() ? s.real(0) : std::nullopt;
    });
  }
  bool listed(const MailboxSelection& selection, const std::string& id) {
    EXPECT_TRUE(window_->show_mailbox(selection));
    return window_->list_model().row_of(id).has_value();
  }

  testing::GeneratedMailbox mailbox_;
  testing::TempDir settingsDir_;
  platform::SettingsStore settings_;
  UserPreferences preferences_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(FollowUpTest, SnoozedMessageLeavesTheInboxUntilItsTimeThenComesBack) {
  const std::string id = window_->current_message_id().value_or("");
  ASSERT_FALSE(id.empty());
  const double before = now_seconds();

  // "b", then the picker's third preset (tomorrow morning).
  with_picker([](SnoozePicker& picker) {
    ASSERT_GE(picker.choices().count(), 5);  // the presets and a time of one's own
    picker.take_row(2);
  });
  key(Qt::Key_B);
  const auto until = column(id, "snoozed_until");
  ASSERT_TRUE(until);
  EXPECT_EQ(*until, *store::SnoozeService::target_time(store::SnoozeDuration::tomorrow, before));
  EXPECT_NE(window_->current_message_id(), id);  // the next message took its place
  EXPECT_FALSE(window_->list_model().row_of(id));
  EXPECT_TRUE(listed({Kind::snoozed, {}, {}}, id));
  EXPECT_FALSE(listed({Kind::unifiedInbox, {}, {}}, id));

  // The service wakes it at its time (another owner of the file), and the window follows.
  auto service = mailbox_.open_again();
  store::EmailStore serviceStore(*service, settings_);
  store::SnoozeService snooze(*service, serviceStore,
                              {.clock = [&] { return *until + 1; }, .poster = [](auto&&) {}});
  EXPECT_EQ(snooze.check_expired(), 1);
  EXPECT_TRUE(window_->poll_database());
  EXPECT_TRUE(window_->list_model().row_of(id));
  EXPECT_FALSE(listed({Kind::snoozed, {}, {}}, id));

  // Snoozed again, then taken back from the picker before its time.
  EXPECT_TRUE(listed({Kind::unifiedInbox, {}, {}}, id));
  window_->list_view().setCurrentIndex(
      window_->list_model().index(*window_->list_model().row_of(id)));
  with_picker([](SnoozePicker& picker) { picker.take_custom(now_seconds() + 7200); });
  window_->pick_snooze();
  EXPECT_TRUE(listed({Kind::snoozed, {}, {}}, id));
  window_->list_view().setCurrentIndex(
      window_->list_model().index(*window_->list_model().row_of(id)));
  with_picker([](SnoozePicker& picker) { picker.take_remove(); });
  window_->pick_snooze();
  EXPECT_FALSE(column(id, "snoozed_until"));
  EXPECT_TRUE(listed({Kind::unifiedInbox, {}, {}}, id));
}

TEST_F(FollowUpTest, ReplyLaterAndWaitingOnAreSetAndClearedOnTheMessage) {
  const std::string id = window_->current_message_id().value_or("");
  ASSERT_FALSE(id.empty());
  struct Case {
    const char* what;
    const char* column;
    Kind view;
    std::function<void()> set;
    std::function<void()> clear;
  };
  const double later = now_seconds() + 3 * 86400;
  const std::vector<Case> cases = {
      {"reply later", "reply_later_until", Kind::replyLater,
       [&] {
         with_picker([later](SnoozePicker& p) { p.take_custom(later); });
         key(Qt::Key_L);
       },
       [&] {
         with_picker([](SnoozePicker& p) { p.take_remove(); });
         window_->pick_reply_later();
       }},
      {"waiting on", "waiting_since", Kind::waitingOn, [&] { key(Qt::Key_W); },
       [&] { window_->toggle_waiting(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(window_->show_mailbox({}));
    window_->list_view().setCurrentIndex(
        window_->list_model().index(*window_->list_model().row_of(id)));
    c.set();
    QApplication::processEvents();
    ASSERT_TRUE(column(id, c.column));
    if (std::string_view(c.column) == "reply_later_until") {
      EXPECT_EQ(*column(id, c.column), later);
    }
    // The message stays in its folder and shows in the queue's view.
    EXPECT_TRUE(window_->list_model().row_of(id));
    EXPECT_TRUE(listed({c.view, {}, {}}, id));
    window_->list_view().setCurrentIndex(
        window_->list_model().index(*window_->list_model().row_of(id)));
    c.clear();
    EXPECT_FALSE(column(id, c.column));
    window_->refresh_from_database();
    EXPECT_FALSE(window_->list_model().row_of(id));
  }
}

TEST_F(FollowUpTest, ActionItemsAreCheckedOffInTheViewAndOpenTheirMessage) {
  // Items added by another process (the command line), newest first.
  auto other = mailbox_.open_again();
  const auto messages = other->read([](store::Connection& c) {
    std::vector<std::pair<std::string, std::string>> out;
    auto s = c.prepare(
        "SELECT id, account_id FROM email_messages WHERE is_deleted = 0 AND is_draft = 0 "
        "ORDER BY date DESC LIMIT 3");
    while (s.step()) out.emplace_back(s.text(0).value_or(""), s.text(1).value_or(""));
    return out;
  });
  ASSERT_EQ(messages.size(), 3u);
  store::EmailActionStore items(*other,
                                {.clock = {}, .poster = [](auto&&) {}, .withoutWakeTimer = true});
  const char* titles[] = {"Send the contract", "Book the rooms", "Pay the invoice"};
  for (size_t i = 0; i < 2; ++i) {
    store::EmailActionItem item;
    item.messageId = messages[i].first;
    item.accountId = messages[i].second;
    item.title = titles[i];
    item.source = store::EmailActionItemSource::manual;
    item.createdAt = 1000 + static_cast<double>(i);
    ASSERT_TRUE(items.add(item));
  }

  ASSERT_TRUE(window_->show_mailbox({Kind::actionItems, {}, {}}));
  ActionItemsView& view = window_->action_items_view();
  ASSERT_TRUE(view.isVisible());
  EXPECT_FALSE(window_->list_view().isVisible());
  ASSERT_EQ(view.items().rowCount(), 2);
  EXPECT_EQ(view.items().row_at(0)->title, "Book the rooms");

  // Space checks the current item off and back on; the store follows each time.
  view.setFocus();
  view.setCurrentIndex(view.items().index(0));
  const std::string itemId = view.items().row_at(0)->id;
  auto state_of = [&] {
    items.load();
    return items.item(itemId)->state;
  };
  QTest::keyClick(&view, Qt::Key_Space);
  EXPECT_EQ(state_of(), store::EmailActionItemState::done);
  EXPECT_EQ(view.items().data(view.items().index(0), Qt::CheckStateRole), Qt::Checked);
  QTest::keyClick(&view, Qt::Key_Space);
  EXPECT_EQ(state_of(), store::EmailActionItemState::open);
  // A click in the check box does the same.
  EXPECT_TRUE(view.items().setData(view.items().index(1), Qt::Checked, Qt::CheckStateRole));
  items.load();
  EXPECT_EQ(items.item(view.items().row_at(1)->id)->state, store::EmailActionItemState::done);

  // The view opened its first item's message; j moves down and Enter opens that item's
  // message in the reading pane, not the hidden message list's.
  ASSERT_TRUE(window_->reading_pane().message());
  EXPECT_EQ(window_->reading_pane().message()->id, messages[1].first);
  QTest::keyClick(&view, Qt::Key_J);
  EXPECT_EQ(window_->reading_pane().message()->id, messages[1].first);
  QTest::keyClick(&view, Qt::Key_Return);
  EXPECT_EQ(window_->reading_pane().message()->id, messages[0].first);
  view.setCurrentIndex(view.items().index(0));

  // An item added elsewhere appears at the next look at the database.
  store::EmailActionItem third;
  third.messageId = messages[2].first;
  third.accountId = messages[2].second;
  third.title = titles[2];
  third.source = store::EmailActionItemSource::manual;
  third.createdAt = 2000;
  ASSERT_TRUE(items.add(third));
  EXPECT_TRUE(window_->poll_database());
  ASSERT_EQ(view.items().rowCount(), 3);
  EXPECT_EQ(view.items().row_at(0)->title, "Pay the invoice");
  EXPECT_EQ(view.items().row_at(view.currentIndex().row())->id, itemId);  // kept

  ASSERT_TRUE(window_->show_mailbox({}));
  EXPECT_TRUE(window_->list_view().isVisible());
  EXPECT_FALSE(view.isVisible());
}

}  // namespace
}  // namespace kestrova::app::desktop
