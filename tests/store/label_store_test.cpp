#include "store/label_store.h"

#include <gtest/gtest.h>

#include "mail_test_fixture.h"

namespace kestrova::store {
namespace {

using LabelStoreTest = testing::SmallStoreTest;

TEST_F(LabelStoreTest, LinksAreSingleAndUnlinkingKeepsTheUsageCount) {
  const EmailMessage first = add_message("First");
  const EmailMessage second = add_message("Second");
  LabelStore store(*db_, clock());
  auto work = store.create("Work");
  auto home = store.create("Home", "#FF0000", "house");
  ASSERT_TRUE(work && home);
  EXPECT_EQ(work->colorHex, "#007AFF");
  EXPECT_EQ(work->systemImage, "tag.fill");

  ASSERT_TRUE(store.add_to_message(first.id, work->id));
  ASSERT_TRUE(store.add_to_message(first.id, work->id));
  ASSERT_TRUE(store.add_to_message(second.id, work->id));
  ASSERT_TRUE(store.add_to_message(first.id, home->id));
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_message_labels"), 3);

  ASSERT_TRUE(store.remove_from_message(first.id, work->id));
  auto of_first = store.labels_of_message(first.id);
  ASSERT_EQ(of_first.size(), 1u);
  EXPECT_EQ(of_first[0].name, "Home");

  LabelStore reopened(*db_, clock());
  ASSERT_EQ(reopened.labels().size(), 2u);
  EXPECT_EQ(reopened.labels()[0].name, "Work");  // most used first
  EXPECT_EQ(reopened.labels()[0].usageCount, 2);
  EXPECT_EQ(reopened.labels(), store.labels());
}

}  // namespace
}  // namespace kestrova::store
