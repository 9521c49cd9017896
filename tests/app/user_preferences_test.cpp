#include "app/core/user_preferences.h"

#include <gtest/gtest.h>

#include "app/core/notification_center.h"
#include "platform/main_queue.h"
#include "platform/settings_store.h"
#include "support/test_support.h"
#include "util/error.h"

namespace kestrova::app {
namespace {

class UserPreferencesTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::MainQueue::drain(); }

  testing::TempDir dir_;
  std::filesystem::path file_ = dir_.path() / "settings.json";
  platform::SettingsStore store_{file_};
};

TEST_F(UserPreferencesTest, FreshStoreYieldsExactlyTheDefaultsInTableOrder) {
  UserPreferences preferences(store_);
  // The settings as documented for users, in the order of the settings screens.
  const OrderedJson expected = OrderedJson::parse(R"({
    "launchAtLogin": false, "hideDockIcon": false, "appVisualSkin": "mist",
    "appInterfaceFontScale": "standard", "defaultLanguage": "zh-Hans", "hasCompletedOnboarding": false,
    "aiAPIEndpoint": "http://127.0.0.1:11434", "aiModel": "gemma2:2b", "aiAPIToken": "", "aiTimeout": 5.0,
    "aiSystemPrompt": null, "aiServiceProfiles": [], "aiScenarioBindings": [],
    "emailNotificationsEnabled": true, "emailNotifyVIPOnly": false, "emailNotifySoundEnabled": true,
    "emailNotifyBadgeEnabled": true, "emailNotifyPreviewEnabled": true, "emailVIPSenders": [],
    "dockBadgeIncludesActions": false, "dockBadgeIncludesFollowUps": false,
    "emailDoNotDisturbEnabled": false, "emailDoNotDisturbFrom": 22, "emailDoNotDisturbTo": 7,
    "followUpWaitingDays": 5, "followUpAutoWaitingOnReply": true, "followUpNotifyEnabled": true,
    "emailShowImages": false, "emailShowAttachments": false, "emailCompactBlankLines": true,
    "emailAutoReplyEnabled": false, "emailAutoReplyTemplate": "感谢您的邮件。我会尽快回复。",
    "emailAutoSignatureOnReplyEnabled": true, "emailJunkFilterEnabled": true,
    "emailJunkFilterAction": "markSpam", "emailBlockedSenderFilterEnabled": true,
    "emailBlockedSenderAction": "moveToSpam", "emailReadReceiptEnabled": false,
    "emailMarkAsReadDelaySeconds": 3, "emailInitialLoadThreshold": 30,
    "emailStopAutoSyncAfterThreshold": true, "emailSuperPrivacyMode": false,
    "undoSendEnabled": true, "undoSendDelaySeconds": 10,
    "emailAISmartTaggingEnabled": true, "emailAISummaryEnabled": true,
    "emailAIPriorityDetectionEnabled": true, "emailAIActionItemsEnabled": true,
    "emailAIBackgroundAnalysisEnabled": true, "emailAutoTranslateEnabled": true,
    "emailAutoTranslateIgnoredLanguages": [],
    "emailProxyEnabled": true, "emailProxyHost": "localhost", "emailProxyPort": 7856, "emailProxyType": "socks5",
    "oauthGmailClientId": "", "oauthGmailClientSecret": "", "oauthGmailAuthorizationEndpoint": "",
    "oauthGmailTokenEndpoint": "", "oauthOutlookClientId": "", "oauthOutlookAuthorizationEndpoint": "",
    "oauthOutlookTokenEndpoint": "",
    "emailReadingThemeMode": "auto", "emailReadingFontSize": 16, "emailReadingLineSpacing": "normal",
    "mcpExposureLevel": "trainable", "featureActionItemsEnabled": true,
    "featureInternalNotesEnabled": false, "featureTagSystemEnabled": false
  })");
  const auto& table = setting_descriptors();
  ASSERT_EQ(table.size(), expected.size());
  size_t position = 0;
  for (const auto& [key, value] : expected.items()) {
    const auto& setting = table[position++];
    ASSERT_EQ(setting.key, key);
    if (value.is_null()) continue;  // the prompt's wording is ours
    EXPECT_EQ(dump_compact(preferences.value(key)), dump_compact(value)) << key;
  }
  const std::string prompt = preferences.get(settings::aiSystemPrompt);
  EXPECT_NE(prompt.find("语音识别"), std::string::npos);

  // The typed handles agree with the table.
  EXPECT_EQ(preferences.get(settings::appVisualSkin), AppVisualSkin::mist);
  EXPECT_EQ(preferences.get(settings::emailBlockedSenderAction), EmailJunkFilterAction::moveToSpam);
  EXPECT_EQ(preferences.get(settings::emailReadingThemeMode), EmailReadingThemeMode::automatic);
  EXPECT_EQ(preferences.get(settings::mcpExposureLevel), MCPExposureLevel::trainable);
  EXPECT_EQ(preferences.reading_font_size(), EmailFontSize::medium);
  EXPECT_EQ(preferences.get(settings::aiTimeout), 5.0);
  EXPECT_TRUE(preferences.get(settings::emailVIPSenders).empty());
  // Creation wrote nothing but the migration.
  EXPECT_EQ(store_.all(), (Json{{"didMigrateDockBadgeUnreadOnlyDefault", true},
                                {"dockBadgeIncludesActions", false},
                                {"dockBadgeIncludesFollowUps", false}}));
}

TEST_F(UserPreferencesTest, StoredValuesOfTheWrongKindReadAsDefaults) {
  store_.set("followUpWaitingDays", 0);
  UserPreferences preferences(store_);
  EXPECT_EQ(preferences.get(settings::followUpWaitingDays), 1);
  store_.set("followUpWaitingDays", -3);
  EXPECT_EQ(preferences.get(settings::followUpWaitingDays), 1);
  EXPECT_EQ(store_.integer("followUpWaitingDays"), -3);  // clamped on read only
  store_.set("followUpWaitingDays", 9);
  EXPECT_EQ(preferences.get(settings::followUpWaitingDays), 9);

  store_.set("emailNotificationsEnabled", "false");  // a string for a bool key
  EXPECT_TRUE(preferences.get(settings::emailNotificationsEnabled));
  store_.set("emailProxyPort", "8080");
  EXPECT_EQ(preferences.get(settings::emailProxyPort), 7856);
  store_.set("emailProxyHost", 42);
  EXPECT_EQ(preferences.get(settings::emailProxyHost), "localhost");
  store_.set("emailBlockedSenderAction", "delete");  // not a case of the enumeration
  EXPECT_EQ(preferences.get(settings::emailBlockedSenderAction), EmailJunkFilterAction::moveToSpam);
  store_.set("emailReadingFontSize", 15);
  EXPECT_EQ(preferences.reading_font_size(), EmailFontSize::medium);
  store_.set("aiServiceProfiles", Json::array({Json{{"id", "x"}}, "not a record"}));
  EXPECT_EQ(preferences.get(settings::aiServiceProfiles), Json::array());
  store_.set("aiScenarioBindings", Json{{"scenario", "summary"}});
  EXPECT_EQ(preferences.get(settings::aiScenarioBindings), Json::array());
  // Onboarding is read like a plain platform bool: a stored 1 counts as done.
  store_.set("hasCompletedOnboarding", 1);
  EXPECT_TRUE(preferences.get(settings::hasCompletedOnboarding));
}

TEST_F(UserPreferencesTest, DockBadgeMigrationRunsOnce) {
  // A user of the old default had both badge extras on.
  store_.set("dockBadgeIncludesActions", true);
  store_.set("dockBadgeIncludesFollowUps", true);
  {
    UserPreferences preferences(store_);
    EXPECT_FALSE(preferences.get(settings::dockBadgeIncludesActions));
    EXPECT_FALSE(preferences.get(settings::dockBadgeIncludesFollowUps));
    preferences.set(settings::dockBadgeIncludesActions, true);
  }
  UserPreferences next_start(store_);
  EXPECT_TRUE(next_start.get(settings::dockBadgeIncludesActions));
}

TEST_F(UserPreferencesTest, WritesArePublishedOnTheMainThreadAndSeenByOtherInstances) {
  UserPreferences preferences(store_);
  std::vector<Json> dock_notifications;
  const int observer = NotificationCenter::shared().observe(
      notification_name::kHideDockIconPreferenceChanged, [&](const Json& value) { dock_notifications.push_back(value); });
  std::vector<int64_t> ports;
  std::vector<EmailLineSpacing> spacings;
  const int port_token = preferences.subscribe(settings::emailProxyPort, [&](const int64_t& v) { ports.push_back(v); });
  preferences.subscribe(settings::emailReadingLineSpacing, [&](EmailLineSpacing v) { spacings.push_back(v); });

  preferences.set(settings::hideDockIcon, true);
  preferences.set(settings::emailProxyPort, 1080);
  store_.set("emailProxyPort", 1081);  // any writer of this process publishes
  preferences.set(settings::emailReadingLineSpacing, EmailLineSpacing::relaxed);
  EXPECT_TRUE(dock_notifications.empty());  // not before the main loop turns
  platform::MainQueue::drain();
  EXPECT_EQ(dock_notifications, (std::vector<Json>{true}));
  EXPECT_EQ(ports, (std::vector<int64_t>{1080, 1081}));  // each write with its own value
  EXPECT_EQ(spacings, (std::vector<EmailLineSpacing>{EmailLineSpacing::relaxed}));

  preferences.unsubscribe(port_token);
  preferences.set(settings::emailProxyPort, 1082);
  preferences.set(settings::hideDockIcon, false);
  platform::MainQueue::drain();
  EXPECT_EQ(ports.size(), 2u);
  EXPECT_EQ(dock_notifications, (std::vector<Json>{true, false}));
  NotificationCenter::shared().remove_observer(observer);

  // Another process writing the same file: the next read sees it.
  platform::SettingsStore other_process(file_);
  other_process.set("emailProxyHost", "proxy.internal");
  EXPECT_EQ(preferences.get(settings::emailProxyHost), "proxy.internal");
  EXPECT_THROW(preferences.value("noSuchKey"), Error);
}

TEST_F(UserPreferencesTest, UserInputIsReadByTheKeysType) {
  auto parse = [](std::string_view key, std::string_view text) {
    return parse_setting_input(*find_setting(key), text);
  };
  EXPECT_EQ(parse("hideDockIcon", "YES"), true);
  EXPECT_EQ(parse("hideDockIcon", "0"), false);
  EXPECT_THROW(parse("hideDockIcon", "maybe"), Error);
  EXPECT_EQ(parse("emailProxyPort", "+8080"), 8080);
  EXPECT_THROW(parse("emailProxyPort", "80.5"), Error);
  EXPECT_THROW(parse("emailProxyPort", "99999999999999999999"), Error);
  EXPECT_THROW(parse("emailDoNotDisturbFrom", "24"), Error);
  EXPECT_EQ(parse("aiTimeout", "2.5"), 2.5);
  EXPECT_THROW(parse("aiTimeout", "nan"), Error);
  EXPECT_EQ(parse("emailAutoReplyTemplate", "  稍后回复 "), "  稍后回复 ");
  EXPECT_EQ(parse("appVisualSkin", "seaSalt"), "seaSalt");
  EXPECT_THROW(parse("appVisualSkin", "SeaSalt"), Error);  // raw values are exact
  EXPECT_EQ(parse("emailReadingFontSize", "18"), 18);
  EXPECT_THROW(parse("emailReadingFontSize", "17"), Error);
  EXPECT_EQ(parse("emailVIPSenders", " a@x.org, ,b@y.org "), Json::array({"a@x.org", "b@y.org"}));
  EXPECT_EQ(parse("emailVIPSenders", R"(["a,b@x.org"])"), Json::array({"a,b@x.org"}));
  EXPECT_EQ(parse("emailVIPSenders", ""), Json::array());
  EXPECT_THROW(parse("emailVIPSenders", "[1]"), Error);
  EXPECT_THROW(parse("aiServiceProfiles", "[1]"), Error);
  EXPECT_EQ(parse("aiServiceProfiles", R"([{"name":"本地"}])")[0]["name"], "本地");
}

}  // namespace
}  // namespace kestrova::app
