#include "store/folder_message_count_cache.h"

#include <gtest/gtest.h>

#include "platform/settings_store.h"
#include "support/test_support.h"
#include "util/json.h"

namespace kestrova::store {
namespace {

using testing::TempDir;

class FolderMessageCountCacheTest : public ::testing::Test {
 protected:
  FolderMessageCountCacheTest() {
    settings_.add_observer([this](const std::string& key) {
      if (key == FolderMessageCountCache::kCacheKey) ++writes_;
    });
  }

  TempDir dir_;
  platform::SettingsStore settings_{dir_.path() / "settings.json"};
  int writes_ = 0;
};

TEST_F(FolderMessageCountCacheTest, LoadKeepsOnlyIntegerCounts) {
  settings_.set(FolderMessageCountCache::kCacheKey,
                Json{{"A", 3}, {"B", "many"}, {"C", 2.5}, {"D", nullptr}, {"E", 0}});
  FolderMessageCountCache cache(settings_);
  EXPECT_EQ(cache.get("A"), 3);
  EXPECT_EQ(cache.get("E"), 0);
  EXPECT_EQ(cache.get("B"), std::nullopt);
  EXPECT_EQ(cache.get("C"), std::nullopt);
  EXPECT_EQ(cache.get("D"), std::nullopt);

  // A stored value that is not an object at all reads as an empty cache.
  settings_.set(FolderMessageCountCache::kCacheKey, "garbage");
  FolderMessageCountCache corrupted(settings_);
  EXPECT_EQ(corrupted.get("A"), std::nullopt);
}

TEST_F(FolderMessageCountCacheTest, WritesBackOnlyChangesAndPersists) {
  FolderMessageCountCache cache(settings_);
  cache.set("A", 5);
  EXPECT_EQ(writes_, 1);
  cache.set("A", 5);  // unchanged: no write
  EXPECT_EQ(writes_, 1);

  cache.setMany({{"A", 5}, {"B", 7}, {"C", 1}});
  EXPECT_EQ(writes_, 2);  // one write for two changed entries
  cache.setMany({{"A", 5}, {"B", 7}});
  EXPECT_EQ(writes_, 2);

  FolderMessageCountCache reloaded(settings_);
  EXPECT_EQ(reloaded.get("A"), 5);
  EXPECT_EQ(reloaded.get("B"), 7);
  EXPECT_EQ(reloaded.get("C"), 1);

  cache.clear();
  EXPECT_EQ(cache.get("A"), std::nullopt);
  EXPECT_FALSE(settings_.value(FolderMessageCountCache::kCacheKey).has_value());
  FolderMessageCountCache afterClear(settings_);
  EXPECT_EQ(afterClear.get("B"), std::nullopt);
}

}  // namespace
}  // namespace kestrova::store
