#include "ai/ai_service_profile.h"

#include <arpa/inet.h>

#include <utility>

#include "util/error.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::ai {

namespace {

// 2001-01-01 00:00:00 UTC in seconds since 1970: the epoch of the stored dates.
constexpr double kReferenceDate = 978307200.0;

[[noreturn]] void bad(std::string_view key) {
  throw Error("无法解析 AI 配置字段: " + std::string(key));
}

const Json* field(const Json& object, std::string_view key) {
  auto it = object.find(key);
  if (it == object.end() || it->is_null()) return nullptr;
  return &*it;
}

std::optional<std::string> text_field(const Json& object, std::string_view key) {
  const Json* value = field(object, key);
  if (!value) return std::nullopt;
  if (!value->is_string()) bad(key);
  return value->get<std::string>();
}

std::optional<double> number_field(const Json& object, std::string_view key) {
  const Json* value = field(object, key);
  if (!value) return std::nullopt;
  if (!value->is_number()) bad(key);
  return value->get<double>();
}

std::optional<std::string> uuid_field(const Json& object, std::string_view key) {
  auto text = text_field(object, key);
  if (!text) return std::nullopt;
  auto id = parse_uuid(*text);
  if (!id) bad(key);
  return id;
}

}  // namespace

AIServiceProfile AIServiceProfile::make(std::string id, std::string name, AIProtocolType protocol,
                                        std::optional<std::string> endpoint, std::string apiKey,
                                        std::string defaultModel, std::optional<double> timeout,
                                        bool isDefault, double createdAt, double updatedAt) {
  AIServiceProfile p;
  p.id = std::move(id);
  p.name = std::move(name);
  p.protocolType = protocol;
  p.endpoint = endpoint ? std::move(*endpoint) : std::string(default_endpoint(protocol));
  p.apiKey = std::move(apiKey);
  p.defaultModel = std::move(defaultModel);
  if (p.defaultModel.empty() && !suggested_models(protocol).empty())
    p.defaultModel = std::string(suggested_models(protocol).front());
  p.timeout = timeout.value_or(default_timeout(protocol));
  p.isDefault = isDefault;
  p.createdAt = createdAt;
  p.updatedAt = updatedAt;
  return p;
}

AIServiceProfile AIServiceProfile::forProtocol(AIProtocolType protocol) {
  const double now = now_seconds();
  return make(new_uuid(), std::string(display_name(protocol)), protocol, std::nullopt, "", "",
              std::nullopt, false, now, now);
}

Json to_json(const AIServiceProfile& p) {
  return Json{{"id", p.id},
              {"name", p.name},
              {"protocolType", raw_value(p.protocolType)},
              {"endpoint", p.endpoint},
              {"apiKey", p.apiKey},
              {"defaultModel", p.defaultModel},
              {"timeout", p.timeout},
              {"isDefault", p.isDefault},
              {"createdAt", p.createdAt - kReferenceDate},
              {"updatedAt", p.updatedAt - kReferenceDate}};
}

Json to_json(const AIScenarioBinding& b) {
  Json object{{"scenario", raw_value(b.scenario)}};
  if (b.profileId) object["profileId"] = *b.profileId;
  if (b.modelOverride) object["modelOverride"] = *b.modelOverride;
  if (b.timeoutOverride) object["timeoutOverride"] = *b.timeoutOverride;
  return object;
}

AIServiceProfile profile_from_json(const Json& object) {
  if (!object.is_object()) throw Error("无法解析 AI 服务配置");
  AIProtocolType protocol = AIProtocolType::ollama;
  if (auto raw = text_field(object, "protocolType")) {
    auto known = protocol_from_raw(*raw);
    if (!known) bad("protocolType");
    protocol = *known;
  }
  std::optional<bool> isDefault;
  if (const Json* value = field(object, "isDefault")) {
    if (!value->is_boolean()) bad("isDefault");
    isDefault = value->get<bool>();
  }
  auto created = number_field(object, "createdAt");
  const double createdAt = created ? *created + kReferenceDate : now_seconds();
  auto updated = number_field(object, "updatedAt");
  return AIServiceProfile::make(
      uuid_field(object, "id").value_or(new_uuid()),
      text_field(object, "name").value_or("未命名服务"), protocol, text_field(object, "endpoint"),
      text_field(object, "apiKey").value_or(""), text_field(object, "defaultModel").value_or(""),
      number_field(object, "timeout"), isDefault.value_or(false), createdAt,
      updated ? *updated + kReferenceDate : createdAt);
}

AIScenarioBinding binding_from_json(const Json& object) {
  if (!object.is_object()) throw Error("无法解析 AI 场景绑定");
  auto raw = text_field(object, "scenario");
  if (!raw) bad("scenario");
  auto scenario = scenario_from_raw(*raw);
  if (!scenario) bad("scenario");
  return AIScenarioBinding{*scenario, uuid_field(object, "profileId"),
                           text_field(object, "modelOverride"),
                           number_field(object, "timeoutOverride")};
}

std::string shown_name(const AIServiceProfile& profile) {
  static constexpr std::pair<std::string_view, std::string_view> kOwnNames[] = {
      {"默认配置（已迁移）", "ai.profile.migrated"},
      {"兼容配置（旧版）", "ai.profile.legacy"},
      {"未命名服务", "ai.profile.unnamed"},
  };
  for (const auto& [name, key] : kOwnNames)
    if (profile.name == name) return localized(key);
  if (profile.name == display_name(profile.protocolType))
    return localized_display_name(profile.protocolType);
  return profile.name;
}

bool is_loopback_endpoint(std::string_view endpoint) {
  const std::string trimmed = text::trim(endpoint);
  std::string_view rest = trimmed;
  if (const size_t scheme = rest.find("://"); scheme != std::string_view::npos)
    rest.remove_prefix(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const size_t at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  std::string host;
  if (rest.starts_with('[')) {
    host = std::string(rest.substr(1, rest.find(']') - 1));
  } else {
    host = std::string(rest.substr(0, rest.find(':')));
  }
  host = text::lower(host);
  if (host == "localhost" || host.ends_with(".localhost") || host == "::1") return true;
  in_addr address{};
  return ::inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

bool needs_api_key(const AIServiceProfile& profile) {
  return requires_api_key(profile.protocolType) && !is_loopback_endpoint(profile.endpoint);
}

}  // namespace kestrova::ai
