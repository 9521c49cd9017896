#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ai/ai_service_adapter.h"
#include "ai/ai_service_profile.h"
#include "ai/http_transport.h"
#include "util/json.h"

namespace kestrova::ai {

// Sampling and request options of one chat request; absent values are left out of the
// request. `model` absent means the profile's default model.
struct ChatOptions {
  std::optional<std::string> model;
  std::optional<std::string>
      systemPrompt;  // Ollama and Claude dialects only; others send a "system" message
  std::optional<double> temperature;
  std::optional<double> topP;
  std::optional<int64_t> maxTokens;
  Json extraParameters;  // null, or an object merged into the body
};

// Performs chat requests for every AI feature: the adapter builds the request, this class
// sends it and turns the reply into text. Only a 2xx reply is accepted; another status
// throws AIServiceError::requestFailed with the body (the profile's key redacted), a
// transport failure networkError. Blocking; thread-safe (holds no mutable state).
class ChatAIService {
 public:
  static constexpr size_t kMaxStreamTextBytes = 16u << 20;
  static constexpr double kStreamTimeoutFactor = 10;

  explicit ChatAIService(
      HttpTransport transport = {},
      std::shared_ptr<const AIServiceAdapter> adapter = std::make_shared<AIServiceAdapter>());

  // The whole reply text. `timeout` (seconds) bounds the whole exchange.
  std::string send(const AIServiceProfile& profile, const Json& messages,
                   const ChatOptions& options, double timeout) const;
  // Streams the reply: `onDelta` receives each piece of text as it arrives (and may throw
  // to stop); returns the whole text. `timeout` bounds connecting, every silence of the
  // server and every gap between events (keep-alive comments and pings do not count);
  // kStreamTimeoutFactor times it bounds the whole reply. A gap or the whole limit passed
  // throws networkError ("请求超时"), text beyond kMaxStreamTextBytes invalidResponse, as
  // a non-streamed reply over its cap does.
  std::string stream(const AIServiceProfile& profile, const Json& messages,
                     const ChatOptions& options, double timeout,
                     const std::function<void(std::string_view)>& onDelta) const;

  const HttpTransport& transport() const { return transport_; }
  const AIServiceAdapter& adapter() const { return *adapter_; }

 private:
  HttpRequest request(const AIServiceProfile& profile, const Json& messages,
                      const ChatOptions& options, double timeout, bool streaming) const;
  static void checkStatus(const AIServiceProfile& profile, const HttpResponse& response,
                          size_t length);

  HttpTransport transport_;
  std::shared_ptr<const AIServiceAdapter> adapter_;
};

}  // namespace kestrova::ai
