#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/core/mailbox/journalled_message_change.h"
#include "app/core/agent/tool_answer_json.h"
#include "store/database.h"
#include "util/json.h"

namespace kestrova::app {

// Pieces shared by the mail, tag and write tools.

// update_all_copies comes from app/core/mailbox/journalled_message_change.h.

// The write-group check: a UUID string in canonical form, else `message`.
std::string required_uuid(const Json& arguments, std::string_view key, std::string_view message);

}  // namespace kestrova::app
