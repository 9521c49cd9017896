#include "mail/email_service_error.h"

namespace kestrova::mail {

std::string_view EmailServiceError::prefix(Kind kind) {
  switch (kind) {
    case Kind::connectionFailed:
      return "连接失败: ";
    case Kind::authenticationFailed:
      return "认证失败: ";
    case Kind::invalidConfiguration:
      return "配置无效: ";
    case Kind::networkError:
      return "网络错误: ";
    case Kind::parseError:
      return "解析错误: ";
    case Kind::timedOut:
      return "请求超时: ";
    case Kind::messageMismatch:
      return "邮件不匹配: ";
  }
  return "";
}

EmailServiceError::EmailServiceError(Kind kind, std::string_view payload)
    : Error(std::string(prefix(kind)) + std::string(payload)), kind_(kind), payload_(payload) {}

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
