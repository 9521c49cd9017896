#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"

namespace kestrova::rules {

// A failure of the script layer: its domain, code and description.
struct LuaFailure {
  std::string domain;
  int code = 0;
  std::string description;
};

// The answer of one script operation; `value` carries what a call or a global read gave.
struct LuaResult {
  bool success = false;
  std::optional<LuaFailure> error;
  Json value;
};

// The only door to a script VM. This build carries none, so every operation fails with
// domain "LuaWrapper", code -1, "Lua library not available" (loading a file adds how to get
// one). Script rules are therefore stored and shown but never run.
class LuaWrapper {
 public:
  using HostFunction = std::function<Json(const std::vector<Json>& arguments)>;

  static constexpr bool kAvailable = false;

  LuaResult loadFile(const std::filesystem::path& file);
  LuaResult loadString(std::string_view code);
  LuaResult callFunction(std::string_view name, const std::vector<Json>& arguments);
  LuaResult setGlobal(std::string_view name, const Json& value);
  LuaResult getGlobal(std::string_view name);
  LuaResult registerFunction(std::string_view name, HostFunction function);
};

}  // namespace kestrova::rules
