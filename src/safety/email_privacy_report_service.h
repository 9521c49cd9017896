#pragma once

#include "safety/email_privacy_report.h"

namespace kestrova::store {
struct EmailMessage;
}

namespace kestrova::safety {

// The privacy report of one message, computed locally without network access: remote
// resources the HTML would load, deceptive links, an inconsistent sender identity and text
// meant to steer an AI assistant. Pure: the result depends only on the message. Every
// regular expression runs with bounded match and depth limits, so hostile HTML costs time
// linear in its size and a pattern that fails (to compile or within its limits)
// contributes nothing. Safe to call from several threads at once.
class EmailPrivacyReportService {
 public:
  static EmailPrivacyReport report(const store::EmailMessage& message);
};

}  // namespace kestrova::safety
