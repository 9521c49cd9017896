#include "store/email_action_item.h"

#include <gtest/gtest.h>

#include "store_test_support.h"

namespace kestrova::store {
namespace {

TEST(EmailActionItemTest, TitleKeyNormalisation) {
  EXPECT_EQ(EmailActionItem::title_key("  Reply to Bob!!  "), "reply to bob");
  EXPECT_EQ(EmailActionItem::title_key("reply, to  BOB."), "reply to bob");
  EXPECT_EQ(EmailActionItem::title_key("Call\tAlice\n(ASAP) 📞"), "call alice asap");
  EXPECT_EQ(EmailActionItem::title_key("回复：张三的邮件 📧"), "回复张三的邮件");
  EXPECT_EQ(EmailActionItem::title_key("确认　周五 3 点的会议？"), "确认 周五 3 点的会议");
  EXPECT_EQ(EmailActionItem::title_key("ÜBER Café №5"), "über café 5");
  EXPECT_EQ(EmailActionItem::title_key("!!! 🎉"), "");

  auto item = EmailActionItem::make({.title = "Send the Q3 report!"});
  EXPECT_EQ(item.titleKey, "send the q3 report");
  EXPECT_EQ(EmailActionItem::make({.title = "x", .titleKey = "kept"}).titleKey, "kept");
}

TEST(EmailActionItemTest, IsActive) {
  EmailActionItem item;
  EXPECT_TRUE(item.isActive(100));
  item.state = EmailActionItemState::done;
  EXPECT_FALSE(item.isActive(100));
  item.state = EmailActionItemState::snoozed;
  EXPECT_TRUE(item.isActive(100));  // no time: counts as long past
  item.snoozedUntil = 100;
  EXPECT_TRUE(item.isActive(100));
  EXPECT_FALSE(item.isActive(99.5));
}

using EmailActionItemRowTest = testing::StoreTest;

TEST_F(EmailActionItemRowTest, RowsAndJson) {
  constexpr const char* ids =
      "'10000000-0000-4000-8000-000000000001' AS id, "
      "'E0000000-0000-4000-8000-000000000001' AS message_id, ";
  auto item = read_first<EmailActionItem>(
      std::string("SELECT ") + ids +
      "'A0000000-0000-4000-8000-000000000001' AS account_id, '回复 Bob!' AS title, "
      "NULL AS title_key, NULL AS state, 'later' AS source, 7 AS created_at");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->titleKey, "回复 bob");
  EXPECT_EQ(item->state, EmailActionItemState::open);
  EXPECT_EQ(item->source, EmailActionItemSource::ai);
  EXPECT_EQ(item->createdAt, 7);

  const OrderedJson json = item->to_json();
  EXPECT_FALSE(json.contains("dueAt"));
  EXPECT_FALSE(json.contains("snoozedUntil"));
  EXPECT_EQ(EmailActionItem::from_json(json), item);

  // Every identifier must be a UUID.
  EXPECT_FALSE(read_first<EmailActionItem>(std::string("SELECT ") + ids + "'' AS account_id"));
  EXPECT_FALSE(read_first<EmailActionItem>(
      "SELECT '10000000-0000-4000-8000-000000000001' AS id, 'msg' AS message_id, "
      "'A0000000-0000-4000-8000-000000000001' AS account_id"));
}

}  // namespace
}  // namespace kestrova::store
