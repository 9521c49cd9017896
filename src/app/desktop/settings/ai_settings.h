#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ai/ai_configuration.h"

namespace kestrova::platform {
class SettingsStore;
}

namespace kestrova::app::desktop {

// The AI page's model: the profiles and scenario bindings of the settings file, changed the
// way `kestrova ai profile ...` and `kestrova ai bind` change them. Over the process's own
// AI configuration when `store` is the shared settings store (so the window's AI features
// see every change at once), else over one of its own.
class AiSettings {
 public:
  explicit AiSettings(platform::SettingsStore& store);
  ~AiSettings();

  const std::vector<ai::AIServiceProfile>& profiles() const { return configuration().profiles(); }
  std::optional<ai::AIServiceProfile> profile(const std::string& id) const;
  // A new profile with the protocol's presets, stored (the default when it is the only one).
  ai::AIServiceProfile add(ai::AIProtocolType protocol);

  // What the profile form holds. `apiKey` absent keeps the stored key; empty removes it.
  struct Form {
    std::string name;
    ai::AIProtocolType protocol = ai::AIProtocolType::ollama;
    std::string endpoint;
    std::string model;
    double timeout = 30;
    std::optional<std::string> apiKey;
    bool makeDefault = false;
  };
  // Stores the form over the profile `id`; false when there is no such profile.
  bool save(const std::string& id, const Form& form);
  void remove(const std::string& id);

  // The binding of a scenario: the profile (absent: the default one, and no binding) and a
  // model override (empty: the profile's model).
  std::optional<ai::AIScenarioBinding> binding(ai::AIScenario scenario) const;
  void bind(ai::AIScenario scenario, const std::optional<std::string>& profileId,
            const std::string& model);

  // The one-line state of the AI set-up, nothing when it is ready.
  std::optional<std::string> status_hint() const { return configuration().aiServiceStatusHint(); }

 private:
  ai::AIConfiguration& configuration() const { return *configuration_; }

  std::unique_ptr<ai::AIConfiguration> own_;
  ai::AIConfiguration* configuration_ = nullptr;
};

}  // namespace kestrova::app::desktop
