#pragma once

#include <exception>
#include <string>
#include <string_view>

#include "mail/libetpan_error.h"
#include "util/error.h"

namespace kestrova::mail {

// The failure of an account operation of EmailService. Each case carries a payload text;
// what() is the user-facing description, the payload behind a fixed prefix per case
// ("认证失败: 密码未找到"). Callers show what() as it is.
class EmailServiceError : public Error {
 public:
  enum class Kind {
    connectionFailed,      // "连接失败: "
    authenticationFailed,  // "认证失败: "
    invalidConfiguration,  // "配置无效: "
    networkError,          // "网络错误: " + the underlying error's description
    parseError,            // "解析错误: "
    timedOut,              // "请求超时: "
    messageMismatch,       // "邮件不匹配: " (the UID names another message)
  };

  static EmailServiceError connectionFailed(std::string_view text);
  static EmailServiceError authenticationFailed(std::string_view text);
  static EmailServiceError invalidConfiguration(std::string_view text);
  static EmailServiceError networkError(const std::exception& underlying);
  static EmailServiceError networkError(const LibEtPanError& underlying);
  static EmailServiceError parseError(std::string_view text);
  static EmailServiceError timedOut(std::string_view text);
  static EmailServiceError messageMismatch(std::string_view text);

  Kind kind() const { return kind_; }
  // The text behind the prefix (for networkError, the underlying error's description).
  const std::string& payload() const { return payload_; }

 private:
  EmailServiceError(Kind kind, std::string_view payload);
  Kind kind_;
  std::string payload_;
};

}  // namespace kestrova::mail
