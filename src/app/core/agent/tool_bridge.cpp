#include "app/core/agent/tool_bridge.h"

#include <optional>

#include "util/error.h"
#include "util/localization.h"

namespace kestrova::app {

namespace {
std::optional<ToolBridge>& installed() {
  static std::optional<ToolBridge> bridge;
  return bridge;
}
}  // namespace

void install_tool_bridge(ToolBridge bridge) { installed() = std::move(bridge); }

const ToolBridge& tool_bridge() {
  if (!installed()) throw Error(localized("tool.bridge.unavailable"));
  return *installed();
}

}  // namespace kestrova::app
