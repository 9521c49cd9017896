#include "app/mcp/mail_tool_support.h"

#include "app/mcp/mcp_error.h"
#include "store/email_contact.h"
#include "store/email_store_sql.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

std::vector<std::string> update_all_copies(store::Connection& c, const std::string& message_id,
                                           std::string_view set_clause, const ColumnValue& value) {
  auto ids = update_copies(c, message_id, set_clause, value);
  if (!ids) throw MCPError("Message not found");
  return std::move(*ids);
}

std::string required_uuid(const Json& arguments, std::string_view key, std::string_view message) {
  if (arguments.is_object()) {
    auto it = arguments.find(key);
    if (it != arguments.end() && it->is_string())
      if (auto id = parse_uuid(it->get_ref<const std::string&>())) return *id;
  }
  throw MCPError(std::string(message));
}

}  // namespace kestrova::app
