#include "ai/ai_service_adapter.h"

#include <algorithm>
#include <set>
#include <variant>

#include "ai/ai_service_error.h"
#include "ai/http_transport.h"
#include "ai/json_fields.h"
#include "util/base64.h"
#include "util/text.h"

namespace kestrova::ai {

namespace {

using P = AIProtocolType;
constexpr int64_t kMaxTokenLimit = 8192;
constexpr int64_t kClaudeDefaultMaxTokens = 1024;
// Required by the Anthropic API on every request.
constexpr std::string_view kAnthropicVersion = "2023-06-01";
constexpr std::string_view kDashScopeNativePath =
    "/api/v1/services/aigc/text-generation/generation";

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

bool ends_with(std::string_view s, std::string_view suffix) { return s.ends_with(suffix); }

// The endpoint trimmed, with one trailing "/" dropped.
std::string base_of(const AIServiceProfile& profile) {
  std::string base = text::trim(profile.endpoint);
  if (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

bool is_openai_compatible_endpoint(const AIServiceProfile& profile) {
  const std::string endpoint = text::lower(profile.endpoint);
  return contains(endpoint, "compatible-mode") || contains(endpoint, "/chat/completions");
}

bool is_valid_http_url(const std::string& url) {
  try {
    return platform::HttpTransport::isHttpUrl(url);
  } catch (const platform::HttpError& e) {
    throw AIServiceError::networkError(e.what());
  }
}

// The string content of a message, or its text parts joined by line breaks.
std::string text_of(const Json& content) {
  if (content.is_string()) return content.get<std::string>();
  std::string joined;
  if (!content.is_array()) return joined;
  for (const Json& part : content) {
    if (!part.is_object()) continue;
    auto text = part.find("text");
    if (text == part.end() || !text->is_string()) continue;
    if (!joined.empty()) joined += "\n";
    joined += text->get<std::string>();
  }
  return joined;
}

void set_if(Json& object, const char* key, const auto& value) {
  if (value) object[key] = *value;
}

void merge(Json& target, const Json& extra) {
  if (!extra.is_object()) return;
  for (auto it = extra.begin(); it != extra.end(); ++it) target[it.key()] = it.value();
}

// OpenAI-style contents in DashScope's multimodal form.
Json dashscope_content(const Json& content) {
  if (content.is_string()) return Json::array({{{"text", content}}});
  if (!content.is_array()) return content;
  Json parts = Json::array();
  for (const Json& part : content) {
    const std::string type = string_member(part, "type");
    auto url_of = [&](const char* key) {
      const Json* holder = member(part, key);
      return holder ? string_member(*holder, "url") : std::string();
    };
    if (type == "text")
      parts.push_back({{"text", string_member(part, "text")}});
    else if (type == "image_url")
      parts.push_back({{"image", url_of("image_url")}});
    else if (type == "audio_url")
      parts.push_back({{"audio", url_of("audio_url")}});
    else if (type == "video_url")
      parts.push_back({{"video", url_of("video_url")}});
  }
  return parts;
}

// The base64 data of a data: URL ("data:image/png;base64,…"); nothing for other URLs,
// which are not fetched while a request is built.
std::optional<std::string> inline_image_data(const std::string& url) {
  if (!url.starts_with("data:")) return std::nullopt;
  const size_t comma = url.find(',');
  if (comma == std::string::npos) return std::nullopt;
  const std::string_view header = std::string_view(url).substr(0, comma);
  const std::string_view data = std::string_view(url).substr(comma + 1);
  if (header.ends_with(";base64")) return std::string(data);
  return base64::encode(data);
}

Json gemini_parts(const Json& content) {
  Json parts = Json::array();
  if (content.is_string()) {
    parts.push_back({{"text", content}});
    return parts;
  }
  if (!content.is_array()) return parts;
  for (const Json& part : content) {
    const std::string type = string_member(part, "type");
    const Json* image = member(part, "image_url");
    if (type == "text") {
      parts.push_back({{"text", string_member(part, "text")}});
    } else if (type == "image_url" && image) {
      if (auto data = inline_image_data(string_member(*image, "url")))
        parts.push_back({{"inline_data", {{"mime_type", "image/png"}, {"data", *data}}}});
    }
  }
  return parts;
}

// Value at a path of object keys and array indices, or nullptr.
const Json* at(const Json& root, std::initializer_list<std::variant<const char*, size_t>> path) {
  const Json* node = &root;
  for (const auto& step : path) {
    if (std::holds_alternative<const char*>(step)) {
      if (!node->is_object()) return nullptr;
      auto it = node->find(std::get<const char*>(step));
      if (it == node->end()) return nullptr;
      node = &*it;
    } else {
      const size_t index = std::get<size_t>(step);
      if (!node->is_array() || node->size() <= index) return nullptr;
      node = &(*node)[index];
    }
  }
  return node;
}

// Text of a content value: a string, or the "text" of each part joined by line breaks.
// Parts marked as thoughts (reasoning) are not reply text.
std::optional<std::string> content_text(const Json* content) {
  if (!content) return std::nullopt;
  if (content->is_string()) return content->get<std::string>();
  if (!content->is_array()) return std::nullopt;
  std::optional<std::string> joined;
  for (const Json& part : *content) {
    if (!part.is_object() || true_member(part, "thought")) continue;
    auto text = part.find("text");
    if (text == part.end() || !text->is_string()) continue;
    joined = joined ? *joined + "\n" + text->get<std::string>() : text->get<std::string>();
  }
  return joined;
}

std::optional<std::string> first_text(
    const Json& reply,
    std::initializer_list<std::initializer_list<std::variant<const char*, size_t>>> paths) {
  for (const auto& path : paths)
    if (auto text = content_text(at(reply, path))) return text;
  return std::nullopt;
}

std::optional<std::string> ollama_text(const Json& reply) {
  return first_text(reply, {{"response"}, {"message", "content"}});
}

// The protocols grouped by how requests and replies are built; most providers speak
// OpenAI's dialect and differ only in their presets.
enum class Family { openAI, miniMax, dashScope, ollama, claude, gemini, custom };

Family family_of(AIProtocolType protocol) {
  switch (protocol) {
    case P::miniMaxCN:
    case P::miniMaxGlobal:
      return Family::miniMax;
    case P::dashScope:
      return Family::dashScope;
    case P::ollama:
      return Family::ollama;
    case P::claude:
      return Family::claude;
    case P::gemini:
      return Family::gemini;
    case P::custom:
      return Family::custom;
    case P::openAI:
    case P::azureOpenAI:
    case P::halvex:
    case P::openRouter:
    case P::zhipuAI:
    case P::deepSeek:
    case P::moonshot:
    case P::doubao:
    case P::stepFun:
    case P::xiaomi:
    case P::xAI:
    case P::mistral:
      return Family::openAI;
  }
  return Family::openAI;
}

}  // namespace

bool AIServiceAdapter::isNativeDashScope(const AIServiceProfile& profile) {
  return profile.protocolType == P::dashScope && !is_openai_compatible_endpoint(profile);
}

bool AIServiceAdapter::isNativeGemini(const AIServiceProfile& profile) {
  return profile.protocolType == P::gemini && contains(text::lower(profile.endpoint), "/v1beta");
}

std::string AIServiceAdapter::buildURL(const AIServiceProfile& profile, bool useChatCompletions,
                                       const std::optional<std::string>& modelOverride) const {
  const std::string base = base_of(profile);
  const std::string lower = text::lower(base);
  const std::string model = modelOverride.value_or(profile.defaultModel);
  static constexpr std::string_view kRequestPaths[] = {
      "/api/generate", "/chat/completions", "/v1/chat", "/completions",
      "/v1beta",       "/models/",          "/messages"};
  const bool full = std::any_of(std::begin(kRequestPaths), std::end(kRequestPaths),
                                [&](std::string_view marker) { return contains(lower, marker); });
  std::string url;
  if (profile.protocolType == P::gemini && ends_with(lower, "/v1beta")) {
    // A bare Gemini base: the model's generateContent method below it.
    url = base + "/models/" + model + ":generateContent";
  } else if (full) {
    url = base;
  } else if (isNativeDashScope(profile)) {
    // The native body goes to the native generation service, never to compatible mode.
    url = contains(lower, "/api/v1/services/") ? base : base + std::string(kDashScopeNativePath);
  } else {
    switch (family_of(profile.protocolType)) {
      case Family::dashScope:
        url = base + (contains(lower, "/compatible-mode/v1")
                          ? "/chat/completions"
                          : "/compatible-mode/v1/chat/completions");
        break;
      case Family::ollama:
      case Family::custom:
        url = base + (useChatCompletions ? "/v1/chat/completions" : "/api/generate");
        break;
      case Family::claude:
        // A base that already names the API version only lacks the method.
        url = base + (ends_with(lower, "/v1") ? "/messages" : "/v1/messages");
        break;
      case Family::gemini:
        url = base + "/v1/chat/completions";
        break;
      case Family::miniMax:
        url = base + "/text/chatcompletion_v2";
        break;
      case Family::openAI:
        url = base + "/chat/completions";
        break;
    }
  }
  if (!is_valid_http_url(url)) throw AIServiceError::invalidURL();
  return url;
}

HeaderFields AIServiceAdapter::buildHeaders(const AIServiceProfile& profile) const {
  HeaderFields headers{{"Content-Type", "application/json"}};
  if (profile.protocolType == P::claude)
    headers.emplace_back("anthropic-version", kAnthropicVersion);
  if (profile.apiKey.empty()) return headers;
  switch (key_header(profile.protocolType)) {
    case AIKeyHeader::xApiKey:
      headers.emplace_back("x-api-key", profile.apiKey);
      break;
    case AIKeyHeader::xGoogApiKey:
      headers.emplace_back("x-goog-api-key", profile.apiKey);
      break;
    case AIKeyHeader::bearer:
      headers.emplace_back("Authorization", "Bearer " + profile.apiKey);
      break;
  }
  return headers;
}

Json AIServiceAdapter::buildRequestBody(const AIServiceProfile& profile, const Json& messages,
                                        const std::optional<std::string>& model,
                                        const std::optional<std::string>& systemPrompt,
                                        std::optional<double> temperature,
                                        std::optional<double> topP,
                                        std::optional<int64_t> maxTokens,
                                        const Json& extraParameters) const {
  const std::string chosen = model.value_or(profile.defaultModel);
  std::optional<int64_t> limit;
  if (maxTokens)
    limit = std::clamp<int64_t>(*maxTokens, 1, kMaxTokenLimit);
  else if (contains(text::lower(chosen), "qwen"))
    limit = kMaxTokenLimit;

  Json body{{"model", chosen}};
  auto openai_body = [&](const char* limit_key) {
    body["messages"] = messages;
    set_if(body, "temperature", temperature);
    set_if(body, "top_p", topP);
    set_if(body, limit_key, limit);
    merge(body, extraParameters);
    return body;
  };

  switch (family_of(profile.protocolType)) {
    case Family::miniMax:
      return openai_body("max_completion_tokens");
    case Family::dashScope: {
      if (!isNativeDashScope(profile)) return openai_body("max_tokens");
      Json converted = Json::array();
      for (const Json& message : messages) {
        Json copy = message;
        if (copy.is_object() && copy.contains("content"))
          copy["content"] = dashscope_content(copy["content"]);
        converted.push_back(std::move(copy));
      }
      body["input"] = {{"messages", std::move(converted)}};
      Json parameters = Json::object();
      set_if(parameters, "temperature", temperature);
      set_if(parameters, "top_p", topP);
      set_if(parameters, "max_tokens", limit);
      merge(parameters, extraParameters);
      if (!parameters.empty()) body["parameters"] = std::move(parameters);
      return body;
    }
    case Family::ollama: {
      std::string prompt;
      for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        if (string_member(*it, "role") != "user") continue;
        const Json* content = member(*it, "content");
        prompt = content ? text_of(*content) : std::string();
        break;
      }
      body["prompt"] = prompt;
      body["stream"] = false;
      set_if(body, "system", systemPrompt);
      Json options = Json::object();
      set_if(options, "temperature", temperature);
      set_if(options, "top_p", topP);
      set_if(options, "num_predict", limit);
      if (!options.empty()) body["options"] = std::move(options);
      merge(body, extraParameters);
      return body;
    }
    case Family::claude: {
      // Anthropic refuses a "system" role: system texts go to the top-level "system" field.
      std::string system = systemPrompt.value_or("");
      Json conversation = Json::array();
      for (const Json& message : messages) {
        if (string_member(message, "role") != "system") {
          conversation.push_back(message);
          continue;
        }
        const Json* content = member(message, "content");
        const std::string text = content ? text_of(*content) : std::string();
        // The chat command hands its system prompt both ways; send it once.
        if (!text.empty() && text != systemPrompt.value_or(""))
          system += (system.empty() ? "" : "\n\n") + text;
      }
      body["messages"] = std::move(conversation);
      if (!system.empty()) body["system"] = system;
      body["max_tokens"] = limit.value_or(kClaudeDefaultMaxTokens);
      set_if(body, "temperature", temperature);
      set_if(body, "top_p", topP);
      merge(body, extraParameters);
      return body;
    }
    case Family::gemini: {
      if (!isNativeGemini(profile)) return openai_body("max_tokens");
      // Gemini names no model in the body (it is in the URL) and takes sampling options
      // only inside generationConfig.
      body = Json::object();
      Json contents = Json::array();
      for (const Json& message : messages) {
        if (!message.is_object()) continue;
        const std::string role = string_member(message, "role") == "user" ? "user" : "model";
        const Json* content = member(message, "content");
        contents.push_back({{"role", role}, {"parts", gemini_parts(content ? *content : Json())}});
      }
      body["contents"] = std::move(contents);
      Json config = Json::object();
      set_if(config, "temperature", temperature);
      set_if(config, "topP", topP);
      set_if(config, "maxOutputTokens", limit);
      if (!config.empty()) body["generationConfig"] = std::move(config);
      merge(body, extraParameters);
      return body;
    }
    case Family::openAI:
    case Family::custom:
      return openai_body("max_tokens");
  }
  return openai_body("max_tokens");
}

std::string AIServiceAdapter::parseResponse(std::string_view data,
                                            const AIServiceProfile& profile) const {
  const Json reply = Json::parse(data, nullptr, false);
  if (!reply.is_object()) throw AIServiceError::invalidResponse();
  std::optional<std::string> found;
  const std::initializer_list<std::variant<const char*, size_t>> choice = {"choices", size_t{0},
                                                                           "message", "content"};
  if (is_openai_compatible_endpoint(profile) && profile.protocolType != P::claude &&
      profile.protocolType != P::ollama && profile.protocolType != P::custom) {
    found = first_text(reply, {choice});
  } else {
    switch (family_of(profile.protocolType)) {
      case Family::claude:
        found = content_text(at(reply, {"content"}));
        break;
      case Family::ollama:
        found = ollama_text(reply);
        break;
      case Family::dashScope:
        found = first_text(
            reply, {{"output", "text"}, {"output", "choices", size_t{0}, "message", "content"}});
        break;
      case Family::gemini:
        found = isNativeGemini(profile)
                    ? content_text(at(reply, {"candidates", size_t{0}, "content", "parts"}))
                    : first_text(reply, {choice});
        break;
      case Family::custom:
        found = first_text(reply, {choice});
        if (!found) found = ollama_text(reply);
        break;
      case Family::openAI:
      case Family::miniMax:
        found = first_text(reply, {choice});
        break;
    }
  }
  if (!found) throw AIServiceError::invalidResponse();
  return text::trim(*found);
}

std::vector<std::string> AIServiceAdapter::fetchModels(const AIServiceProfile& profile,
                                                       const HttpTransport& transport) const {
  if (!supports_model_listing(profile.protocolType)) return {};
  std::string base = base_of(profile);
  if (ends_with(base, "/chat/completions"))
    base.resize(base.size() - std::string_view("/chat/completions").size());
  else if (ends_with(base, "/chat"))
    base.resize(base.size() - std::string_view("/chat").size());
  const std::string url = base + "/models";
  if (!is_valid_http_url(url)) throw AIServiceError::invalidURL();

  HttpRequest request;
  request.method = "GET";
  request.url = url;
  request.headers = buildHeaders(profile);
  request.timeout = std::max(profile.timeout, 10.0);
  const HttpResponse response = transport.perform(request);
  if (response.status < 200 || response.status >= 300)
    throw AIServiceError::requestFailed(response.status,
                                        redact_secret(response.body, profile.apiKey));

  const Json reply = Json::parse(response.body, nullptr, false);
  if (!reply.is_object()) throw AIServiceError::invalidResponse();
  std::set<std::string> names;
  auto add = [&](const Json& entry, std::string_view key) {
    std::string name = string_member(entry, key);
    if (name.empty()) return false;
    names.insert(std::move(name));
    return true;
  };
  if (const Json* data = member(reply, "data"); data && data->is_array())
    for (const Json& entry : *data) add(entry, "id");
  if (const Json* models = member(reply, "models"); models && models->is_array()) {
    for (const Json& entry : *models) {
      if (entry.is_string() && !entry.get_ref<const std::string&>().empty())
        names.insert(entry.get<std::string>());
      else if (!add(entry, "id"))
        add(entry, "name");
    }
  }
  return {names.begin(), names.end()};
}

Json AIServiceAdapter::streamingBody(const AIServiceProfile& profile, Json body) const {
  if (isNativeDashScope(profile)) {
    body["parameters"]["incremental_output"] = true;
    return body;
  }
  if (isNativeGemini(profile)) return body;
  body["stream"] = true;
  return body;
}

std::string AIServiceAdapter::streamURL(const AIServiceProfile& profile, std::string url) const {
  if (!isNativeGemini(profile)) return url;
  constexpr std::string_view kMethod = ":generateContent";
  if (size_t at = url.find(kMethod); at != std::string::npos)
    url.replace(at, kMethod.size(), ":streamGenerateContent");
  if (!contains(url, "alt=sse")) url += contains(url, "?") ? "&alt=sse" : "?alt=sse";
  return url;
}

HeaderFields AIServiceAdapter::streamHeaders(const AIServiceProfile& profile) const {
  HeaderFields headers = buildHeaders(profile);
  headers.emplace_back("Accept", "text/event-stream");
  if (isNativeDashScope(profile)) headers.emplace_back("X-DashScope-SSE", "enable");
  return headers;
}

// ---- AIStreamParser ----

void AIStreamParser::feed(std::string_view bytes) {
  while (!ended_ && !bytes.empty()) {
    const size_t newline = bytes.find('\n');
    if (newline == std::string_view::npos) {
      if (pending_.size() + bytes.size() > kMaxLineBytes) throw AIServiceError::invalidResponse();
      pending_.append(bytes);
      return;
    }
    if (pending_.size() + newline > kMaxLineBytes) throw AIServiceError::invalidResponse();
    if (pending_.empty()) {
      line(bytes.substr(0, newline));
    } else {
      pending_.append(bytes.substr(0, newline));
      std::string complete = std::move(pending_);
      pending_.clear();
      line(complete);
    }
    bytes.remove_prefix(newline + 1);
  }
}

void AIStreamParser::finish() {
  if (ended_ || pending_.empty()) return;
  std::string last = std::move(pending_);
  pending_.clear();
  line(last);
}

void AIStreamParser::line(std::string_view text) {
  if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
  if (text.starts_with("data:")) {
    payload(text::trim(text.substr(5)));
    return;
  }
  // Ollama streams bare JSON lines; everything else (event:, id:, comments, blank lines
  // between events) carries no text.
  if (text.starts_with("{")) payload(text);
}

void AIStreamParser::payload(std::string_view text) {
  if (text == "[DONE]") {
    ended_ = true;
    return;
  }
  const Json event = Json::parse(text, nullptr, false);
  if (!event.is_object()) return;
  if (string_member(event, "type") != "ping") ++events_;
  if (event.contains("error") || string_member(event, "type") == "error")
    throw AIServiceError::requestFailed(200, std::string(text));

  std::optional<std::string> delta;
  if (auto type = event.find("type"); type != event.end() && type->is_string()) {
    // Anthropic: text arrives in content_block_delta events; message_stop ends the reply.
    if (*type == "content_block_delta") {
      const Json* value = at(event, {"delta", "text"});
      if (value && value->is_string()) delta = value->get<std::string>();
    } else if (*type == "message_stop") {
      ended_ = true;
    }
  } else if (event.contains("candidates")) {
    delta = content_text(at(event, {"candidates", size_t{0}, "content", "parts"}));
  } else if (event.contains("output")) {
    delta = first_text(
        event, {{"output", "choices", size_t{0}, "message", "content"}, {"output", "text"}});
  } else if (event.contains("choices")) {
    delta = content_text(at(event, {"choices", size_t{0}, "delta", "content"}));
    // A whole message stands in for deltas only when none came: some providers close a
    // stream with the complete message, which must not be appended twice.
    if (!delta && !delivered_)
      delta = content_text(at(event, {"choices", size_t{0}, "message", "content"}));
  } else {
    delta = ollama_text(event);
    if (true_member(event, "done")) ended_ = true;
  }
  if (delta && !delta->empty()) {
    delivered_ = true;
    sink_(*delta);
  }
}

}  // namespace kestrova::ai
