#pragma once

#include "platform/http_transport.h"

namespace kestrova::ai {

using platform::BodySink;
using platform::HttpRequest;
using platform::HttpResponse;

// The platform's HTTP client as the AI services use it: its failures come out as
// AIServiceError (networkError for transport failures and time-outs, invalidResponse for a
// body over kMaxBodyBytes).
class HttpTransport : public platform::HttpTransport {
 public:
  HttpResponse perform(const HttpRequest& request, const BodySink* sink = nullptr) const;
};

}  // namespace kestrova::ai
