#include "store/email_action_store.h"

#include <gtest/gtest.h>

#include "mail_test_fixture.h"

namespace kestrova::store {
namespace {

class EmailActionStoreTest : public testing::SmallStoreTest {
 protected:
  EmailActionStore::Options options() { return {clock(), poster(), false}; }
};

TEST_F(EmailActionStoreTest, DeletedAiItemStaysDeletedWhateverTheSpelling) {
  const EmailMessage message = add_message("Contract");
  EmailActionStore store(*db_, options());
  auto created = store.add_ai_items(message.id, account_id_,
                                    {"Sign the contract", "Call  Bob!", "sign the CONTRACT.", "🎉"});
  ASSERT_EQ(created.size(), 2u);  // a repeated key and an emoji-only title are skipped
  EXPECT_EQ(created[0].titleKey, "sign the contract");
  EXPECT_EQ(created[0].source, EmailActionItemSource::ai);
  EXPECT_EQ(store.items().size(), 2u);

  ASSERT_TRUE(store.remove(created[0].id));
  EXPECT_EQ(store.items().size(), 1u);
  // Analysing the message again brings back neither the deleted nor the existing item.
  EXPECT_TRUE(
      store.add_ai_items(message.id, account_id_, {"SIGN the contract!!", "call bob"}).empty());
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_action_items"), 1);

  // Another message with the same title is not affected by the tombstone.
  const EmailMessage other = add_message("Other");
  EXPECT_EQ(store.add_ai_items(other.id, account_id_, {"Sign the contract"}).size(), 1u);
}

TEST_F(EmailActionStoreTest, OverdueSnoozedItemIsAnnouncedOnceOnTheFirstTick) {
  const EmailMessage message = add_message("Trip");
  {
    EmailActionStore before(*db_, options());
    const auto id = before.add_ai_items(message.id, account_id_, {"Book hotel", "Pack"}).at(0).id;
    before.snooze(id, kStart + 60);
  }
  // The time passed while the program was not running.
  now_ += 7200;
  EmailActionStore store(*db_, options());
  EXPECT_TRUE(posted_.empty());
  EXPECT_EQ(store.wake_due_items(), 1);
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_EQ(posted_[0].title, "行动项到时间了");
  EXPECT_EQ(posted_[0].body, "「Book hotel」需要继续处理");

  now_ += 60;
  EXPECT_EQ(store.wake_due_items(), 0);
  EXPECT_EQ(EmailActionStore(*db_, options()).wake_due_items(), 0);  // also after a restart
  EXPECT_EQ(posted_.size(), 1u);
  const auto woken = store.items();
  for (const auto& item : woken) EXPECT_EQ(item.state, EmailActionItemState::open);

  // Snoozing it again makes it due again later, not before.
  store.snooze(woken[0].id, now_ + 120);
  EXPECT_EQ(store.wake_due_items(), 0);
  now_ += 120;
  EXPECT_EQ(store.wake_due_items(), 1);
  EXPECT_EQ(posted_.size(), 2u);
}

}  // namespace
}  // namespace kestrova::store
