#pragma once

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ai/http_transport.h"
#include "util/json.h"
#include "util/uuid.h"

namespace kestrova::testing {

// The loopback AI providers of the CTest fixture `ai_servers`
// (tests/support/ai_servers/ai_servers.py). Request paths are /BEHAVIOUR/TAG/...; each
// test uses its own tag and reads back what the server received.
struct AITestServer {
  int http = 0, https = 0;
  std::string ca;
  std::string tag = "t" + new_uuid();

  AITestServer() {
    std::ifstream file(std::string(KESTROVA_AI_SERVERS_DIR) + "/servers.json");
    if (!file)
      throw std::runtime_error(
          "AI test servers not running: ctest starts them (fixture ai_servers)");
    const Json info = Json::parse(file);
    http = info["http"];
    https = info["https"];
    ca = info["ca"];
  }

  // The base address for `behaviour` ("ok", "split", "slow", "status401", ...).
  std::string base(const std::string& behaviour, bool secure = false) const {
    return std::string(secure ? "https" : "http") +
           "://127.0.0.1:" + std::to_string(secure ? https : http) + "/" + behaviour + "/" + tag;
  }

  // Every request received under this test's tag: {method, path, headers, body}.
  Json requests() const {
    ai::HttpRequest request;
    request.method = "GET";
    request.url = "http://127.0.0.1:" + std::to_string(http) + "/__requests/" + tag;
    return Json::parse(ai::HttpTransport().perform(request).body);
  }
  Json last() const { return requests().back(); }

  // What the "canned" behaviour answers, one text per request in order, the last repeated.
  void reply_with(const std::vector<std::string>& texts) const {
    ai::HttpRequest request;
    request.method = "POST";
    request.url = "http://127.0.0.1:" + std::to_string(http) + "/__replies/" + tag;
    request.body = Json(texts).dump();
    ai::HttpTransport().perform(request);
  }
};

}  // namespace kestrova::testing
