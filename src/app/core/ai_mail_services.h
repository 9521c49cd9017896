#pragma once

#include "ai/ai_configuration.h"
#include "ai/email_ai_background_service.h"
#include "ai/email_qa_service.h"
#include "app/core/mail_ai.h"

namespace kestrova::store {
class EmailStore;
}

namespace kestrova::app {

class UserPreferences;

// The email-analysis scenario's profile, model and time-out as the settings file has them
// now; callable from any thread.
ai::ResolvedAIProfile ai_analysis_profile();

// The settings a mailbox question depends on.
ai::EmailQAService::Settings qa_settings(const UserPreferences& preferences);

// Background analysis as the application runs it: allowed while the background switch is on,
// super-privacy mode is off and the email-analysis scenario is configured; never for a
// message of an account in privacy mode (its content stays on the machine). Analysed with
// the email-analysis scenario's profile and written into the stored message through `store`.
ai::EmailAIBackgroundService::Environment background_analysis_environment(
    store::EmailStore& store, const UserPreferences& preferences);

}  // namespace kestrova::app
