#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/error.h"

namespace kestrova::platform {

// A failed exchange. what() is the reason, fit for the user; it never holds a header or a
// body of the request (which may carry a key or a token).
class HttpError : public Error {
 public:
  // cancelled: the process was asked to stop (CancellationToken::process()) mid-exchange.
  enum class Kind { network, bodyTooLarge, cancelled };
  HttpError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

struct HttpRequest {
  std::string method = "POST";  // "GET" sends no body
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Seconds. Without `idleTimeout` the limit of the whole exchange; with it, connecting and
  // every silence of the server are bounded by `timeout`, and the whole exchange by
  // `streamTimeout`, at most kMaxStreamSeconds (a streamed reply may rightly take longer
  // than one silence).
  double timeout = 30;
  bool idleTimeout = false;
  std::optional<double> streamTimeout;
};

struct HttpResponse {
  long status = 0;
  std::string body;  // empty when the body went to a sink (2xx replies)
  // Where a 3xx reply points (its Location header as sent; never followed), else empty.
  std::string redirectLocation;
};

// Receives the body of a 2xx reply piece by piece as it arrives (split anywhere). May
// throw; the exchange is then stopped and the exception rethrown from perform().
using BodySink = std::function<void(std::string_view)>;

// HTTP over libcurl (the AI services, OAuth token requests, the Gmail REST client). TLS
// certificates and host names are always verified. Proxies come from the environment the program
// was started with (platform/launch_environment.h), never from the live process environment, whose
// proxy variables the mail session may have replaced; redirects are not followed (a key must not
// travel to another host). Thread-safe: each thread keeps its own connection cache.
class HttpTransport {
 public:
  // Largest bodies kept in memory: a 2xx reply, and the body of any other status.
  static constexpr size_t kMaxBodyBytes = 32u << 20;
  static constexpr size_t kMaxErrorBodyBytes = 1u << 20;
  static constexpr double kMaxStreamSeconds = 3600;

  // A CA bundle trusted instead of the system's (a self-hosted gateway, the tests).
  std::optional<std::filesystem::path> extraCAFile;

  // Performs the exchange. A reply of any status is returned; with `sink`, the body of a
  // 2xx reply goes to the sink instead of into the response (what the sink throws comes
  // out unchanged). Throws HttpError: network for transport failures and time-outs,
  // bodyTooLarge for a body over kMaxBodyBytes, cancelled within about a second of the
  // process's cancellation token being set (libcurl looks at least once a second).
  HttpResponse perform(const HttpRequest& request, const BodySink* sink = nullptr) const;

  // Whether libcurl reads `url` as a whole http or https URL, which perform() will accept.
  // Throws HttpError (network) when the HTTP client library cannot be loaded.
  static bool isHttpUrl(const std::string& url);

  // The proxy a request to `url` goes through ("" for none) and the hosts that bypass
  // proxies, both from the launch environment.
  static std::string proxyFor(std::string_view url);
  static std::string noProxyHosts();
};

}  // namespace kestrova::platform
