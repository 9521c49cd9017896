#include "rules/lua_engine.h"

namespace kestrova::rules {

namespace {

std::string describe(LuaEngineError::Kind kind, const std::string& detail) {
  switch (kind) {
    case LuaEngineError::Kind::notInitialized:
      return "Lua 引擎未初始化，请确保 Lua 库已正确集成";
    case LuaEngineError::Kind::loadFailed:
      return "加载 Lua 脚本失败: " + detail;
    case LuaEngineError::Kind::executionFailed:
      return "执行 Lua 脚本失败: " + detail;
    case LuaEngineError::Kind::setGlobalFailed:
      return "设置全局变量失败: " + detail;
    case LuaEngineError::Kind::functionNotFound:
      return "未找到 Lua 函数: " + detail;
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
