#include "ai/ai_protocol_type.h"

#include <array>

#include "util/localization.h"
#include "util/text.h"

namespace kestrova::ai {

namespace {

using P = AIProtocolType;
using Models = std::span<const std::string_view>;
using Regions = std::span<const std::pair<std::string_view, std::string_view>>;

constexpr std::string_view kOpenAIModels[] = {"gpt-4o-mini", "gpt-4o", "gpt-3.5-turbo",
                                              "gpt-4-turbo"};
constexpr std::string_view kAzureModels[] = {"gpt-4o-mini", "gpt-4o", "gpt-3.5-turbo"};
constexpr std::string_view kDashScopeModels[] = {
    "qwen-flash", "qwen3.5-flash",        "qwen3.5-plus", "qwen-turbo", "qwen-plus",
    "qwen-max",   "qwen-max-longcontext", "qwen-vl-plus", "qwen-vl-max"};
constexpr std::string_view kOllamaModels[] = {"gemma2:2b", "deepseek-r1:1.5b", "qwen2.5:7b",
                                              "llama3.2:3b"};
constexpr std::string_view kClaudeModels[] = {"claude-3-5-sonnet-20241022",
                                              "claude-3-opus-20240229", "claude-3-sonnet-20240229"};
constexpr std::string_view kHalvexModels[] = {"halvex-auto-flash", "halvex-auto-pro",
                                              "deepseek-v4-flash", "gpt-4o-mini", "gpt-4o"};
constexpr std::string_view kGeminiModels[] = {"gemini-3-pro-preview", "gemini-2.5-pro",
                                              "gemini-2.5-flash",     "gemini-1.5-pro",
                                              "gemini-1.5-flash",     "gemini-pro"};
constexpr std::string_view kOpenRouterModels[] = {
    "openai/gpt-4o-mini",      "openai/gpt-4o",          "anthropic/claude-3.5-sonnet",
    "google/gemini-2.0-flash", "deepseek/deepseek-chat", "meta-llama/llama-3.1-70b-instruct"};
constexpr std::string_view kZhipuModels[] = {"glm-4-flash", "glm-4-air",  "glm-4",  "glm-4-plus",
                                             "glm-4-long",  "glm-4-airx", "glm-4v", "glm-4v-plus"};
constexpr std::string_view kMiniMaxModels[] = {"MiniMax-M2.5", "MiniMax-M2.5-highspeed",
                                               "MiniMax-M2.1", "MiniMax-M2.1-highspeed",
                                               "MiniMax-M2",   "M2-her"};
constexpr std::string_view kDeepSeekModels[] = {"deepseek-v4-flash", "deepseek-v4-pro",
                                                "deepseek-chat", "deepseek-reasoner"};
constexpr std::string_view kMoonshotModels[] = {
    "moonshot-v1-8k", "moonshot-v1-32k", "moonshot-v1-128k", "kimi-k2-0905-preview", "kimi-latest"};
constexpr std::string_view kDoubaoModels[] = {
    "doubao-1-5-pro-32k-250115", "doubao-1-5-pro-256k-250115", "doubao-1-5-lite-32k-250115",
    "doubao-pro-32k-241215", "doubao-pro-128k-240628"};
constexpr std::string_view kStepFunModels[] = {"step-1-8k",   "step-1-32k",   "step-1-128k",
                                               "step-1-256k", "step-1-flash", "step-2-16k",
                                               "step-2-mini"};
constexpr std::string_view kXiaomiModels[] = {"mimo-7b", "mimo-vl", "milm-6b"};
constexpr std::string_view kXAIModels[] = {"grok-2-latest", "grok-2-1212", "grok-2-mini",
                                           "grok-beta", "grok-vision-beta"};
constexpr std::string_view kMistralModels[] = {"mistral-large-latest",  "mistral-small-latest",
                                               "mistral-medium-latest", "open-mistral-nemo",
                                               "codestral-latest",      "pixtral-large-latest"};

constexpr std::string_view kVisionOpenAI[] = {"gpt-4o", "gpt-4-vision", "gpt-4-turbo"};
constexpr std::string_view kVisionDashScope[] = {"qwen-vl", "qwen2-vl"};
constexpr std::string_view kVisionOllama[] = {"llava", "vision", "qwen-vl"};
constexpr std::string_view kVisionClaude[] = {"claude-3"};
constexpr std::string_view kVisionGateway[] = {"vision", "vl", "4o", "gpt-4"};
constexpr std::string_view kVisionGemini[] = {"gemini-1.5", "gemini-2"};
constexpr std::string_view kVisionZhipu[] = {"glm-4v", "glm-4-plus"};
constexpr std::string_view kVisionMiniMax[] = {"abab6.5s", "vision", "m2"};
constexpr std::string_view kVisionMoonshot[] = {"vision", "kimi-k2", "kimi-latest"};
constexpr std::string_view kVisionDoubao[] = {"vision", "vl", "pro"};
constexpr std::string_view kVisionStepFun[] = {"1v", "vision", "2-", "step-2"};
constexpr std::string_view kVisionXiaomi[] = {"vl", "vision"};
constexpr std::string_view kVisionXAI[] = {"vision", "grok-2"};
constexpr std::string_view kVisionMistral[] = {"pixtral"};

constexpr std::pair<std::string_view, std::string_view> kHalvexRegions[] = {
    {"ai.service.halvex.endpoint.cn", "https://api.halvex.cn/v1"},
    {"ai.service.halvex.endpoint.global", "https://api.halvex.ai/v1"},
};

struct ProtocolRow {
  AIProtocolType type;
  std::string_view raw;
  std::string_view name;
  std::string_view endpoint;
  double timeout;
  bool key_required;
  AIKeyHeader header;
  Models models;
  Models vision;  // substrings of the lower-cased model name
  bool lists_models;
  std::string_view console;
  Regions regions;
};

constexpr auto B = AIKeyHeader::bearer;

// One row per case, in case order.
const std::array<ProtocolRow, 19> kProtocols{{
    {P::openAI,
     "openai",
     "OpenAI",
     "https://api.openai.com/v1",
     30,
     true,
     B,
     kOpenAIModels,
     kVisionOpenAI,
     true,
     "",
     {}},
    {P::azureOpenAI,
     "azure_openai",
     "Azure OpenAI",
     "",
     30,
     true,
     B,
     kAzureModels,
     kVisionOpenAI,
     true,
     "",
     {}},
    {P::dashScope,
     "dashscope",
     "阿里云 DashScope",
     "https://dashscope.aliyuncs.com/compatible-mode/v1",
     60,
     true,
     B,
     kDashScopeModels,
     kVisionDashScope,
     true,
     "https://bailian.console.aliyun.com/?apiKey=1",
     {}},
    {P::ollama,
     "ollama",
     "Ollama (本地)",
     "http://127.0.0.1:11434",
     5,
     false,
     B,
     kOllamaModels,
     kVisionOllama,
     false,
     "",
     {}},
    {P::claude,
     "claude",
     "Claude (Anthropic)",
     "https://api.anthropic.com/v1",
     60,
     true,
     AIKeyHeader::xApiKey,
     kClaudeModels,
     kVisionClaude,
     false,
     "",
     {}},
    {P::halvex, "halvex", "Halvex", kHalvexRegions[0].second, 30, true, B, kHalvexModels,
     kVisionGateway, true, "", kHalvexRegions},
    {P::gemini,
     "gemini",
     "Google Gemini",
     "https://generativelanguage.googleapis.com/v1beta",
     60,
     true,
     AIKeyHeader::xGoogApiKey,
     kGeminiModels,
     kVisionGemini,
     false,
     "",
     {}},
    {P::openRouter,
     "openrouter",
     "OpenRouter",
     "https://openrouter.ai/api/v1",
     30,
     true,
     B,
     kOpenRouterModels,
     kVisionGateway,
     true,
     "",
     {}},
    {P::zhipuAI,
     "zhipu_ai",
     "智谱 AI",
     "https://open.bigmodel.cn/api/paas/v4",
     60,
     true,
     B,
     kZhipuModels,
     kVisionZhipu,
     true,
     "https://open.bigmodel.cn/usercenter/apikeys",
     {}},
    {P::miniMaxCN,
     "minimax_cn",
     "MiniMax (国内)",
     "https://api.minimaxi.com/v1",
     60,
     true,
     B,
     kMiniMaxModels,
     kVisionMiniMax,
     true,
     "https://platform.minimaxi.com/user-center/basic-information/interface-key",
     {}},
    {P::miniMaxGlobal,
     "minimax_global",
     "MiniMax (国际)",
     "https://api.minimax.io/v1",
     60,
     true,
     B,
     kMiniMaxModels,
     kVisionMiniMax,
     true,
     "https://www.minimax.io/platform/user-center/basic-information/interface-key",
     {}},
    {P::deepSeek,
     "deepseek",
     "DeepSeek",
     "https://api.deepseek.com/v1",
     60,
     true,
     B,
     kDeepSeekModels,
     {},
     true,
     "https://platform.deepseek.com/api_keys",
     {}},
    {P::moonshot,
     "moonshot",
     "月之暗面 Kimi",
     "https://api.moonshot.cn/v1",
     60,
     true,
     B,
     kMoonshotModels,
     kVisionMoonshot,
     true,
     "https://platform.moonshot.cn/console/api-keys",
     {}},
    {P::doubao,
     "doubao",
     "字节豆包 (火山方舟)",
     "https://ark.cn-beijing.volces.com/api/v3",
     60,
     true,
     B,
     kDoubaoModels,
     kVisionDoubao,
     true,
     "https://console.volcengine.com/ark/region:ark+cn-beijing/apiKey",
     {}},
    {P::stepFun,
     "stepfun",
     "阶跃星辰 StepFun",
     "https://api.stepfun.com/v1",
     60,
     true,
     B,
     kStepFunModels,
     kVisionStepFun,
     true,
     "https://platform.stepfun.com/interface-key",
     {}},
    {P::xiaomi,
     "xiaomi",
     "小米大模型",
     "https://token-plan-cn.xiaomimimo.com/v1",
     60,
     true,
     B,
     kXiaomiModels,
     kVisionXiaomi,
     true,
     "https://platform.xiaomimimo.com/#/console/api-keys",
     {}},
    {P::xAI,
     "xai",
     "xAI Grok",
     "https://api.x.ai/v1",
     30,
     true,
     B,
     kXAIModels,
     kVisionXAI,
     true,
     "https://console.x.ai",
     {}},
    {P::mistral,
     "mistral",
     "Mistral AI",
     "https://api.mistral.ai/v1",
     30,
     true,
     B,
     kMistralModels,
     kVisionMistral,
     true,
     "https://console.mistral.ai/api-keys",
     {}},
    {P::custom, "custom", "自定义（中转站）", "", 60, true, B, {}, kVisionGateway, true, "", {}},
}};

const ProtocolRow& row(AIProtocolType type) { return kProtocols[static_cast<size_t>(type)]; }

constexpr std::array<AIProtocolType, 19> kAllProtocols = [] {
  std::array<AIProtocolType, 19> all{};
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<AIProtocolType>(i);
  return all;
}();

struct ScenarioRow {
  AIScenario scenario;
  std::string_view raw;
  std::string_view name;  // shown when the localisation table has no entry
};

constexpr std::array<ScenarioRow, 5> kScenarios{{
    {AIScenario::emailTranslate, "email_translate", "邮件翻译"},
    {AIScenario::emailCompose, "email_compose", "AI 邮件撰写"},
    {AIScenario::emailSummary, "email_summary", "AI 邮件摘要"},
    {AIScenario::emailReply, "email_reply", "AI 回复建议"},
    {AIScenario::emailAnalysis, "email_analysis", "邮件智能分析"},
}};

constexpr std::array<AIScenario, 5> kAllScenarios{
    AIScenario::emailTranslate, AIScenario::emailCompose, AIScenario::emailSummary,
    AIScenario::emailReply, AIScenario::emailAnalysis};

// The localised text of `key`, or `fallback` when the table has no entry (the lookup then
// returns the key itself).
std::string localized_or(const std::string& key, std::string_view fallback) {
  std::string text = localized(key);
  return text == key ? std::string(fallback) : text;
}

}  // namespace

std::span<const AIProtocolType> all_protocol_types() { return kAllProtocols; }
std::string_view raw_value(AIProtocolType type) { return row(type).raw; }

std::optional<AIProtocolType> protocol_from_raw(std::string_view raw) {
  for (const auto& r : kProtocols)
    if (r.raw == raw) return r.type;
  return std::nullopt;
}

std::string_view display_name(AIProtocolType type) { return row(type).name; }
std::string localized_display_name(AIProtocolType type) {
  return localized_or("ai.protocol." + std::string(raw_value(type)), display_name(type));
}
std::string_view default_endpoint(AIProtocolType type) { return row(type).endpoint; }
double default_timeout(AIProtocolType type) { return row(type).timeout; }
bool requires_api_key(AIProtocolType type) { return row(type).key_required; }
AIKeyHeader key_header(AIProtocolType type) { return row(type).header; }
std::span<const std::string_view> suggested_models(AIProtocolType type) { return row(type).models; }
bool supports_model_listing(AIProtocolType type) { return row(type).lists_models; }
std::string_view api_key_console_url(AIProtocolType type) { return row(type).console; }

std::span<const std::pair<std::string_view, std::string_view>> region_endpoints(
    AIProtocolType type) {
  return row(type).regions;
}

bool supports_vision(AIProtocolType type, std::string_view model) {
  const std::string name = text::lower(model);
  for (std::string_view marker : row(type).vision)
    if (name.find(marker) != std::string::npos) return true;
  return false;
}

std::span<const AIScenario> all_scenarios() { return kAllScenarios; }
std::string_view raw_value(AIScenario scenario) {
  return kScenarios[static_cast<size_t>(scenario)].raw;
}

std::optional<AIScenario> scenario_from_raw(std::string_view raw) {
  for (const auto& r : kScenarios)
    if (r.raw == raw) return r.scenario;
  return std::nullopt;
}

std::string display_name_key(AIScenario scenario) {
  return "ai.scenario." + std::string(raw_value(scenario));
}
std::string description_key(AIScenario scenario) { return display_name_key(scenario) + ".desc"; }

std::string display_name(AIScenario scenario) {
  return localized_or(display_name_key(scenario), kScenarios[static_cast<size_t>(scenario)].name);
}

std::string description(AIScenario scenario) { return localized_or(description_key(scenario), ""); }

}  // namespace kestrova::ai
