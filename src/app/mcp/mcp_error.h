#pragma once

#include <string>

#include "util/error.h"

namespace kestrova::app {

// The tool server's error: one message text, shown to the agent unchanged.
class MCPError : public Error {
 public:
  explicit MCPError(const std::string& message) : Error(message) {}
};

}  // namespace kestrova::app
