#include "safety/email_junk_filter_action.h"

namespace kestrova::safety {

std::string_view raw_value(EmailJunkFilterAction action) {
  return action == EmailJunkFilterAction::moveToSpam ? "moveToSpam" : "markSpam";
}

std::optional<EmailJunkFilterAction> junk_filter_action_from_raw(std::string_view raw) {
  if (raw == "markSpam") return EmailJunkFilterAction::markSpam;
  if (raw == "moveToSpam") return EmailJunkFilterAction::moveToSpam;
  return std::nullopt;
}

}  // namespace kestrova::safety
