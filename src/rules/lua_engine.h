#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "rules/lua_wrapper.h"
#include "util/error.h"

namespace kestrova::rules {

class LuaEngineError : public Error {
 public:
  enum class Kind { notInitialized, loadFailed, executionFailed, setGlobalFailed, functionNotFound };
  LuaEngineError(Kind kind, const std::string& detail = {});
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

// The script VM as the rule engine sees it, over LuaWrapper. Without a VM it is never
// initialised and every operation throws.
class LuaEngine {
 public:
  bool isInitialized() const { return LuaWrapper::kAvailable; }
  void loadFile(const std::filesystem::path& file);
  void loadString(std::string_view code);
  void setGlobal(std::string_view name, const Json& value);
  Json call(std::string_view function, const std::vector<Json>& arguments);

 private:
  LuaWrapper wrapper_;
};

}  // namespace kestrova::rules
