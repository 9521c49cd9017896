// The settings and open commands of the real program, in a temporary home.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>

#include "support/test_support.h"
#include "util/json.h"

namespace kestrova {
namespace {

class SettingsCliTest : public ::testing::Test {
 protected:
  testing::ProcessResult run(const std::vector<std::string>& args) {
    const std::filesystem::path root = dir_.path();
    return testing::run_process(KESTROVA_BINARY, args, "",
                                {"HOME=" + (root / "home").string(), "XDG_DATA_HOME=" + (root / "data").string(),
                                 "XDG_CONFIG_HOME=" + (root / "config").string()});
  }
  Json settings_file() {
    std::ifstream in(dir_.path() / "config" / "kestrova" / "settings.json");
    return Json::parse(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
  }

  testing::TempDir dir_;
  // The child inherits our environment too; keep the real home out of both.
  testing::ScopedHome home_{dir_.path()};
};

TEST_F(SettingsCliTest, SetAndGetByTypeAndRejectValuesThatDoNotFit) {
  auto result = run({"settings", "set", "followUpWaitingDays", "8"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(run({"settings", "get", "followUpWaitingDays"}).out, "8\n");
  EXPECT_EQ(run({"settings", "set", "emailVIPSenders", "boss@example.com, 老板@例子.cn"}).exit_code, 0);
  EXPECT_EQ(run({"settings", "get", "emailVIPSenders"}).out, "[\"boss@example.com\",\"老板@例子.cn\"]\n");
  EXPECT_EQ(run({"settings", "set", "hideDockIcon", "yes"}).exit_code, 0);
  EXPECT_EQ(run({"settings", "get", "appVisualSkin"}).out, "\"mist\"\n");

  const Json before = settings_file();
  for (const std::vector<std::string>& rejected :
       {std::vector<std::string>{"settings", "set", "followUpWaitingDays", "soon"},
        {"settings", "set", "followUpWaitingDays", "-3"},
        {"settings", "set", "hideDockIcon", "maybe"},
        {"settings", "set", "appVisualSkin", "neon"},
        {"settings", "set", "noSuchSetting", "1"}}) {
    result = run(rejected);
    EXPECT_EQ(result.exit_code, 1) << rejected[2] << " " << rejected[3];
    EXPECT_NE(result.err.find(rejected[2]), std::string::npos) << result.err;  // names the key
  }
  EXPECT_EQ(settings_file(), before);
  EXPECT_EQ(run({"settings", "get", "noSuchSetting"}).exit_code, 1);

  // Secrets are stored but shown as "***" by set, get and list alike.
  const std::string secret = "GOCSPX-client-secret-42";
  for (const std::string key : {"oauthGmailClientSecret", "aiAPIToken"})
    EXPECT_EQ(run({"settings", "set", key, secret}).out, key + " = \"***\"\n");
  EXPECT_EQ(settings_file()["oauthGmailClientSecret"], secret);
  EXPECT_EQ(run({"settings", "get", "oauthGmailClientSecret"}).out, "\"***\"\n");

  const std::string listing = run({"settings", "list"}).out;
  EXPECT_NE(listing.find("* followUpWaitingDays = 8\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("  emailProxyPort = 7856\n"), std::string::npos) << listing;
  EXPECT_NE(listing.find("* oauthGmailClientSecret = \"***\"\n"), std::string::npos) << listing;
  EXPECT_EQ(listing.find(secret), std::string::npos) << listing;
}

TEST_F(SettingsCliTest, OpenLogsAndShowsTheParsedLinkOrSaysNothing) {
  const std::string url = "kestrova://email/0f8fad5b-d9cb-469f-a165-70867728950e?chat=true";
  auto result = run({"open", url});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out.find("[AppDelegate]"), std::string::npos)
      << result.out;  // logged to the file
  EXPECT_NE(result.out.find(R"("case":"email")"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(R"("id":"0F8FAD5B-D9CB-469F-A165-70867728950E")"), std::string::npos);
  EXPECT_NE(result.out.find(R"("chat":true)"), std::string::npos);

  result = run({"open", "kestrova://thread/"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

TEST_F(SettingsCliTest, FoldersAndFilesArePrivateAndADamagedFileIsSetAsideOnce) {
  const std::filesystem::path data = dir_.path() / "data",
                              config = dir_.path() / "config" / "kestrova";
  const std::string damaged =
      R"({"appVisualSkin": "ink", "aiAPIToken": "sk-)";  // cut off mid-write
  std::filesystem::create_directories(data / "tivra" / "Email");
  std::filesystem::create_directories(config);
  std::ofstream(config / "settings.json") << damaged;
  for (const auto& wide : {data / "tivra" / "Email", config, config / "settings.json"})
    ::chmod(wide.c_str(), 0755);
  auto mode = [](const std::filesystem::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
  };

  auto result = run({"settings", "get", "appVisualSkin"});
  EXPECT_EQ(result.out, "\"mist\"\n");  // the default, and nothing else on standard output
  const std::string prefix = (config / "settings.json.damaged-").string();
  const size_t named = result.err.find(prefix);  // the warning names the renamed file
  ASSERT_NE(named, std::string::npos) << result.err;
  const std::filesystem::path aside =
      result.err.substr(named, prefix.size() + 15);  // YYYYMMDD-HHMMSS
  std::ifstream kept(aside);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), damaged);

  result = run({"settings", "set", "hideDockIcon", "true"});
  EXPECT_EQ(result.err.find("damaged"), std::string::npos) << result.err;  // told once
  EXPECT_EQ(settings_file()["hideDockIcon"], true);
  for (const auto& file : {aside, config / "settings.json"}) EXPECT_EQ(mode(file), 0600u) << file;
  for (const auto& folder : {data / "tivra", data / "tivra" / "Email", data / "tivra" / "Rules",
                             data / "kestrova", config})
    EXPECT_EQ(mode(folder), 0700u) << folder;
}

}  // namespace
}  // namespace kestrova
