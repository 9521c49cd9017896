#include "app/core/agent/mcp_exposure_level.h"

#include "platform/settings_store.h"

namespace kestrova::app {

MCPExposureLevel exposure_level_from_string(const std::optional<std::string>& stored) {
  if (stored == "readonly") return MCPExposureLevel::readonly;
  if (stored == "full") return MCPExposureLevel::full;
  return MCPExposureLevel::trainable;
}

MCPExposureLevel current_exposure_level() {
  return exposure_level_from_string(platform::SettingsStore::shared().string("mcpExposureLevel"));
}

}  // namespace kestrova::app
