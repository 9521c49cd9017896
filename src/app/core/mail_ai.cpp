#include "app/core/mail_ai.h"

#include "ai/chat_ai_service.h"
#include "app/core/user_preferences.h"
#include "platform/settings_store.h"
#include "store/email_account.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/text.h"

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

std::string test_ai_profile(const ai::AIServiceProfile& profile) {
  const ai::ResolvedAIProfile target{profile, text::trim(profile.defaultModel), profile.timeout};
  if (text::trim(profile.endpoint).empty()) throw Error(localized("ai.test.no_endpoint"));
  if (target.model.empty()) throw Error(localized("ai.test.no_model"));
  if (ai::needs_api_key(profile) && text::trim(profile.apiKey).empty())
    throw Error(localized("ai.test.no_key"));
  ai::ChatOptions options;
  options.model = target.model;
  options.maxTokens = 16;
  const Json messages = Json::array({{{"role", "user"}, {"content", "Reply with the word OK."}}});
  try {
    return text::trim(ai::ChatAIService().send(profile, messages, options, target.timeout));
  } catch (const std::exception& error) {
    throw Error(
        ai::AIConfiguration::userFacingAIErrorMessage(localized("ai.action.test"), error, target));
  }
}

}  // namespace kestrova::app
