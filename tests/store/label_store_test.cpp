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

TEST_F(LabelStoreTest, UpdateAndDelete) {
  const EmailMessage message = add_message("Note");
  LabelStore store(*db_, clock());
  auto label = store.create("Tmp");
  store.add_to_message(message.id, label->id);

  label->name = "Later";
  label->colorHex = "#00FF00";
  ASSERT_TRUE(store.update(*label));
  EXPECT_EQ(LabelStore(*db_, clock()).labels().at(0).name, "Later");
  EXPECT_EQ(store.labels_of_message(message.id).at(0).colorHex, "#00FF00");

  ASSERT_TRUE(store.remove(label->id));
  EXPECT_TRUE(store.labels().empty());
  EXPECT_TRUE(store.labels_of_message(message.id).empty());
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_message_labels"), 0);
}

}  // namespace
}  // namespace kestrova::store
