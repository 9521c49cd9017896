#include "ai/ai_configuration.h"

#include <algorithm>
#include <filesystem>

#include "platform/settings_store.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::ai {

namespace {

constexpr std::string_view kProfilesKey = "aiServiceProfiles";
constexpr std::string_view kBindingsKey = "aiScenarioBindings";
constexpr std::string_view kMigratedKey = "hasMigratedAIConfig";
constexpr std::string_view kComponent = "UserPreferences";

// The single-endpoint settings that came before profiles, with their defaults.
struct LegacySettings {
  std::string endpoint, model, token;
  double timeout;

  static LegacySettings read(platform::SettingsStore& store) {
    return {store.string("aiAPIEndpoint").value_or("http://127.0.0.1:11434"),
            store.string("aiModel").value_or("gemma2:2b"), store.string("aiAPIToken").value_or(""),
            store.real("aiTimeout").value_or(5.0)};
  }
};

template <class Record, class Decode>
std::vector<Record> read_list(platform::SettingsStore& store, std::string_view key, Decode decode) {
  std::vector<Record> records;
  auto stored = store.value(key);
  if (!stored || !stored->is_array()) return records;
  try {
    for (const Json& object : *stored) records.push_back(decode(object));
  } catch (const std::exception&) {
    return {};  // one undecodable record makes the whole list unusable
  }
  return records;
}

template <class Record>
void write_list(platform::SettingsStore& store, std::string_view key,
                const std::vector<Record>& records) {
  Json array = Json::array();
  for (const Record& record : records) array.push_back(to_json(record));
  // The profiles carry API keys: the settings store writes its file 0600 in a directory
  // only the user may enter.
  store.set(key, std::move(array));
}

bool contains_any(std::string_view haystack, std::initializer_list<std::string_view> needles) {
  return std::any_of(needles.begin(), needles.end(), [&](std::string_view n) {
    return haystack.find(n) != std::string_view::npos;
  });
}

}  // namespace

AIConfiguration::AIConfiguration(platform::SettingsStore& store)
    : store_(store),
      profiles_(read_list<AIServiceProfile>(store, kProfilesKey, profile_from_json)),
      bindings_(read_list<AIScenarioBinding>(store, kBindingsKey, binding_from_json)) {}

void AIConfiguration::ensureAIConfiguration() {
  if (!store_.boolean(kMigratedKey).value_or(false)) migrateLegacyAIConfig();
  if (profiles_.empty()) createDefaultProfiles();
}

void AIConfiguration::migrateLegacyAIConfig() {
  log_line("🔄", kComponent, "开始迁移旧版 AI 配置...");
  const LegacySettings legacy = LegacySettings::read(store_);
  const std::string endpoint = text::lower(legacy.endpoint);
  AIProtocolType protocol = AIProtocolType::openAI;
  if (contains_any(endpoint, {"dashscope", "aliyun"}))
    protocol = AIProtocolType::dashScope;
  else if (contains_any(endpoint, {"anthropic", "claude"}))
    protocol = AIProtocolType::claude;
  else if (contains_any(endpoint, {"localhost", "127.0.0.1", "11434"}))
    protocol = AIProtocolType::ollama;
  const double now = now_seconds();
  std::optional<std::string> kept;
  if (!legacy.endpoint.empty()) kept = legacy.endpoint;
  profiles_.push_back(AIServiceProfile::make(new_uuid(), "默认配置（已迁移）", protocol, kept,
                                             legacy.token, legacy.model, legacy.timeout, true, now,
                                             now));
  persistProfiles();
  store_.set(kMigratedKey, true);
  log_line(log_kind::kSuccess, kComponent, "AI 配置迁移完成");
}

void AIConfiguration::createDefaultProfiles() {
  log_line("🔄", kComponent, "创建默认 AI 服务配置...");
  using P = AIProtocolType;
  const std::pair<P, std::string_view> defaults[] = {
      {P::halvex, "Halvex"},        {P::ollama, "Ollama (本地)"},
      {P::openAI, "OpenAI"},        {P::dashScope, "阿里云 DashScope"},
      {P::zhipuAI, "智谱 AI"},      {P::miniMaxCN, "MiniMax (国内)"},
      {P::gemini, "Google Gemini"}, {P::claude, "Claude"},
  };
  std::vector<AIServiceProfile> created;
  for (const auto& [protocol, name] : defaults) {
    AIServiceProfile p = AIServiceProfile::forProtocol(protocol);
    p.name = std::string(name);
    p.isDefault = protocol == P::halvex;
    created.push_back(std::move(p));
  }
  profiles_ = std::move(created);
  persistProfiles();
  log_line(log_kind::kSuccess, kComponent, "默认 AI 服务配置创建完成");
}

void AIConfiguration::persistProfiles() { write_list(store_, kProfilesKey, profiles_); }
void AIConfiguration::persistBindings() { write_list(store_, kBindingsKey, bindings_); }

std::optional<AIServiceProfile> AIConfiguration::defaultProfile() const {
  for (const auto& p : profiles_)
    if (p.isDefault) return p;
  if (!profiles_.empty()) return profiles_.front();
  return std::nullopt;
}

std::optional<AIServiceProfile> AIConfiguration::profile(std::string_view id) const {
  auto wanted = parse_uuid(id);
  for (const auto& p : profiles_)
    if (wanted && p.id == *wanted) return p;
  return std::nullopt;
}

void AIConfiguration::saveProfile(const AIServiceProfile& profile) {
  auto detail = [](const std::string& line) { log_line(log_kind::kSearch, kComponent, line); };
  detail("saveProfile 调用");
  auto same_id = std::find_if(profiles_.begin(), profiles_.end(),
                              [&](const AIServiceProfile& p) { return p.id == profile.id; });
  auto same_setup =
      std::find_if(profiles_.begin(), profiles_.end(), [&](const AIServiceProfile& p) {
        return p.name == profile.name && p.protocolType == profile.protocolType &&
               p.endpoint == profile.endpoint;
      });
  if (same_id != profiles_.end()) {
    detail("  - 找到已存在的 Profile，索引: " + std::to_string(same_id - profiles_.begin()));
    *same_id = profile;
  } else if (same_setup != profiles_.end()) {
    detail("  - 未找到同 ID，但检测到相同配置，将覆盖索引: " +
           std::to_string(same_setup - profiles_.begin()));
    *same_setup = profile;
  } else {
    detail("  - 未找到已存在的 Profile，将添加新的");
    profiles_.push_back(profile);
  }
  persistProfiles();
  for (const auto& p : profiles_)
    detail(" - ID: " + p.id + ", 名称: " + p.name + ", 默认: " + (p.isDefault ? "是" : "否"));
}

void AIConfiguration::deleteProfile(const AIServiceProfile& profile) {
  std::erase_if(profiles_, [&](const AIServiceProfile& p) { return p.id == profile.id; });
  if (profile.isDefault && !profiles_.empty()) profiles_.front().isDefault = true;
  persistProfiles();
}

void AIConfiguration::setDefaultProfile(std::string_view id) {
  for (auto& p : profiles_) p.isDefault = p.id == id;
  persistProfiles();
}

AIServiceProfile AIConfiguration::updated(const AIServiceProfile& profile, const Changes& c) {
  AIServiceProfile copy = profile;
  if (c.name) copy.name = *c.name;
  if (c.protocolType) copy.protocolType = *c.protocolType;
  if (c.endpoint) copy.endpoint = *c.endpoint;
  if (c.apiKey) copy.apiKey = *c.apiKey;
  if (c.defaultModel) copy.defaultModel = *c.defaultModel;
  if (c.timeout) copy.timeout = *c.timeout;
  if (c.isDefault) copy.isDefault = *c.isDefault;
  copy.updatedAt = now_seconds();
  return copy;
}

void AIConfiguration::setBinding(const AIScenarioBinding& binding) {
  auto it = std::find_if(bindings_.begin(), bindings_.end(), [&](const AIScenarioBinding& b) {
    return b.scenario == binding.scenario;
  });
  if (it != bindings_.end())
    *it = binding;
  else
    bindings_.push_back(binding);
  persistBindings();
}

void AIConfiguration::removeBinding(AIScenario scenario) {
  std::erase_if(bindings_, [&](const AIScenarioBinding& b) { return b.scenario == scenario; });
  persistBindings();
}

AIServiceProfile AIConfiguration::legacyProfile() const {
  const LegacySettings legacy = LegacySettings::read(store_);
  const double now = now_seconds();
  return AIServiceProfile::make(new_uuid(), "兼容配置（旧版）", AIProtocolType::ollama,
                                legacy.endpoint, legacy.token, legacy.model, legacy.timeout, false,
                                now, now);
}

ResolvedAIProfile AIConfiguration::resolveProfile(AIScenario scenario) const {
  const std::string name = display_name(scenario);
  auto binding = std::find_if(bindings_.begin(), bindings_.end(),
                              [&](const AIScenarioBinding& b) { return b.scenario == scenario; });
  if (binding != bindings_.end() && binding->profileId) {
    if (auto bound = profile(*binding->profileId)) {
      ResolvedAIProfile r{*bound, binding->modelOverride.value_or(bound->defaultModel),
                          binding->timeoutOverride.value_or(bound->timeout)};
      log_line(log_kind::kSuccess, kComponent,
               "场景 " + name + " 使用配置: " + r.profile.name + " (" + r.model + ")");
      return r;
    }
  }
  if (auto fallback = defaultProfile()) {
    ResolvedAIProfile r{*fallback, fallback->defaultModel, fallback->timeout};
    log_line("ℹ️", kComponent,
             "场景 " + name + " 使用默认配置: " + r.profile.name + " (" + r.model + ")");
    return r;
  }
  log_line(log_kind::kWarning, kComponent, "场景 " + name + " 使用兼容配置（旧版配置）");
  AIServiceProfile legacy = legacyProfile();
  std::string model = legacy.defaultModel;
  const double timeout = legacy.timeout;
  return ResolvedAIProfile{std::move(legacy), std::move(model), timeout};
}

std::optional<std::string> AIConfiguration::configurationIssue(AIScenario scenario) const {
  const ResolvedAIProfile r = resolveProfile(scenario);
  // The texts name the profile twice: where the service is named, and in the command that
  // fixes it (the English texts; the Chinese ones point at the settings screen).
  const std::string name = shown_name(r.profile);
  const std::string scenarioName = display_name(scenario);
  if (text::trim(r.profile.endpoint).empty())
    return localized_format("ai.issue.endpoint", scenarioName, name, name);
  if (text::trim(r.model).empty())
    return localized_format("ai.issue.model", scenarioName, name, name, name);
  if (needs_api_key(r.profile) && text::trim(r.profile.apiKey).empty())
    return localized_format("ai.issue.api_key", scenarioName, name, name);
  return std::nullopt;
}

std::optional<std::string> AIConfiguration::aiServiceStatusHint() const {
  auto fallback = defaultProfile();
  if (!fallback) return localized("ai.hint.no_profile");
  if (auto issue = configurationIssue(AIScenario::emailTranslate)) return issue;
  if (fallback->protocolType == AIProtocolType::ollama)
    return localized_format("ai.hint.ollama", shown_name(*fallback), fallback->defaultModel,
                            fallback->defaultModel);
  return std::nullopt;
}

std::string AIConfiguration::userFacingAIErrorMessage(std::string_view prefix,
                                                      const std::exception& error,
                                                      AIScenario scenario) const {
  return userFacingAIErrorMessage(prefix, error, resolveProfile(scenario));
}

std::string AIConfiguration::userFacingAIErrorMessage(std::string_view prefix,
                                                      const std::exception& error,
                                                      const ResolvedAIProfile& r) {
  const std::string head(prefix);
  const std::string name = shown_name(r.profile);
  if (r.profile.protocolType == AIProtocolType::ollama)
    return localized_format("ai.error.local_service", head, name, r.model, error.what());
  if (needs_api_key(r.profile) && text::trim(r.profile.apiKey).empty())
    return localized_format("ai.error.api_key", head, name, name);
  return localized_format("ai.error.failed", head, error.what(), name);
}

}  // namespace kestrova::ai
