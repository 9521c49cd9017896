#include "mail/email_service_error.h"

#include "util/localization.h"

namespace kestrova::mail {

namespace {

// The prefix of a case, in the interface language.
std::string shown_prefix(EmailServiceError::Kind kind) {
  using Kind = EmailServiceError::Kind;
  switch (kind) {
    case Kind::connectionFailed:
      return localized("mail.error.prefix.connection_failed");
    case Kind::authenticationFailed:
      return localized("mail.error.prefix.authentication_failed");
    case Kind::invalidConfiguration:
      return localized("mail.error.prefix.invalid_configuration");
    case Kind::networkError:
      return localized("mail.error.prefix.network");
    case Kind::parseError:
      return localized("mail.error.prefix.parse");
    case Kind::timedOut:
      return localized("mail.error.prefix.timed_out");
    case Kind::messageMismatch:
      return localized("mail.error.prefix.mismatch");
  }
  return "";
}

}  // namespace

EmailServiceError::EmailServiceError(Kind kind, std::string_view payload)
    : Error(shown_prefix(kind) + std::string(payload)), kind_(kind), payload_(payload) {}

EmailServiceError EmailServiceError::connectionFailed(std::string_view text) {
  return {Kind::connectionFailed, text};
}

EmailServiceError EmailServiceError::authenticationFailed(std::string_view text) {
  return {Kind::authenticationFailed, text};
}

EmailServiceError EmailServiceError::invalidConfiguration(std::string_view text) {
  return {Kind::invalidConfiguration, text};
}

EmailServiceError EmailServiceError::networkError(const std::exception& underlying) {
  return {Kind::networkError, underlying.what()};
}

EmailServiceError EmailServiceError::networkError(const LibEtPanError& underlying) {
  return {Kind::networkError, underlying.localizedDescription};
}

EmailServiceError EmailServiceError::parseError(std::string_view text) {
  return {Kind::parseError, text};
}

EmailServiceError EmailServiceError::timedOut(std::string_view text) {
  return {Kind::timedOut, text};
}

EmailServiceError EmailServiceError::messageMismatch(std::string_view text) {
  return {Kind::messageMismatch, text};
}

}  // namespace kestrova::mail
