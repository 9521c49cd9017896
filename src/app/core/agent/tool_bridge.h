#pragma once

#include <functional>
#include <string>
#include <vector>

#include "util/json.h"

namespace kestrova::app {

// The tool dispatcher of the tool server as the command line reaches it: the scripting
// commands (`kestrova tool ...`) run tools in-process through it, with the same names,
// exposure levels and database as an agent. main.cpp installs the tool server's dispatcher;
// the command line never includes the tool server.
struct ToolBridge {
  struct Entry {
    std::string name;
    std::string description;
  };
  // The tools tools/list would return at the current exposure level, in catalogue order.
  std::function<std::vector<Entry>()> listTools;
  // Runs a tool (the "Unknown tool: " and exposure checks included) and returns its result
  // value; throws kestrova::Error with the tool's message.
  std::function<Json(const std::string& name, const Json& arguments)> callTool;
};

void install_tool_bridge(ToolBridge bridge);
// The installed bridge; throws kestrova::Error when none is (a program built without the
// tool server).
const ToolBridge& tool_bridge();

}  // namespace kestrova::app
