#include "ai/http_transport.h"

#include "ai/ai_service_error.h"

namespace kestrova::ai {

HttpResponse HttpTransport::perform(const HttpRequest& request, const BodySink* sink) const {
  try {
    return platform::HttpTransport::perform(request, sink);
  } catch (const platform::HttpError& e) {
    if (e.kind() == platform::HttpError::Kind::bodyTooLarge)
      throw AIServiceError::invalidResponse();
    throw AIServiceError::networkError(e.what());
  }
}

}  // namespace kestrova::ai
