#include "ai/endpoint_probe.h"

#include <algorithm>
#include <exception>

#include "ai/http_transport.h"
#include "util/text.h"

namespace kestrova::ai {

EndpointProbe probe_endpoint(const AIServiceProfile& profile) {
  HttpRequest request;
  request.method = "GET";
  request.url = text::trim(profile.endpoint);
  request.timeout = std::min(kProbeSeconds, profile.timeout > 0 ? profile.timeout : kProbeSeconds);
  try {
    const auto response = HttpTransport().perform(request);
    return {true, "HTTP " + std::to_string(response.status)};
  } catch (const std::exception& e) {
    return {false, e.what()};
  }
}

}  // namespace kestrova::ai
