#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ai/ai_service_profile.h"
#include "util/json.h"

namespace kestrova::ai {

class HttpTransport;

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// Turns one chat request (role-tagged messages in OpenAI form plus sampling options) into
// the HTTP request a profile's provider expects, and the provider's reply back into text.
// Nineteen protocols share six wire dialects: OpenAI chat completions, MiniMax's variant,
// DashScope's native format, Ollama's generate format, Anthropic messages and Gemini
// generateContent. Holds no state: every call builds from the profile it is given, so one
// instance may serve any number of threads. The operations are virtual so that a provider
// with quirks can be served by a subclass.
class AIServiceAdapter {
 public:
  virtual ~AIServiceAdapter() = default;

  // The request URL. An endpoint already naming a request path is used as it is; a base
  // address gets the protocol's path. Throws AIServiceError::invalidURL when the result is
  // not an http(s) URL.
  virtual std::string buildURL(const AIServiceProfile& profile, bool useChatCompletions,
                               const std::optional<std::string>& modelOverride) const;
  // The JSON body. `messages` is an array of {"role", "content"} objects; `extraParameters`
  // (null or an object) is merged over the body's own keys.
  virtual Json buildRequestBody(const AIServiceProfile& profile, const Json& messages,
                                const std::optional<std::string>& model,
                                const std::optional<std::string>& systemPrompt,
                                std::optional<double> temperature, std::optional<double> topP,
                                std::optional<int64_t> maxTokens,
                                const Json& extraParameters) const;
  // Content type and, when the profile has a key, the key in the protocol's header.
  virtual HeaderFields buildHeaders(const AIServiceProfile& profile) const;
  // The provider's model names, sorted and without duplicates; empty without a request for
  // protocols that offer no OpenAI-style listing. Blocks for up to max(time-out, 10 s).
  // Throws AIServiceError.
  virtual std::vector<std::string> fetchModels(const AIServiceProfile& profile,
                                               const HttpTransport& transport) const;
  // The reply text of a non-streamed reply body. Throws AIServiceError::invalidResponse.
  virtual std::string parseResponse(std::string_view data, const AIServiceProfile& profile) const;

  // Streaming: the body with the dialect's streaming switch, the streaming URL and the
  // extra headers of a server-sent-event request.
  Json streamingBody(const AIServiceProfile& profile, Json body) const;
  std::string streamURL(const AIServiceProfile& profile, std::string url) const;
  HeaderFields streamHeaders(const AIServiceProfile& profile) const;

  // Whether the profile speaks DashScope's native format / Gemini's generateContent.
  static bool isNativeDashScope(const AIServiceProfile& profile);
  static bool isNativeGemini(const AIServiceProfile& profile);
};

// Splits a streamed reply into text deltas: server-sent events ("data:" lines) of every
// dialect and Ollama's JSON lines, with lines split anywhere across reads. Comments,
// "event:", "id:" and blank lines are skipped; "[DONE]", Anthropic's "message_stop" and an
// Ollama line with "done": true end the stream. A payload carrying an error object throws
// AIServiceError::requestFailed (status 200, the payload as body); a line longer than
// kMaxLineBytes throws invalidResponse. Payloads that are not JSON are skipped.
class AIStreamParser {
 public:
  static constexpr size_t kMaxLineBytes = 4u << 20;
  using DeltaSink = std::function<void(std::string_view delta)>;

  explicit AIStreamParser(DeltaSink sink) : sink_(std::move(sink)) {}

  void feed(std::string_view bytes);
  // Handles a last line that ended without a line break.
  void finish();
  bool ended() const { return ended_; }
  // Whether any delta was delivered.
  bool deliveredText() const { return delivered_; }
  // Events read so far: payloads that are JSON objects, keep-alive pings excepted.
  size_t events() const { return events_; }

 private:
  void line(std::string_view text);
  void payload(std::string_view text);

  DeltaSink sink_;
  std::string pending_;
  bool ended_ = false;
  bool delivered_ = false;
  size_t events_ = 0;
};

}  // namespace kestrova::ai
