#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrova::ai {

// The protocols an AI endpoint can speak, stored by raw value. The case order is fixed:
// tables are indexed by it.
enum class AIProtocolType {
  openAI,
  azureOpenAI,
  dashScope,
  ollama,
  claude,
  halvex,
  gemini,
  openRouter,
  zhipuAI,
  miniMaxCN,
  miniMaxGlobal,
  deepSeek,
  moonshot,
  doubao,
  stepFun,
  xiaomi,
  xAI,
  mistral,
  custom,
};

// How the API key travels.
enum class AIKeyHeader {
  bearer,      // "Authorization: Bearer KEY"
  xApiKey,     // "x-api-key: KEY"
  xGoogApiKey  // "x-goog-api-key: KEY"
};

// Every case, in case order.
std::span<const AIProtocolType> all_protocol_types();

std::string_view raw_value(AIProtocolType type);
std::optional<AIProtocolType> protocol_from_raw(std::string_view raw);
std::string_view display_name(AIProtocolType type);
// The display name in the interface language (the stored records keep display_name's).
std::string localized_display_name(AIProtocolType type);
// The provider's public API base, empty for protocols without one (Azure, custom).
std::string_view default_endpoint(AIProtocolType type);
double default_timeout(AIProtocolType type);
bool requires_api_key(AIProtocolType type);
AIKeyHeader key_header(AIProtocolType type);
// In order of preference; the first is the default model of a new profile.
std::span<const std::string_view> suggested_models(AIProtocolType type);
// Whether the model (any letter case) accepts image input.
bool supports_vision(AIProtocolType type, std::string_view model);
// Whether an OpenAI-style GET …/models is offered.
bool supports_model_listing(AIProtocolType type);
// The provider's API-key console page, empty when there is none.
std::string_view api_key_console_url(AIProtocolType type);
// Region choices (localisation key of the label, endpoint); empty except for Halvex.
std::span<const std::pair<std::string_view, std::string_view>> region_endpoints(
    AIProtocolType type);

// The uses of AI in the program, stored by raw value.
enum class AIScenario { emailTranslate, emailCompose, emailSummary, emailReply, emailAnalysis };

std::span<const AIScenario> all_scenarios();
std::string_view raw_value(AIScenario scenario);
std::optional<AIScenario> scenario_from_raw(std::string_view raw);
// "ai.scenario." + raw value, and the same + ".desc".
std::string display_name_key(AIScenario scenario);
std::string description_key(AIScenario scenario);
// The localised name, the built-in Chinese name when the table has none.
std::string display_name(AIScenario scenario);
// The localised description, empty when the table has none.
std::string description(AIScenario scenario);

}  // namespace kestrova::ai
