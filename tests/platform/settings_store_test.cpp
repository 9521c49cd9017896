#include "platform/settings_store.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <thread>

#include "support/test_support.h"

namespace kestrova::platform {
namespace {

std::string read_text(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  std::filesystem::path file_ = dir_.path() / "config" / "kestrova" / "settings.json";
};

TEST_F(SettingsStoreTest, WritesValidJsonAtOnceAndReadsOnlyTheExpectedType) {
  SettingsStore store(file_);
  store.set("hideDockIcon", true);
  store.set("emailProxyPort", 7856);
  store.set("aiTimeout", 2.5);
  store.set("emailVIPSenders", Json::array({"a@example.com", "王@例子.cn"}));
  store.set("appVisualSkin", "ink");

  // Every write lands in the file as a JSON object, without temporary files left behind.
  const Json on_disk = Json::parse(read_text(file_));
  EXPECT_EQ(on_disk["emailVIPSenders"][1], "王@例子.cn");
  EXPECT_EQ(on_disk["emailProxyPort"], 7856);
  for (const auto& entry : std::filesystem::directory_iterator(file_.parent_path()))
    EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();

  EXPECT_EQ(store.boolean("hideDockIcon"), true);
  EXPECT_EQ(store.integer("emailProxyPort"), 7856);
  EXPECT_EQ(store.real("emailProxyPort"), 7856.0);  // any number reads as a double
  EXPECT_EQ(store.string_list("emailVIPSenders")->size(), 2u);
  // A value of another JSON type reads as absent.
  EXPECT_EQ(store.boolean("appVisualSkin"), std::nullopt);
  EXPECT_EQ(store.string("hideDockIcon"), std::nullopt);
  EXPECT_EQ(store.integer("aiTimeout"), std::nullopt);  // 2.5 is not integral
  store.set("whole", 3.0);
  EXPECT_EQ(store.integer("whole"), 3);
  store.set("mixed", Json::array({"a", 1}));
  EXPECT_EQ(store.string_list("mixed"), std::nullopt);
  EXPECT_EQ(store.boolean("missing"), std::nullopt);
}

TEST_F(SettingsStoreTest, FileIsPrivateButASharedStickyDirectoryStaysOpen) {
  const auto shared = dir_.path() / "shared";
  std::filesystem::create_directories(shared);
  std::filesystem::permissions(shared,
                               std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  SettingsStore store(shared / "settings.json");
  store.set("aiAPIToken", "secret");
  EXPECT_EQ(std::filesystem::status(shared).permissions(),
            std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
  EXPECT_EQ(std::filesystem::status(shared / "settings.json").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(SettingsStoreTest, WritersOnTheSameFileDoNotLoseEachOthersKeys) {
  SettingsStore first(file_), second(file_);
  auto writes = [](SettingsStore& store, const std::string& prefix) {
    for (int i = 0; i < 25; ++i) store.set(prefix + std::to_string(i), i);
  };
  std::thread a(writes, std::ref(first), "a");
  std::thread b(writes, std::ref(second), "b");
  a.join();
  b.join();
  const Json on_disk = Json::parse(read_text(file_));
  EXPECT_EQ(on_disk.size(), 50u);
}

}  // namespace
}  // namespace kestrova::platform
