#include "ai/ollama_service.h"

#include <algorithm>

#include "ai/ai_service_error.h"
#include "ai/json_fields.h"
#include "util/json.h"
#include "util/log.h"
#include "util/text.h"

namespace kestrova::ai {

namespace {

constexpr std::string_view kComponent = "OllamaService";
// Longest progress line accepted from the server.
constexpr size_t kMaxLineBytes = 64u << 10;

constexpr OllamaLibraryModel kLibrary[] = {
    {"gemma2:2b", 1573000000, "2B"},     {"deepseek-r1:1.5b", 1200000000, "1.5B"},
    {"gemma3:1b", 1100000000, "1B"},     {"qwen2.5:1.5b", 1100000000, "1.5B"},
    {"llama3.2:1b", 1300000000, "1B"},   {"phi4:mini", 1500000000, "~2B"},
    {"smollm2:360m", 400000000, "360M"}, {"tinyllama", 637000000, "1.1B"},
    {"llama3.2:3b", 2000000000, "3B"},   {"qwen2.5:3b", 2000000000, "3B"},
    {"phi3:mini", 2000000000, "3.8B"},   {"gemma2:9b", 5500000000, "9B"},
    {"mistral:7b", 4100000000, "7B"},    {"llama3.1:8b", 4700000000, "8B"},
    {"qwen2.5:7b", 4700000000, "7B"},    {"deepseek-r1:7b", 4500000000, "7B"},
    {"phi4", 4500000000, "8B"},          {"gemma3:4b", 2500000000, "4B"},
    {"qwen2.5:14b", 9000000000, "14B"},  {"llama3.1:70b", 40000000000, "70B"},
    {"qwen2.5:32b", 20000000000, "32B"}, {"llava:7b", 4500000000, "7B"},
    {"llava:13b", 8000000000, "13B"},    {"qwen2.5-vl:7b", 4700000000, "7B"},
};

}  // namespace

std::span<const OllamaLibraryModel> ollamaLibrary() { return kLibrary; }

OllamaService::OllamaService(std::string endpoint, std::string apiKey, double timeout,
                             HttpTransport transport)
    : endpoint_(text::trim(endpoint)),
      apiKey_(std::move(apiKey)),
      timeout_(timeout),
      transport_(std::move(transport)) {
  if (endpoint_.empty()) endpoint_ = std::string(kDefaultEndpoint);
  if (endpoint_.back() == '/') endpoint_.pop_back();
}

HttpRequest OllamaService::request(std::string method, std::string_view path, std::string body,
                                   double timeout) const {
  HttpRequest request;
  request.method = std::move(method);
  request.url = endpoint_ + std::string(path);
  request.body = std::move(body);
  request.timeout = timeout;
  request.headers.emplace_back("Content-Type", "application/json");
  if (!apiKey_.empty()) request.headers.emplace_back("Authorization", "Bearer " + apiKey_);
  return request;
}

std::vector<OllamaModelInfo> OllamaService::installedModels() const {
  HttpResponse response;
  try {
    response = transport_.perform(request("GET", "/api/tags", "", std::max(timeout_, 10.0)));
    if (response.status < 200 || response.status >= 300)
      throw AIServiceError::requestFailed(response.status, redact_secret(response.body, apiKey_));
  } catch (const AIServiceError& error) {
    log_line(log_kind::kFailure, kComponent, std::string("获取模型列表失败: ") + error.what());
    throw OllamaError::from(error);
  }
  const Json reply = Json::parse(response.body, nullptr, false);
  if (!reply.is_object() || !reply.contains("models") || !reply["models"].is_array())
    throw OllamaError::from(AIServiceError::invalidResponse());
  std::vector<OllamaModelInfo> models;
  for (const Json& entry : reply["models"]) {
    OllamaModelInfo info{string_member(entry, "name"), integer_member(entry, "size"), ""};
    if (info.name.empty()) continue;
    if (const Json* details = member(entry, "details"))
      info.parameterSize = string_member(*details, "parameter_size");
    models.push_back(std::move(info));
  }
  log_line(log_kind::kSuccess, kComponent,
           "获取到 " + std::to_string(models.size()) + " 个已下载模型");
  return models;
}

void OllamaService::pullModel(
    const std::string& name,
    const std::function<void(const OllamaPullProgress&)>& onProgress) const {
  std::string pending;
  auto handle_line = [&](std::string_view line) {
    const Json event = Json::parse(line, nullptr, false);
    if (!event.is_object()) return;
    if (const Json* error = member(event, "error"))
      throw OllamaError::from(AIServiceError::requestFailed(
          200, error->is_string() ? error->get<std::string>() : std::string(line)));
    onProgress(OllamaPullProgress{string_member(event, "status"), integer_member(event, "total"),
                                  integer_member(event, "completed")});
  };
  const BodySink sink = [&](std::string_view bytes) {
    for (size_t newline; (newline = bytes.find('\n')) != std::string_view::npos;) {
      pending.append(bytes.substr(0, newline));
      bytes.remove_prefix(newline + 1);
      std::string line = std::move(pending);
      pending.clear();
      handle_line(line);
    }
    pending.append(bytes);
    if (pending.size() > kMaxLineBytes) throw OllamaError::from(AIServiceError::invalidResponse());
  };
  HttpRequest pull = request("POST", "/api/pull",
                             dump_compact(Json{{"model", name}, {"stream", true}}), kPullTimeout);
  HttpResponse response;
  try {
    response = transport_.perform(pull, &sink);
  } catch (const OllamaError&) {
    throw;
  } catch (const AIServiceError& error) {
    throw OllamaError::from(error);
  }
  if (response.status < 200 || response.status >= 300)
    throw OllamaError::from(
        AIServiceError::requestFailed(response.status, redact_secret(response.body, apiKey_)));
  if (!pending.empty()) handle_line(pending);
  log_line(log_kind::kSuccess, kComponent, "模型下载完成: " + name);
}

long OllamaService::statusOf(std::string_view label, const HttpRequest& request) const {
  long status = 0;
  try {
    status = transport_.perform(request).status;
  } catch (const AIServiceError& error) {
    throw OllamaError::from(error);
  }
  log_line(log_kind::kAI, kComponent,
           std::string(label) + " 测试响应状态码: " + std::to_string(status));
  return status;
}

long OllamaService::testTags() const {
  return statusOf("/api/tags", request("GET", "/api/tags", "", std::max(timeout_, 10.0)));
}

long OllamaService::testOpenAIFormat(const std::string& model) const {
  const Json body{{"model", model},
                  {"messages", Json::array({{{"role", "user"}, {"content", "test"}}})}};
  return statusOf("/v1/chat/completions", request("POST", "/v1/chat/completions",
                                                  dump_compact(body), std::max(timeout_, 60.0)));
}

long OllamaService::testGenerate(const std::string& model) const {
  const Json body{{"model", model}, {"prompt", "test"}};
  return statusOf("/api/generate",
                  request("POST", "/api/generate", dump_compact(body), std::max(timeout_, 60.0)));
}

}  // namespace kestrova::ai
