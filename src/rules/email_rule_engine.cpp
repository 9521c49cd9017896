#include "rules/email_rule_engine.h"

#include <algorithm>
#include <fstream>
#include <system_error>

#include "platform/paths.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/time.h"

namespace kestrova::rules {

namespace {

constexpr std::string_view kComponent = "EmailRuleEngine";

// The default rules file: documents the table a script receives and what it may answer.
constexpr std::string_view kRuleTemplate = R"lua(-- Kestrova mail rules
--
-- processEmail(email) is called for every new message. The table holds:
--   id, accountId, folderId, subject, from = { name, email },
--   to, cc (arrays of { name, email }), textBody, htmlBody, preview, date,
--   isRead, hasAttachments, tags
-- Return a table with any of:
--   isImportant (boolean), isSpam (boolean), isSubscription (boolean),
--   tags (array of strings), priority ("low", "normal", "high" or "urgent")

local function contains(text, needle)
  if text == nil then return false end
  return string.find(string.lower(text), string.lower(needle), 1, true) ~= nil
end

function processEmail(email)
  local result = { tags = {} }

  if contains(email.subject, "unsubscribe") or contains(email.textBody, "unsubscribe") then
    result.isSubscription = true
    table.insert(result.tags, "Newsletter")
  end

  if contains(email.subject, "urgent") then
    result.isImportant = true
    result.priority = "urgent"
  end

  return result
end
)lua";

Json contacts(const std::vector<store::EmailContact>& list) {
  Json out = Json::array();
  for (const auto& c : list) out.push_back(Json{{"name", c.name.value_or("")}, {"email", c.email}});
  return out;
}

std::optional<bool> flag(const Json& table, const char* key) {
  const auto it = table.find(key);
  if (it == table.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

}  // namespace

EmailRuleEngineError::EmailRuleEngineError(Kind kind, const std::string& detail)
    : Error(localized_format(kind == Kind::loadFailed ? "rules.error.load" : "rules.error.run",
                             detail)) {}

std::filesystem::path EmailRuleEngine::default_directory() {
  return platform::data_home() / "tivra" / "Rules";
}

std::string_view EmailRuleEngine::rule_template() { return kRuleTemplate; }

EmailRuleEngine::EmailRuleEngine(std::filesystem::path directory) : directory_(std::move(directory)) {}

void EmailRuleEngine::start() {
  createDefaultRulesFile();
  loadRules();
}

void EmailRuleEngine::createDefaultRulesFile() {
  const auto file = directory_ / kDefaultRulesFile;
  std::error_code ec;
  if (std::filesystem::exists(file, ec)) return;
  std::filesystem::create_directories(directory_, ec);
  std::ofstream out;
  if (!ec) {
    out.open(file, std::ios::binary | std::ios::trunc);
    if (out) out << rule_template();
    out.close();
  }
  if (ec || !out) {
    const std::string reason = ec ? ec.message() : std::string("无法写入 ") + file.string();
    log_line(log_kind::kFailure, kComponent, "创建默认规则文件失败: " + reason);
    return;
  }
  log_line(log_kind::kSuccess, kComponent, "已创建默认规则文件");
}

bool EmailRuleEngine::loadRules() {
  loaded_ = false;
  if (!engine_.isInitialized()) {
    log_line(log_kind::kWarning, kComponent, "Lua 引擎未初始化，跳过规则加载");
    return false;
  }
  try {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory_))
      if (entry.path().extension() == ".lua") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    size_t loaded = 0;
    for (const auto& file : files) {
      const std::string name = file.filename().string();
      try {
        engine_.loadFile(file);
        ++loaded;
        log_line(log_kind::kSuccess, kComponent, "加载规则文件: " + name);
      } catch (const std::exception& e) {
        log_line(log_kind::kWarning, kComponent, "加载规则文件失败 " + name + ": " + e.what());
      }
    }
    if (loaded == 0)
      throw EmailRuleEngineError(EmailRuleEngineError::Kind::loadFailed,
                                 localized("rules.error.no_files"));
    loaded_ = true;
    log_line(log_kind::kSuccess, kComponent, "规则脚本加载成功");
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("加载规则脚本失败: ") + e.what());
  }
  return loaded_;
}

Json EmailRuleEngine::email_table(const store::EmailMessage& m) {
  return Json{{"id", m.id},
              {"accountId", m.accountId},
              {"folderId", m.folderId.value_or("")},
              {"subject", m.subject},
              {"from", Json{{"name", m.from.name.value_or("")}, {"email", m.from.email}}},
              {"to", contacts(m.to)},
              {"cc", contacts(m.cc)},
              {"textBody", m.textBody.value_or("")},
              {"htmlBody", m.htmlBody.value_or("")},
              {"preview", m.preview},
              {"date", iso8601_utc(m.date)},
              {"isRead", m.isRead},
              {"hasAttachments", m.hasAttachments},
              {"tags", m.tags}};
}

std::optional<ScriptRuleOutcome> EmailRuleEngine::process(const store::EmailMessage& message) {
  if (!loaded_) {
    log_line(log_kind::kWarning, kComponent, "规则未加载，跳过处理");
    return std::nullopt;
  }
  try {
    const Json table = engine_.call("processEmail", {email_table(message)});
    ScriptRuleOutcome outcome;
    if (table.is_object()) {
      outcome.isImportant = flag(table, "isImportant");
      outcome.isSpam = flag(table, "isSpam");
      outcome.isSubscription = flag(table, "isSubscription");
      if (const auto it = table.find("tags"); it != table.end() && it->is_array()) {
        std::vector<std::string> tags;
        for (const auto& tag : *it)
          if (tag.is_string()) tags.push_back(tag.get<std::string>());
        outcome.tags = std::move(tags);
      }
      if (const auto it = table.find("priority"); it != table.end()) outcome.priority = *it;
    }
    return outcome;
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("执行规则失败: ") + e.what());
    return std::nullopt;
  }
}

}  // namespace kestrova::rules
