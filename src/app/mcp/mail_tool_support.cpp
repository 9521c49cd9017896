#include "app/mcp/mail_tool_support.h"

#include "app/mcp/mcp_error.h"
#include "util/uuid.h"

namespace kestrova::app {

std::string required_uuid(const Json& arguments, std::string_view key, std::string_view message) {
  if (arguments.is_object()) {
    auto it = arguments.find(key);
    if (it != arguments.end() && it->is_string())
      if (auto id = parse_uuid(it->get_ref<const std::string&>())) return *id;
  }
  throw MCPError(std::string(message));
}

}  // namespace kestrova::app
