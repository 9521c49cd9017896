#include "ai/ai_configuration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>

#include "ai/ai_service_error.h"
#include "platform/settings_store.h"
#include "support/test_support.h"

namespace kestrova::ai {
namespace {

class AIConfigurationTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  platform::SettingsStore store{dir.path() / "config" / "settings.json"};

  std::unique_ptr<AIConfiguration> fresh() { return std::make_unique<AIConfiguration>(store); }
};

TEST_F(AIConfigurationTest, SavingTheSameSetupUnderANewIdOverwritesAndDeletingTheDefaultPromotes) {
  store.set("hasMigratedAIConfig", true);
  auto c = fresh();
  AIServiceProfile a = AIServiceProfile::forProtocol(AIProtocolType::claude);
  a.isDefault = true;
  AIServiceProfile b = AIServiceProfile::forProtocol(AIProtocolType::gemini);
  AIServiceProfile c2 = AIServiceProfile::forProtocol(AIProtocolType::mistral);
  c->saveProfile(a);
  c->saveProfile(b);
  c->saveProfile(c2);
  AIServiceProfile again =
      AIServiceProfile::forProtocol(AIProtocolType::gemini);  // new id, same setup
  again.apiKey = "k";
  c->saveProfile(again);
  ASSERT_EQ(c->profiles().size(), 3u);
  EXPECT_EQ(c->profiles()[1].id, again.id);

  c->deleteProfile(c2);  // not the default: the default stays
  EXPECT_EQ(c->defaultProfile()->id, a.id);
  c->deleteProfile(a);
  EXPECT_TRUE(c->profiles()[0].isDefault);
  EXPECT_EQ(fresh()->defaultProfile()->id, again.id);
}

TEST_F(AIConfigurationTest, ConfigurationIssuesAndFailureTexts) {
  store.set("hasMigratedAIConfig", true);
  auto c = fresh();
  struct Case {
    AIProtocolType protocol;
    std::string endpoint, model, key;
    std::string issue;  // after the common start; "" for none
  } cases[] = {
      {AIProtocolType::ollama, "   ", "m", "",
       "」还没有配置 API Endpoint。请到设置里的「AI 与模型」补充服务地址。"},
      {AIProtocolType::openAI, "https://x/v1", " \n", "k",
       "」还没有选择模型。请到设置里的「AI 与模型」选择或填写模型。"},
      {AIProtocolType::openAI, "https://x/v1", "m", " ",
       "」还没有填写 API Key。翻译、摘要、AI 排版等功能需要可用的 AI 服务后才能工作。"},
      {AIProtocolType::ollama, "http://h", "m", "", ""},
  };
  for (const Case& k : cases) {
    AIServiceProfile p = AIServiceProfile::forProtocol(k.protocol);
    p.name = "P";
    p.endpoint = k.endpoint;
    p.defaultModel = k.model;
    p.apiKey = k.key;
    p.isDefault = true;
    c->saveProfile(p);
    c->setDefaultProfile(p.id);
    auto issue = c->configurationIssue(AIScenario::emailCompose);
    if (k.issue.empty())
      EXPECT_FALSE(issue) << *issue;
    else
      EXPECT_EQ(issue, "AI 场景「AI 邮件撰写」当前使用的服务「P" + k.issue);
    c->deleteProfile(p);
  }
  AIServiceProfile ollama = AIServiceProfile::forProtocol(AIProtocolType::ollama);
  const AIServiceError error = AIServiceError::networkError("timed out");
  EXPECT_EQ(
      AIConfiguration::userFacingAIErrorMessage("邮件翻译", error, {ollama, "qwen2.5:7b", 5}),
      "邮件翻译失败：当前使用的是本地 AI 服务「Ollama (本地)」。请确认 Ollama "
      "已启动、模型「qwen2.5:7b」已下载，"
      "或在设置里的「AI 与模型」配置云端服务/API Key 后设为默认。原始错误：网络错误: timed out");
  AIServiceProfile cloud = AIServiceProfile::forProtocol(AIProtocolType::xAI);
  EXPECT_EQ(AIConfiguration::userFacingAIErrorMessage("摘要", error, {cloud, "grok-2", 30}),
            "摘要失败：当前 AI 服务「xAI Grok」缺少 API Key。请到设置里的「AI 与模型」填写 API Key "
            "并测试连接。");
  cloud.apiKey = "k";
  EXPECT_EQ(AIConfiguration::userFacingAIErrorMessage("摘要", AIServiceError::invalidResponse(),
                                                      {cloud, "grok-2", 30}),
            "摘要失败：无效的响应格式。请到设置里的「AI 与模型」测试当前服务「xAI Grok」。");
}

}  // namespace
}  // namespace kestrova::ai
