#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::mail {

// One stage of a connection test: reaching and logging in to one of the account's servers.
// The texts below are the Chinese ones; the test gives them in the interface language
// (localisation keys "mail.test.*").
struct EmailConnectionStageResult {
  static constexpr std::string_view kIMAPStageName = "接收服务器 (IMAP)";
  static constexpr std::string_view kSMTPStageName = "发送服务器 (SMTP)";
  static constexpr std::string_view kSuccessDetail = "连接和登录成功";

  std::string name;
  bool success = false;
  std::string detail;  // kSuccessDetail, or what went wrong

  bool operator==(const EmailConnectionStageResult&) const = default;
};

// The outcome of EmailService::testConnection: the IMAP stage, then the SMTP stage.
struct EmailConnectionTestReport {
  std::vector<EmailConnectionStageResult> stages;

  // True when no stage failed (also for an empty report).
  bool allSucceeded() const;
  // The detail of the first failed stage, or nothing when none failed.
  std::optional<std::string> firstFailureDetail() const;
};

// The account screen's copy of a stage, with an identity of its own for list display.
struct ConnectionTestStageResult {
  std::string id;  // a fresh UUID per copy
  std::string name;
  bool success = false;
  std::string detail;
};

// What the account screen shows after a connection test.
struct ConnectionTestResult {
  static constexpr std::string_view kPassedMessage = "IMAP 与 SMTP 均已通过";
  static constexpr std::string_view kFailedMessage = "连接失败，请查看详细阶段信息";

  bool success = false;
  std::string message;
  std::vector<ConnectionTestStageResult> stages;  // in the report's order

  static ConnectionTestResult from(const EmailConnectionTestReport& report);
};

}  // namespace kestrova::mail
