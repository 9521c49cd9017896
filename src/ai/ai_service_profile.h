#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ai/ai_protocol_type.h"
#include "util/json.h"

namespace kestrova::ai {

// One configured AI endpoint. Dates are seconds since 1970 (util/time.h). Equal when all
// ten fields are equal.
struct AIServiceProfile {
  std::string id;  // canonical upper-case UUID
  std::string name;
  AIProtocolType protocolType = AIProtocolType::ollama;
  std::string endpoint;  // a base address or a full request URL (see AIServiceAdapter)
  std::string apiKey;    // secret: never logged, never shown
  std::string defaultModel;
  double timeout = 0;  // seconds
  bool isDefault = false;
  double createdAt = 0;
  double updatedAt = 0;

  // The designated initialiser: an absent endpoint becomes the protocol's default, an
  // empty model its first suggestion, an absent time-out its preset.
  static AIServiceProfile make(std::string id, std::string name, AIProtocolType protocol,
                               std::optional<std::string> endpoint, std::string apiKey,
                               std::string defaultModel, std::optional<double> timeout,
                               bool isDefault, double createdAt, double updatedAt);
  // A new profile for `protocol` with its presets, named after it, not default, dated now.
  static AIServiceProfile forProtocol(AIProtocolType protocol);

  bool operator==(const AIServiceProfile&) const = default;
};

// Which profile (absent: the default one), model and time-out serve one scenario.
struct AIScenarioBinding {
  AIScenario scenario = AIScenario::emailTranslate;
  std::optional<std::string> profileId;
  std::optional<std::string> modelOverride;
  std::optional<double> timeoutOverride;

  bool operator==(const AIScenarioBinding&) const = default;
};

// The profile's name as the interface shows it: the names Kestrova itself gave (a migrated
// or legacy configuration, a protocol's display name) in the interface language, any other
// name as the user wrote it. The record keeps the name it has.
std::string shown_name(const AIServiceProfile& profile);

// Whether `endpoint` (a URL or a bare host[:port]) names this machine: "localhost" (or a
// name ending in ".localhost"), 127.0.0.0/8 or ::1.
bool is_loopback_endpoint(std::string_view endpoint);
// Whether the profile cannot work without an API key: its protocol needs one and the
// endpoint is not on this machine. A local server (llama.cpp, vLLM, LM Studio, Ollama's
// OpenAI-compatible endpoint) is reached without a key whatever protocol it speaks.
bool needs_api_key(const AIServiceProfile& profile);

// JSON forms. Dates are written as the seconds since 2001-01-01 00:00:00 UTC (a number),
// UUIDs as upper-case text, the enumerations as their raw values. Encoding a profile
// writes all ten keys; a binding leaves out its absent optionals.
Json to_json(const AIServiceProfile& profile);
Json to_json(const AIScenarioBinding& binding);

// Decoding a profile is lenient: every key may be missing and gets its documented
// fallback. Throws kestrova::Error for a value of the wrong JSON type or an unknown
// protocol raw value.
AIServiceProfile profile_from_json(const Json& object);
// Throws kestrova::Error without a known "scenario" or for a value of the wrong type.
AIScenarioBinding binding_from_json(const Json& object);

}  // namespace kestrova::ai
