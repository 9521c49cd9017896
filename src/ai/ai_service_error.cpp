#include "ai/ai_service_error.h"

#include "util/localization.h"
#include "util/terminal_text.h"

namespace kestrova::ai {

// The description quotes the body's first few hundred characters: a provider's error page
// can be hundreds of kilobytes; body() keeps it whole.
AIServiceError AIServiceError::requestFailed(long status, const std::string& body) {
  return AIServiceError(Kind::requestFailed,
                        localized_format("ai.error.request_failed", status, quoted_excerpt(body)),
                        status, body);
}

AIServiceError AIServiceError::networkError(const std::string& cause) {
  return AIServiceError(Kind::networkError, localized_format("ai.error.network", cause));
}

AIServiceError AIServiceError::invalidURL() {
  return AIServiceError(Kind::invalidURL, localized("ai.error.invalid_url"));
}
AIServiceError AIServiceError::invalidResponse() {
  return AIServiceError(Kind::invalidResponse, localized("ai.error.invalid_response"));
}

OllamaError OllamaError::from(const AIServiceError& error) {
  return OllamaError(error.kind(), error.what(), error.status(), error.body());
}

OllamaError OllamaError::invalidImage() {
  OllamaError error(Kind::invalidResponse, localized("ai.error.invalid_image"));
  error.invalid_image_ = true;
  return error;
}

std::string redact_secret(std::string text, const std::string& secret) {
  if (secret.empty()) return text;
  for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
    text.replace(at, secret.size(), "***");
  return text;
}

}  // namespace kestrova::ai
