#pragma once

#include <string>

#include "util/error.h"

namespace kestrova::ai {

// A failed AI request. what() is the user-facing description.
class AIServiceError : public Error {
 public:
  enum class Kind { requestFailed, networkError, invalidURL, invalidResponse };

  // A reply outside 200–299 with its status and body text. The caller redacts secrets the
  // body may echo before building the error (see redact_secret).
  static AIServiceError requestFailed(long status, const std::string& body);
  // A transport failure; `cause` is the underlying error's description.
  static AIServiceError networkError(const std::string& cause);
  static AIServiceError invalidURL();
  static AIServiceError invalidResponse();

  Kind kind() const { return kind_; }
  long status() const { return status_; }            // requestFailed only
  const std::string& body() const { return body_; }  // requestFailed only

 protected:
  AIServiceError(Kind kind, const std::string& description, long status = 0, std::string body = {})
      : Error(description), kind_(kind), status_(status), body_(std::move(body)) {}

 private:
  Kind kind_;
  long status_;
  std::string body_;
};

// The local Ollama manager's error: the same four cases, plus a picture it cannot use.
class OllamaError : public AIServiceError {
 public:
  static OllamaError from(const AIServiceError& error);
  static OllamaError invalidImage();
  bool isInvalidImage() const { return invalid_image_; }

 private:
  using AIServiceError::AIServiceError;
  bool invalid_image_ = false;
};

// `text` with every occurrence of `secret` replaced by "***" (nothing to do for an empty
// secret). Provider error bodies sometimes quote the key they were sent.
std::string redact_secret(std::string text, const std::string& secret);

}  // namespace kestrova::ai
