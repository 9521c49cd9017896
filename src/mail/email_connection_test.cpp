#include "mail/email_connection_test.h"

#include <algorithm>

#include "util/localization.h"
#include "util/uuid.h"

namespace kestrova::mail {

bool EmailConnectionTestReport::allSucceeded() const {
  return std::ranges::all_of(stages, &EmailConnectionStageResult::success);
}

std::optional<std::string> EmailConnectionTestReport::firstFailureDetail() const {
  auto failed = std::ranges::find(stages, false, &EmailConnectionStageResult::success);
  if (failed == stages.end()) return std::nullopt;
  return failed->detail;
}

ConnectionTestResult ConnectionTestResult::from(const EmailConnectionTestReport& report) {
  ConnectionTestResult result;
  result.success = report.allSucceeded();
  result.message = localized(result.success ? "mail.test.passed" : "mail.test.failed");
  for (const auto& stage : report.stages)
    result.stages.push_back({new_uuid(), stage.name, stage.success, stage.detail});
  return result;
}

}  // namespace kestrova::mail
