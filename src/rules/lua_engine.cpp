#include "rules/lua_engine.h"

#include "util/localization.h"

namespace kestrova::rules {

namespace {

std::string describe(LuaEngineError::Kind kind, const std::string& detail) {
  switch (kind) {
    case LuaEngineError::Kind::notInitialized:
      return localized("lua.error.not_initialized");
    case LuaEngineError::Kind::loadFailed:
      return localized_format("lua.error.load", detail);
    case LuaEngineError::Kind::executionFailed:
      return localized_format("lua.error.run", detail);
    case LuaEngineError::Kind::setGlobalFailed:
      return localized_format("lua.error.global", detail);
    case LuaEngineError::Kind::functionNotFound:
      return localized_format("lua.error.no_function", detail);
  }
  return detail;
}

std::string failure_text(const LuaResult& result) {
  return result.error ? result.error->description : std::string();
}

}  // namespace

LuaEngineError::LuaEngineError(Kind kind, const std::string& detail)
    : Error(describe(kind, detail)), kind_(kind) {}

void LuaEngine::loadFile(const std::filesystem::path& file) {
  if (!isInitialized()) throw LuaEngineError(LuaEngineError::Kind::notInitialized);
  const auto result = wrapper_.loadFile(file);
  if (!result.success) throw LuaEngineError(LuaEngineError::Kind::loadFailed, failure_text(result));
}

void LuaEngine::loadString(std::string_view code) {
  if (!isInitialized()) throw LuaEngineError(LuaEngineError::Kind::notInitialized);
  const auto result = wrapper_.loadString(code);
  if (!result.success) throw LuaEngineError(LuaEngineError::Kind::loadFailed, failure_text(result));
}

void LuaEngine::setGlobal(std::string_view name, const Json& value) {
  if (!isInitialized()) throw LuaEngineError(LuaEngineError::Kind::notInitialized);
  const auto result = wrapper_.setGlobal(name, value);
  if (!result.success)
    throw LuaEngineError(LuaEngineError::Kind::setGlobalFailed, failure_text(result));
}

Json LuaEngine::call(std::string_view function, const std::vector<Json>& arguments) {
  if (!isInitialized()) throw LuaEngineError(LuaEngineError::Kind::notInitialized);
  const auto global = wrapper_.getGlobal(function);
  if (!global.success || global.value.is_null())
    throw LuaEngineError(LuaEngineError::Kind::functionNotFound, std::string(function));
  auto result = wrapper_.callFunction(function, arguments);
  if (!result.success)
    throw LuaEngineError(LuaEngineError::Kind::executionFailed, failure_text(result));
  return std::move(result.value);
}

}  // namespace kestrova::rules
