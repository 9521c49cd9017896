#pragma once

#include <optional>
#include <string>

#include "ai/ai_service_profile.h"

namespace kestrova::ai {

// How long a probe waits for the endpoint at most.
inline constexpr double kProbeSeconds = 3;

// Whether the profile's endpoint answers at all, asked with one GET of the endpoint (at most
// kProbeSeconds, or the profile's shorter time-out): any HTTP reply counts, since a 401 or
// 404 still means a server is there. Answers "HTTP <status>" when it answered, or the
// transport's failure in words when it did not.
struct EndpointProbe {
  bool answers = false;
  std::string detail;
};
EndpointProbe probe_endpoint(const AIServiceProfile& profile);

}  // namespace kestrova::ai
