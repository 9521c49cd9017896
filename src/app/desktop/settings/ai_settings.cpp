#include "app/desktop/settings/ai_settings.h"

#include "app/core/mail_ai.h"
#include "platform/settings_store.h"
#include "util/text.h"

namespace kestrova::app::desktop {

AiSettings::AiSettings(platform::SettingsStore& store) {
  if (&store == &platform::SettingsStore::shared()) {
    configuration_ = &ai_configuration();
    return;
  }
  own_ = std::make_unique<ai::AIConfiguration>(store);
  own_->ensureAIConfiguration();
  configuration_ = own_.get();
}

AiSettings::~AiSettings() = default;

std::optional<ai::AIServiceProfile> AiSettings::profile(const std::string& id) const {
  return configuration().profile(id);
}

ai::AIServiceProfile AiSettings::add(ai::AIProtocolType protocol) {
  ai::AIServiceProfile p = ai::AIServiceProfile::forProtocol(protocol);
  const bool first = configuration().profiles().empty();
  // A second profile of the same protocol gets a name of its own: saving one with the same
  // name, protocol and endpoint would overwrite the first.
  const std::string base = p.name;
  for (int n = 2;; ++n) {
    bool taken = false;
    for (const auto& other : configuration().profiles())
      taken = taken || (other.name == p.name && other.protocolType == p.protocolType &&
                        other.endpoint == p.endpoint);
    if (!taken) break;
    p.name = base + " " + std::to_string(n);
  }
  configuration().saveProfile(p);
  if (first) configuration().setDefaultProfile(p.id);
  return *configuration().profile(p.id);
}

bool AiSettings::save(const std::string& id, const Form& form) {
  const auto current = configuration().profile(id);
  if (!current) return false;
  ai::AIConfiguration::Changes changes;
  // The form shows the names Kestrova gave in the interface language: one left as shown
  // keeps the name stored.
  const std::string name = text::trim(form.name);
  if (name != ai::shown_name(*current)) changes.name = name;
  changes.protocolType = form.protocol;
  changes.endpoint = text::trim(form.endpoint);
  changes.defaultModel = text::trim(form.model);
  changes.timeout = form.timeout;
  if (form.apiKey) changes.apiKey = text::trim(*form.apiKey);
  configuration().saveProfile(ai::AIConfiguration::updated(*current, changes));
  if (form.makeDefault && !current->isDefault) configuration().setDefaultProfile(id);
  return true;
}

void AiSettings::remove(const std::string& id) {
  if (auto p = configuration().profile(id)) configuration().deleteProfile(*p);
}

std::optional<ai::AIScenarioBinding> AiSettings::binding(ai::AIScenario scenario) const {
  for (const auto& b : configuration().bindings())
    if (b.scenario == scenario) return b;
  return std::nullopt;
}

void AiSettings::bind(ai::AIScenario scenario, const std::optional<std::string>& profileId,
                      const std::string& model) {
  // A model override applies only with a profile of the scenario's own.
  const std::string trimmed = text::trim(model);
  if (!profileId) {
    configuration().removeBinding(scenario);
    return;
  }
  ai::AIScenarioBinding b{scenario, profileId, std::nullopt, std::nullopt};
  if (auto old = binding(scenario)) b.timeoutOverride = old->timeoutOverride;
  if (!trimmed.empty()) b.modelOverride = trimmed;
  configuration().setBinding(b);
}

}  // namespace kestrova::app::desktop
