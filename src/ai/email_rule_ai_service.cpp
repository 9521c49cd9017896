#include "ai/email_rule_ai_service.h"

#include <utility>

#include "util/json.h"

namespace kestrova::ai {

EmailRuleAIService::EmailRuleAIService(std::shared_ptr<const ChatAIService> chat)
    : chat_(std::move(chat)) {}

std::string EmailRuleAIService::ask(const std::string& prompt,
                                    const ResolvedAIProfile& target) const {
  const Json messages = Json::array({{{"role", "user"}, {"content", prompt}}});
  ChatOptions options;
  options.model = target.model;
  return chat_->send(target.profile, messages, options, target.timeout);
}

std::string EmailRuleAIService::draftRule(std::string_view description,
                                          const std::optional<std::string>& templateText,
                                          const ResolvedAIProfile& target) const {
  const std::string prompt = "请根据以下描述生成一个 Lua 规则函数。\n\n用户需求：" +
                             std::string(description) + "\n\n现有规则模板参考：\n" +
                             templateText.value_or("-- 未找到规则模板") +
                             "\n\n要求：\n1. 生成的代码必须是有效的 Lua 语法\n"
                             "2. 函数应该接收 email 表作为参数\n"
                             "3. 函数应该返回布尔值或表\n"
                             "4. 添加必要的注释说明规则的作用\n"
                             "5. 只返回 Lua 代码，不要其他解释";
  return ask(prompt, target);
}

std::string EmailRuleAIService::reviseRule(std::string_view name, std::string_view code,
                                           std::string_view request,
                                           const ResolvedAIProfile& target) const {
  const std::string prompt = "请根据以下修改要求更新 Lua 规则函数。\n\n规则名称：" +
                             std::string(name) + "\n\n现有规则代码：\n" + std::string(code) +
                             "\n\n修改要求：" + std::string(request) +
                             "\n\n要求：\n1. 保持函数名称和基本结构不变\n"
                             "2. 只修改必要的部分\n"
                             "3. 确保代码语法正确\n"
                             "4. 只返回更新后的 Lua 代码，不要其他解释";
  return ask(prompt, target);
}

}  // namespace kestrova::ai
