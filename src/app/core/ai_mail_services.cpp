#include "app/core/ai_mail_services.h"

#include "app/core/user_preferences.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"

namespace kestrova::app {

ai::ResolvedAIProfile ai_analysis_profile() {
  // Read afresh each time, so that a long-running service follows the profile and binding
  // changes the command line makes.
  return ai::AIConfiguration(platform::SettingsStore::shared())
      .resolveProfile(ai::AIScenario::emailAnalysis);
}

ai::EmailQAService::Settings qa_settings(const UserPreferences& preferences) {
  return {preferences.get(settings::emailSuperPrivacyMode),
          preferences.get(settings::defaultLanguage)};
}

ai::EmailAIBackgroundService::Environment background_analysis_environment(
    store::EmailStore& store, const UserPreferences& preferences) {
  ai::EmailAIBackgroundService::Environment environment;
  environment.admitsWork = [&preferences] {
    return preferences.get(settings::emailAIBackgroundAnalysisEnabled) &&
           !preferences.get(settings::emailSuperPrivacyMode) &&
           !ai::AIConfiguration(platform::SettingsStore::shared())
                .configurationIssue(ai::AIScenario::emailAnalysis);
  };
  environment.admitsMessage = [&store](const store::EmailMessage& message) {
    return store.database().read([&](store::Connection& c) {
      auto s = c.prepare("SELECT is_privacy_mode_enabled FROM email_accounts WHERE id = ?");
      s.bind_all(message.accountId);
      return s.step() && s.integer(0).value_or(0) == 0;
    });
  };
  environment.analyze = ai::EmailAIBackgroundService::chatAnalyzer(ai_analysis_profile);
  environment.save = ai::EmailAIBackgroundService::storeWriter(store);
  return environment;
}

}  // namespace kestrova::app
