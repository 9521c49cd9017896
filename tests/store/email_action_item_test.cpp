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

using EmailActionItemRowTest = testing::StoreTest;

}  // namespace
}  // namespace kestrova::store
