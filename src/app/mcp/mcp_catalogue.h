#pragma once

#include <vector>

#include "app/mcp/mcp_tool.h"

namespace kestrova::app {

// The tool catalogue as groups, in catalogue order: base mail, workflow, tag/link, rule,
// write. Only tools that exist are in it.
std::vector<ToolGroup> build_tool_catalogue();

// Tool providers, one per tool family; each returns its tools in any order.
std::vector<Tool> mail_tools();
std::vector<Tool> link_tools();
std::vector<Tool> rule_tools();
std::vector<Tool> workflow_tools();

}  // namespace kestrova::app
