#pragma once

#include "ai/ai_configuration.h"
#include "ai/ai_protocol_type.h"

namespace kestrova::store {
struct EmailAccount;
}

namespace kestrova::app {

class UserPreferences;

// The process's AI profiles and scenario bindings (the settings object's AI part), with the
// start-up migration and default profiles applied on first use. Main thread only.
ai::AIConfiguration& ai_configuration();

// Throws an Error with the user-facing refusal when the user's privacy choices forbid
// sending mail to an AI service: super-privacy mode, or (when `account` is given) the
// account's own privacy mode. Called before anything is sent.
void ensure_ai_may_read(const UserPreferences& preferences, const store::EmailAccount* account);
// Whether sending is allowed (the same rules, without the error).
bool ai_may_read(const UserPreferences& preferences, const store::EmailAccount* account);

// The profile, model and time-out serving `scenario`; throws an Error with the
// configuration issue (no endpoint, model or key) instead.
ai::ResolvedAIProfile usable_ai_target(ai::AIScenario scenario);

// Asks `profile` for a one-word answer with its own model and time-out: the connection
// test of the settings screen and of `kestrova ai profile test`. Returns the answer; throws
// an Error with the user-facing text (what is missing, or what went wrong) instead. Blocks
// for at most the profile's time-out.
std::string test_ai_profile(const ai::AIServiceProfile& profile);

}  // namespace kestrova::app
