#include "app/core/agent/tool_bridge.h"

#include <optional>

#include "util/error.h"

namespace kestrova::app {

namespace {
std::optional<ToolBridge>& installed() {
  static std::optional<ToolBridge> bridge;
  return bridge;
}
}  // namespace

void install_tool_bridge(ToolBridge bridge) { installed() = std::move(bridge); }

const ToolBridge& tool_bridge() {
  if (!installed()) throw Error("工具服务器不可用");
  return *installed();
}

}  // namespace kestrova::app
