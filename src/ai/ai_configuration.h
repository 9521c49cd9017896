#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ai/ai_service_profile.h"

namespace kestrova::platform {
class SettingsStore;
}

namespace kestrova::ai {

// What serves one scenario: the profile (stored, or the transient legacy one) with the
// model and time-out to use.
struct ResolvedAIProfile {
  AIServiceProfile profile;
  std::string model;
  double timeout = 0;
};

// The AI part of the settings object: the profile list and the scenario bindings, kept in
// memory and rewritten whole under "aiServiceProfiles" / "aiScenarioBindings" on every
// change; the settings file then holds API keys, so its directory is kept private (0700)
// and the file itself is written 0600. Both lists are read once, when the object is created;
// missing or undecodable data reads as an empty list. Not thread-safe: one owner (the settings
// object) uses it.
class AIConfiguration {
 public:
  // Reads both lists from `store`; call ensureAIConfiguration() once afterwards.
  explicit AIConfiguration(platform::SettingsStore& store);

  // Runs the one-time migration of the single-endpoint settings when it has not run, then
  // creates the eight default profiles when the list is still empty.
  void ensureAIConfiguration();

  const std::vector<AIServiceProfile>& profiles() const { return profiles_; }
  const std::vector<AIScenarioBinding>& bindings() const { return bindings_; }

  // The first profile marked default, else the first profile, else nothing.
  std::optional<AIServiceProfile> defaultProfile() const;
  std::optional<AIServiceProfile> profile(std::string_view id) const;
  // Replaces the profile with the same id, else the one with the same name, protocol and
  // endpoint, else appends. Leaves the other profiles' default flags alone.
  void saveProfile(const AIServiceProfile& profile);
  // Removes every profile with p's id; when p was the default, the first remaining one
  // becomes default.
  void deleteProfile(const AIServiceProfile& profile);
  void setDefaultProfile(std::string_view id);

  // A copy of `profile` with the given fields replaced and `updatedAt` set to now.
  struct Changes {
    std::optional<std::string> name;
    std::optional<AIProtocolType> protocolType;
    std::optional<std::string> endpoint;
    std::optional<std::string> apiKey;
    std::optional<std::string> defaultModel;
    std::optional<double> timeout;
    std::optional<bool> isDefault;
  };
  static AIServiceProfile updated(const AIServiceProfile& profile, const Changes& changes);

  // At most one binding per scenario: replaces the scenario's binding, else appends.
  void setBinding(const AIScenarioBinding& binding);
  void removeBinding(AIScenario scenario);

  // The binding's profile when it still exists (with its overrides), else the default
  // profile, else a transient profile built from the legacy single-endpoint settings.
  ResolvedAIProfile resolveProfile(AIScenario scenario) const;
  // What keeps the scenario from working (no endpoint, no model, a missing key), or nothing.
  std::optional<std::string> configurationIssue(AIScenario scenario) const;
  // The one-line state of the AI configuration for settings and onboarding, or nothing.
  std::optional<std::string> aiServiceStatusHint() const;
  // The text shown when an AI call for `scenario` failed with `error`; `prefix` names the
  // action ("邮件翻译").
  std::string userFacingAIErrorMessage(std::string_view prefix, const std::exception& error,
                                       AIScenario scenario) const;
  // The same for a request that went to `target` directly.
  static std::string userFacingAIErrorMessage(std::string_view prefix, const std::exception& error,
                                              const ResolvedAIProfile& target);

 private:
  void migrateLegacyAIConfig();
  void createDefaultProfiles();
  void persistProfiles();
  void persistBindings();
  AIServiceProfile legacyProfile() const;

  platform::SettingsStore& store_;
  std::vector<AIServiceProfile> profiles_;
  std::vector<AIScenarioBinding> bindings_;
};

}  // namespace kestrova::ai
