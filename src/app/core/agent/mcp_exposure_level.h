#pragma once

#include <optional>
#include <string>

namespace kestrova::app {

// What an agent may do, from the setting `mcpExposureLevel`.
enum class MCPExposureLevel { readonly = 0, trainable = 1, full = 2 };

// "readonly" and "full" name their levels; anything else, and a missing value, is trainable.
MCPExposureLevel exposure_level_from_string(const std::optional<std::string>& stored);
// The level as stored now, read from the settings store at every call (no caching).
MCPExposureLevel current_exposure_level();

}  // namespace kestrova::app
