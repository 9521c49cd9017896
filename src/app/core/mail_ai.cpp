#include "app/core/mail_ai.h"

#include "app/core/user_preferences.h"
#include "platform/settings_store.h"
#include "store/email_account.h"
#include "util/error.h"
#include "util/localization.h"

namespace kestrova::app {

ai::AIConfiguration& ai_configuration() {
  static ai::AIConfiguration instance = [] {
    ai::AIConfiguration c(platform::SettingsStore::shared());
    c.ensureAIConfiguration();
    return c;
  }();
  return instance;
}

void ensure_ai_may_read(const UserPreferences& preferences, const store::EmailAccount* account) {
  if (preferences.get(settings::emailSuperPrivacyMode))
    throw Error(localized("ai.mail.error.privacy_mode"));
  if (account && account->isPrivacyModeEnabled)
    throw Error(localized("ai.mail.error.account_privacy"));
}

bool ai_may_read(const UserPreferences& preferences, const store::EmailAccount* account) {
  return !preferences.get(settings::emailSuperPrivacyMode) &&
         !(account && account->isPrivacyModeEnabled);
}

ai::ResolvedAIProfile usable_ai_target(ai::AIScenario scenario) {
  if (auto issue = ai_configuration().configurationIssue(scenario)) throw Error(*issue);
  return ai_configuration().resolveProfile(scenario);
}

}  // namespace kestrova::app
