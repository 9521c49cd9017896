#pragma once

#include <optional>
#include <string_view>

namespace kestrova::safety {

// What happens to a message judged junk (raw values are the setting's values).
enum class EmailJunkFilterAction { markSpam, moveToSpam };

std::string_view raw_value(EmailJunkFilterAction action);
std::optional<EmailJunkFilterAction> junk_filter_action_from_raw(std::string_view raw);

}  // namespace kestrova::safety
