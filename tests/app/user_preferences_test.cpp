#include "app/core/user_preferences.h"

#include <gtest/gtest.h>

#include "app/core/service/notification_center.h"
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

}  // namespace
}  // namespace kestrova::app
