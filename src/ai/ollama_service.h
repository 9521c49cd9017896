#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ai/http_transport.h"

namespace kestrova::ai {

struct OllamaModelInfo {
  std::string name;
  int64_t size = 0;           // bytes
  std::string parameterSize;  // "7.6B"; empty when the server does not say
};

// A model recommended for download, with its approximate size in bytes.
struct OllamaLibraryModel {
  std::string_view name;
  int64_t size;
  std::string_view parameters;
};

// The recommended models, in display order.
std::span<const OllamaLibraryModel> ollamaLibrary();

// One progress line of a model download.
struct OllamaPullProgress {
  std::string status;
  int64_t total = 0;      // bytes of the layer being downloaded; 0 when not known
  int64_t completed = 0;  // bytes of it received so far
  double fraction() const {
    return total > 0 ? static_cast<double>(completed) / static_cast<double>(total) : 0;
  }
};

// Manages a local Ollama server: installed models, model download, connection tests.
// Holds only the endpoint and key it is given; blocking; thread-safe. Failures throw
// OllamaError.
class OllamaService {
 public:
  static constexpr std::string_view kDefaultEndpoint = "http://127.0.0.1:11434";
  static constexpr double kPullTimeout = 3600;

  // An empty endpoint means the default loopback address.
  OllamaService(std::string endpoint, std::string apiKey, double timeout,
                HttpTransport transport = {});

  const std::string& endpoint() const { return endpoint_; }

  // GET /api/tags.
  std::vector<OllamaModelInfo> installedModels() const;
  // POST /api/pull, streaming; `onProgress` receives every progress line (and may throw
  // to stop). The whole download is bounded by kPullTimeout.
  void pullModel(const std::string& name,
                 const std::function<void(const OllamaPullProgress&)>& onProgress) const;
  // The HTTP status of GET /api/tags, of an OpenAI-format chat request and of
  // POST /api/generate with {"model", "prompt": "test"}.
  long testTags() const;
  long testOpenAIFormat(const std::string& model) const;
  long testGenerate(const std::string& model) const;

 private:
  HttpRequest request(std::string method, std::string_view path, std::string body,
                      double timeout) const;
  long statusOf(std::string_view label, const HttpRequest& request) const;

  std::string endpoint_;
  std::string apiKey_;
  double timeout_;
  HttpTransport transport_;
};

}  // namespace kestrova::ai
