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

TEST_F(AIConfigurationTest, EmptyStoredObjectDecodesToTheOllamaDefaults) {
  const AIServiceProfile p = profile_from_json(Json::object());
  EXPECT_EQ(p.name, "未命名服务");
  EXPECT_EQ(p.protocolType, AIProtocolType::ollama);
  EXPECT_EQ(p.endpoint, "http://127.0.0.1:11434");
  EXPECT_EQ(p.defaultModel, "gemma2:2b");
  EXPECT_EQ(p.timeout, 5);
  EXPECT_FALSE(p.isDefault);
  EXPECT_EQ(p.updatedAt, p.createdAt);
  EXPECT_THROW(profile_from_json(Json{{"protocolType", "bard"}}), Error);
  EXPECT_THROW(binding_from_json(Json{{"profileId", p.id}}), Error);
  // Round trip keeps every field; the binding leaves out what is absent.
  EXPECT_EQ(profile_from_json(to_json(p)).createdAt, p.createdAt);
  EXPECT_EQ(to_json(AIScenarioBinding{AIScenario::emailReply, {}, {}, {}}),
            (Json{{"scenario", "email_reply"}}));
}

TEST_F(AIConfigurationTest, FirstStartMigratesTheLegacyDefaultsIntoOneOllamaProfile) {
  auto c = fresh();
  c->ensureAIConfiguration();
  ASSERT_EQ(c->profiles().size(), 1u);
  const AIServiceProfile& p = c->profiles()[0];
  EXPECT_EQ(p.name, "默认配置（已迁移）");
  EXPECT_EQ(p.protocolType, AIProtocolType::ollama);
  EXPECT_EQ(p.defaultModel, "gemma2:2b");
  EXPECT_TRUE(p.isDefault);
  EXPECT_EQ(store.boolean("hasMigratedAIConfig"), true);
  // Keys live in this file: it and its folder are private.
  struct stat info {};
  ASSERT_EQ(stat(store.path().parent_path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(store.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(c->aiServiceStatusHint(),
            "当前默认 AI 服务是「默认配置（已迁移）」。如果没有启动本地 "
            "Ollama，或模型「gemma2:2b」还没下载，"
            "翻译/摘要/AI 排版会失败；也可以在「AI 与模型」里配置云端服务并填写 API Key。");
}

TEST_F(AIConfigurationTest, MigrationPicksTheProtocolFromTheLegacyEndpoint) {
  store.set("aiAPIEndpoint", "https://DashScope.aliyuncs.com/compatible-mode/v1");
  store.set("aiAPIToken", "sk-legacy");
  auto c = fresh();
  c->ensureAIConfiguration();
  EXPECT_EQ(c->profiles()[0].protocolType, AIProtocolType::dashScope);
  EXPECT_EQ(c->profiles()[0].apiKey, "sk-legacy");
  EXPECT_EQ(fresh()->profiles(), c->profiles());  // persisted and read back equal
}

TEST_F(AIConfigurationTest, AfterMigrationAnEmptyListGetsTheEightDefaults) {
  store.set("hasMigratedAIConfig", true);
  auto c = fresh();
  c->ensureAIConfiguration();
  std::vector<std::string> names;
  for (const auto& p : c->profiles()) names.push_back(p.name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"Halvex", "Ollama (本地)", "OpenAI", "阿里云 DashScope",
                                      "智谱 AI", "MiniMax (国内)", "Google Gemini", "Claude"}));
  EXPECT_EQ(c->defaultProfile()->name, "Halvex");
  EXPECT_EQ(c->aiServiceStatusHint(),
            "AI 场景「邮件翻译」当前使用的服务「Halvex」还没有填写 API Key。翻译、摘要、AI "
            "排版等功能需要可用的 AI "
            "服务后才能工作。");
}

TEST_F(AIConfigurationTest, BindingsResolveOnlyWhileTheirProfileExists) {
  store.set("hasMigratedAIConfig", true);
  auto c = fresh();
  // No profiles at all: the transient legacy profile.
  ResolvedAIProfile legacy = c->resolveProfile(AIScenario::emailSummary);
  EXPECT_EQ(legacy.profile.name, "兼容配置（旧版）");
  EXPECT_EQ(legacy.profile.protocolType, AIProtocolType::ollama);
  EXPECT_TRUE(c->profiles().empty());
  EXPECT_EQ(c->aiServiceStatusHint(),
            "还没有 AI 服务配置。翻译、摘要、AI 排版等功能需要先在「AI 与模型」里添加服务。");

  AIServiceProfile main = AIServiceProfile::forProtocol(AIProtocolType::openAI);
  main.isDefault = true;
  AIServiceProfile other = AIServiceProfile::forProtocol(AIProtocolType::deepSeek);
  c->saveProfile(main);
  c->saveProfile(other);
  c->setBinding({AIScenario::emailSummary, other.id, "deepseek-reasoner", 90.0});
  ResolvedAIProfile bound = c->resolveProfile(AIScenario::emailSummary);
  EXPECT_EQ(bound.profile.id, other.id);
  EXPECT_EQ(bound.model, "deepseek-reasoner");
  EXPECT_EQ(bound.timeout, 90.0);

  c->deleteProfile(other);
  ResolvedAIProfile fallback = c->resolveProfile(AIScenario::emailSummary);
  EXPECT_EQ(fallback.profile.id, main.id);
  EXPECT_EQ(fallback.model, "gpt-4o-mini");
  EXPECT_EQ(fallback.timeout, 30.0);
  c->removeBinding(AIScenario::emailSummary);
  EXPECT_TRUE(fresh()->bindings().empty());
}

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
