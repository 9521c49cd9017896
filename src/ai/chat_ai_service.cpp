#include "ai/chat_ai_service.h"

#include <chrono>
#include <cstdio>

#include "ai/ai_service_error.h"
#include "util/localization.h"
#include "util/log.h"

namespace kestrova::ai {

namespace {

constexpr std::string_view kComponent = "ChatAIService";

}  // namespace

ChatAIService::ChatAIService(HttpTransport transport,
                             std::shared_ptr<const AIServiceAdapter> adapter)
    : transport_(std::move(transport)), adapter_(std::move(adapter)) {}

HttpRequest ChatAIService::request(const AIServiceProfile& profile, const Json& messages,
                                   const ChatOptions& options, double timeout,
                                   bool streaming) const {
  // Ollama's own dialect is the generate form; every other protocol that appends a path
  // (custom gateways) speaks chat completions.
  const bool useChatCompletions = profile.protocolType != AIProtocolType::ollama;
  HttpRequest request;
  request.url = adapter_->buildURL(profile, useChatCompletions, options.model);
  Json body = adapter_->buildRequestBody(profile, messages, options.model, options.systemPrompt,
                                         options.temperature, options.topP, options.maxTokens,
                                         options.extraParameters);
  if (streaming) {
    request.url = adapter_->streamURL(profile, std::move(request.url));
    body = adapter_->streamingBody(profile, std::move(body));
    request.headers = adapter_->streamHeaders(profile);
    request.idleTimeout = true;
  } else {
    request.headers = adapter_->buildHeaders(profile);
  }
  request.body = dump_compact(body);
  request.timeout = timeout;
  char line[160];
  std::snprintf(line, sizeof line, "发送请求到 AI（超时: %f秒），协议: ", timeout);
  log_line(log_kind::kAI, kComponent, line + std::string(raw_value(profile.protocolType)));
  return request;
}

void ChatAIService::checkStatus(const AIServiceProfile& profile, const HttpResponse& response,
                                size_t length) {
  log_line(
      log_kind::kAI, kComponent,
      "收到响应，状态码: " + std::to_string(response.status) + "，长度: " + std::to_string(length));
  if (response.status >= 200 && response.status < 300) return;
  log_line(log_kind::kFailure, kComponent, "请求失败 (" + std::to_string(response.status) + ")");
  throw AIServiceError::requestFailed(response.status,
                                      redact_secret(response.body, profile.apiKey));
}

std::string ChatAIService::send(const AIServiceProfile& profile, const Json& messages,
                                const ChatOptions& options, double timeout) const {
  const HttpResponse response =
      transport_.perform(request(profile, messages, options, timeout, false));
  checkStatus(profile, response, response.body.size());
  return adapter_->parseResponse(response.body, profile);
}

std::string ChatAIService::stream(const AIServiceProfile& profile, const Json& messages,
                                  const ChatOptions& options, double timeout,
                                  const std::function<void(std::string_view)>& onDelta) const {
  std::string reply;
  AIStreamParser parser([&](std::string_view delta) {
    if (reply.size() + delta.size() > kMaxStreamTextBytes) {
      log_line(log_kind::kFailure, kComponent, "流式回复超过上限，已中止");
      throw AIServiceError::invalidResponse();
    }
    reply.append(delta);
    onDelta(delta);
  });
  // Keep-alive comments and pings reset the server's silence but not this clock: only
  // events count as progress.
  using Clock = std::chrono::steady_clock;
  const auto gapLimit = std::chrono::duration<double>(timeout);
  auto lastEvent = Clock::now();
  size_t events = 0;
  size_t received = 0;
  struct StreamComplete {};
  const BodySink sink = [&](std::string_view bytes) {
    received += bytes.size();
    try {
      parser.feed(bytes);
    } catch (const AIServiceError& error) {
      // An error event inside the stream may quote the request, key included.
      if (error.kind() != AIServiceError::Kind::requestFailed) throw;
      throw AIServiceError::requestFailed(error.status(),
                                          redact_secret(error.body(), profile.apiKey));
    }
    // The reply is complete: whatever the server still sends is not read.
    if (parser.ended()) throw StreamComplete{};
    const auto now = Clock::now();
    if (parser.events() != events) {
      events = parser.events();
      lastEvent = now;
    } else if (now - lastEvent > gapLimit) {
      log_line(log_kind::kFailure, kComponent, "流式回复长时间没有新内容，已中止");
      throw AIServiceError::networkError(localized("http.error.timed_out"));
    }
  };
  HttpRequest exchange = request(profile, messages, options, timeout, true);
  exchange.streamTimeout = timeout * kStreamTimeoutFactor;
  HttpResponse response;
  try {
    response = transport_.perform(exchange, &sink);
  } catch (const StreamComplete&) {
    response.status = 200;  // the sink sees only the body of a 2xx reply
  }
  checkStatus(profile, response, received + response.body.size());
  parser.finish();
  if (!parser.deliveredText()) throw AIServiceError::invalidResponse();
  return reply;
}

}  // namespace kestrova::ai
