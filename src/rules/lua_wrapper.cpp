#include "rules/lua_wrapper.h"

namespace kestrova::rules {

namespace {

LuaResult unavailable(std::string description = "Lua library not available") {
  return LuaResult{false, LuaFailure{"LuaWrapper", -1, std::move(description)}, Json()};
}

}  // namespace

LuaResult LuaWrapper::loadFile(const std::filesystem::path&) {
  return unavailable("Lua library not available. Please install Lua or enable LUA_AVAILABLE.");
}

LuaResult LuaWrapper::loadString(std::string_view) { return unavailable(); }

LuaResult LuaWrapper::callFunction(std::string_view, const std::vector<Json>&) { return unavailable(); }

LuaResult LuaWrapper::setGlobal(std::string_view, const Json&) { return unavailable(); }

LuaResult LuaWrapper::getGlobal(std::string_view) { return unavailable(); }

LuaResult LuaWrapper::registerFunction(std::string_view, HostFunction) { return unavailable(); }

}  // namespace kestrova::rules
