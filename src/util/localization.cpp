#include "util/localization.h"

#include <string_view>
#include <unordered_map>

namespace kestrova {

namespace {

const std::unordered_map<std::string_view, std::string_view>& chinese_texts() {
  static const std::unordered_map<std::string_view, std::string_view> table = {
      {"email.folder.drafts", "草稿箱"},
      {"settings.mcp.error.missingExecutable", "无法确定当前程序的可执行文件路径"},
  };
  return table;
}

}  // namespace

std::string localized(std::string_view key) {
  const auto& table = chinese_texts();
  if (auto it = table.find(key); it != table.end()) return std::string(it->second);
  return std::string(key);
}

}  // namespace kestrova
