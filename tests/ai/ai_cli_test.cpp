// `kestrova ai ...` as a new user meets it: a fresh configuration explained, profiles for a
// local OpenAI-style and a local Ollama-style server, replies streamed from each, their
// model lists, and a refused key reported without the key.

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <utility>
#include <vector>

#include "ai_test_server.h"
#include "support/loopback.h"
#include "support/test_support.h"

namespace kestrova::testing {
namespace {

TEST(AICommandLineTest, ConfigureChatListAndFail) {
  KestrovaHome kestrova;
  AITestServer server;
  const ProcessResult fresh = kestrova({"ai", "status"});
  EXPECT_EQ(fresh.exit_code, 0);
  EXPECT_NE(fresh.out.find("当前默认 AI 服务是「默认配置（已迁移）」。如果没有启动本地 Ollama"),
            std::string::npos);

  const std::string key = "sk-cli-secret-987";
  EXPECT_EQ(kestrova({"ai", "profile", "add", "--protocol", "openai", "--name", "Cloud",
                      "--endpoint", server.base("split") + "/v1", "--api-key-stdin", "--default"},
                     key + "\n")
                .exit_code,
            0);
  EXPECT_EQ(kestrova({"ai", "profile", "add", "--protocol", "ollama", "--name", "Local",
                      "--endpoint", server.base("ok")})
                .exit_code,
            0);
  EXPECT_EQ(kestrova({"ai", "chat", "hello"}).out, "Hello from gpt-4o-mini\n");
  EXPECT_EQ(kestrova({"ai", "chat", "--profile", "Local", "--model", "qwen2.5:7b", "hello"}).out,
            "Hello from qwen2.5:7b\n");
  EXPECT_EQ(kestrova({"ai", "models", "Cloud"}).out,
            "model-a\nmodel-b\nmodel-c\nmodel-d\nmodel-e\n");
  EXPECT_EQ(kestrova({"ai", "models", "Local"}).out, "gemma2:2b\nqwen2.5:7b\n");
  EXPECT_EQ(kestrova({"ai", "bind", "email_summary", "Local", "--model", "qwen2.5:7b"}).exit_code,
            0);
  EXPECT_NE(kestrova({"ai", "status"})
                .out.find("AI 邮件摘要 (email_summary): Local · qwen2.5:7b · 5 秒\n  ✓"),
            std::string::npos);
  const std::string profiles = kestrova({"ai", "profiles", "--json"}).out;
  EXPECT_NE(profiles.find("\"hasAPIKey\": true"), std::string::npos);

  EXPECT_EQ(
      kestrova({"ai", "profile", "edit", "Cloud", "--endpoint", server.base("status401") + "/v1"})
          .exit_code,
      0);
  const ProcessResult refused = kestrova({"ai", "chat", "--verbose", "hello"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.err.find("AI 对话失败：请求失败 (状态码: 401): "), std::string::npos)
      << refused.err;
  EXPECT_NE(refused.err.find("。请到设置里的「AI 与模型」测试当前服务「Cloud」。"),
            std::string::npos);
  const std::string stored = kestrova({"settings", "get", "aiServiceProfiles"}).out;
  EXPECT_NE(stored.find("\"apiKey\":\"***\""), std::string::npos) << stored;
  for (const std::string& output : {profiles, refused.out, refused.err, stored})
    EXPECT_EQ(output.find(key), std::string::npos) << output;
}

// Hostile streams through `kestrova ai chat` end in the adapter's own errors: text without
// end at the cap, keep-alive comments alone after a time-out without an event, a trickle
// of events after ten time-outs; a reply lingering after [DONE] is complete at the marker.
// The process never held much more than the text cap.
TEST(AICommandLineTest, HostileStreamsEndInBoundedTimeAndMemory) {
  KestrovaHome kestrova;
  AITestServer server;
  const struct {
    std::string behaviour, out, error;
  } cases[] = {{"endless", "", "无效的响应格式"},
               {"keepalive", "", "网络错误: 请求超时"},
               {"trickle", "", "网络错误: 请求超时"},
               {"afterdone", "Hello from gpt-4o-mini\n", ""}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.behaviour);
    ASSERT_EQ(kestrova({"ai", "profile", "add", "--protocol", "openai", "--name", c.behaviour,
                        "--endpoint", server.base(c.behaviour) + "/v1", "--timeout", "1",
                        "--api-key-stdin"},
                       "k\n")
                  .exit_code,
              0);
    const ProcessResult chat = kestrova({"ai", "chat", "--profile", c.behaviour, "hello"});
    EXPECT_EQ(chat.exit_code, c.error.empty() ? 0 : 1);
    if (c.error.empty()) EXPECT_EQ(chat.out, c.out);
    EXPECT_NE(chat.err.find(c.error.empty() ? "" : "AI 对话失败：" + c.error), std::string::npos)
        << chat.err;
    EXPECT_LE(chat.out.size(), size_t{16} << 20);
  }
  // The largest child so far (every kestrova this test ran): the cap is 16 MiB of text.
  rusage children{};
  ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &children), 0);
  EXPECT_LT(children.ru_maxrss, 160 * 1024) << "peak RSS in KiB";
}

// In English: a profile on this machine needs no key, `ai status` asks each complete profile
// whether its endpoint answers, and what is missing comes with the command that fixes it.
TEST(AICommandLineTest, EnglishStatusAsksEndpointsAndLoopbackNeedsNoKey) {
  KestrovaHome kestrova;
  AITestServer server;
  ASSERT_EQ(kestrova({"settings", "set", "defaultLanguage", "en"}).exit_code, 0);
  EXPECT_NE(kestrova({"ai", "status"}).out.find("The default AI service is \"Default (migrated)\""),
            std::string::npos);
  const std::string down = "http://127.0.0.1:" + std::to_string(closed_loopback_port()) + "/v1";
  for (const auto& [name, endpoint] : {std::pair{"Local", server.base("ok") + "/v1"},
                                       {"Down", down},
                                       {"Remote", std::string("https://api.example.com/v1")}})
    ASSERT_EQ(kestrova({"ai", "profile", "add", "--protocol", "openai", "--name", name,
                        "--endpoint", endpoint})
                  .exit_code,
              0);
  ASSERT_EQ(kestrova({"ai", "profile", "default", "Local"}).exit_code, 0);
  ASSERT_EQ(kestrova({"ai", "bind", "email_compose", "Down"}).exit_code, 0);
  ASSERT_EQ(kestrova({"ai", "bind", "email_summary", "Remote"}).exit_code, 0);
  const std::string status = kestrova({"ai", "status"}).out;
  for (const std::string& expected :
       {std::string("The AI service configuration is usable."),
        "Local: " + server.base("ok") + "/v1 answers (HTTP ",
        "Down: " + down + " does not answer (",
        std::string("AI summary (email_summary): Remote · gpt-4o-mini · 30 s\n  ✗ The AI use "
                    "\"AI summary\" is served by the profile \"Remote\", which has no API key. "
                    "Add it with: kestrova ai profile edit \"Remote\" --api-key\n")})
    EXPECT_NE(status.find(expected), std::string::npos) << expected << "\n" << status;
  EXPECT_EQ(status.find("Remote: https"), std::string::npos) << status;  // not asked
  EXPECT_EQ(kestrova({"ai", "chat", "hello"}).out, "Hello from gpt-4o-mini\n");
  EXPECT_NE(kestrova({"ai", "profiles", "--json"}).out.find("\"createdAt\": \"20"),
            std::string::npos);
}

// `kestrova ai profile test`: the settings window's "Test connection" from the command line.
TEST(AICommandLineTest, ProfileTestAnswersOrExplains) {
  KestrovaHome kestrova;
  AITestServer server;
  const std::string key = "sk-test-secret-123";
  struct Case {
    const char* name;
    std::vector<std::string> add;  // the profile's options
    std::string key;
    int exit;
    std::string says;
  };
  const Case cases[] = {
      {"Works",
       {"--protocol", "openai", "--endpoint", server.base("ok") + "/v1"},
       key,
       0,
       "「Works」可以使用，回答：Hello from gpt-4o-mini"},
      {"Refused",
       {"--protocol", "openai", "--endpoint", server.base("status401") + "/v1"},
       key,
       1,
       "连接测试失败：请求失败 (状态码: 401)"},
      {"NoKey",
       {"--protocol", "deepseek", "--endpoint", "https://ai.example.invalid/v1"},
       "",
       1,
       "这个服务还没有填写 API Key。"},
      {"NoEndpoint",
       {"--protocol", "custom", "--model", "m"},
       key,
       1,
       "这个服务还没有配置 API Endpoint。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> add{"ai", "profile", "add", "--name", c.name};
    add.insert(add.end(), c.add.begin(), c.add.end());
    if (!c.key.empty()) add.push_back("--api-key-stdin");
    ASSERT_EQ(kestrova(add, c.key.empty() ? "" : c.key + "\n").exit_code, 0);
    const ProcessResult tested = kestrova({"ai", "profile", "test", c.name});
    EXPECT_EQ(tested.exit_code, c.exit) << tested.err;
    EXPECT_NE((tested.out + tested.err).find(c.says), std::string::npos)
        << tested.out << tested.err;
    EXPECT_EQ((tested.out + tested.err).find(key), std::string::npos);
  }
}

}  // namespace
}  // namespace kestrova::testing
