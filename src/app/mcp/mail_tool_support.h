#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/local_mail_change.h"
#include "app/core/tool_answer_json.h"
#include "store/database.h"
#include "util/json.h"

namespace kestrova::app {

// Pieces shared by the mail, tag and write tools.

// Changes every local copy of one message: the copies share the trimmed Message-ID, or,
// without one, the subject, sender (ignoring case) and date within a millisecond.
// `set_clause` is one of the fixed "column = ?" texts. Throws "Message not found". Returns
// the ids of the copies changed.
std::vector<std::string> update_all_copies(store::Connection& c, const std::string& message_id,
                                           std::string_view set_clause, const ColumnValue& value);

// The write-group check: a UUID string in canonical form, else `message`.
std::string required_uuid(const Json& arguments, std::string_view key, std::string_view message);

}  // namespace kestrova::app
