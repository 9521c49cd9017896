#include "ai/chat_ai_service.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "ai/ai_service_error.h"
#include "ai/ollama_service.h"
#include "ai_test_server.h"
#include "platform/launch_environment.h"

namespace kestrova::ai {
namespace {

using testing::AITestServer;

constexpr char kKey[] = "sk-test-0123456789";

AIServiceProfile profile(AIProtocolType protocol, std::string endpoint, std::string model = "m1") {
  AIServiceProfile p = AIServiceProfile::forProtocol(protocol);
  p.endpoint = std::move(endpoint);
  p.apiKey = kKey;
  p.defaultModel = std::move(model);
  return p;
}

const Json kMessages = Json::array({{{"role", "user"}, {"content", "Say hello"}}});

std::string streamed(const ChatAIService& service, const AIServiceProfile& p, double timeout = 10) {
  std::string deltas;
  const std::string reply =
      service.stream(p, kMessages, {}, timeout, [&](std::string_view d) { deltas += d; });
  EXPECT_EQ(reply, deltas);
  return reply;
}

std::string header(const Json& request, const std::string& name) {
  return request["headers"].value(name, "");
}

// Every dialect, plain and streamed, against a server speaking it: what arrives is what
// the provider documents, and the reply comes back as text.
TEST(ChatAIServiceTest, EveryDialectRoundTrips) {
  struct Case {
    AIProtocolType protocol;
    std::string path;  // appended to the server base to form the endpoint
    std::string plainPath, streamPath;
    std::string keyHeader = "authorization";
    std::string keyValue = std::string("Bearer ") + kKey;
  } cases[] = {
      {AIProtocolType::openAI, "/v1", "/v1/chat/completions", "/v1/chat/completions"},
      {AIProtocolType::miniMaxCN, "/v1", "/v1/text/chatcompletion_v2",
       "/v1/text/chatcompletion_v2"},
      {AIProtocolType::dashScope, "/compatible-mode/v1", "/compatible-mode/v1/chat/completions",
       "/compatible-mode/v1/chat/completions"},
      {AIProtocolType::dashScope, "", "/api/v1/services/aigc/text-generation/generation",
       "/api/v1/services/aigc/text-generation/generation"},
      {AIProtocolType::ollama, "", "/api/generate", "/api/generate"},
      {AIProtocolType::custom, "", "/v1/chat/completions", "/v1/chat/completions"},
      {AIProtocolType::claude, "/v1", "/v1/messages", "/v1/messages", "x-api-key", kKey},
      {AIProtocolType::gemini, "/v1beta", "/v1beta/models/m1:generateContent",
       "/v1beta/models/m1:streamGenerateContent?alt=sse", "x-goog-api-key", kKey},
  };
  const ChatAIService service;
  for (const Case& c : cases) {
    for (const std::string behaviour : {"ok", "split"}) {
      SCOPED_TRACE(std::string(raw_value(c.protocol)) + c.path + " " + behaviour);
      AITestServer server;
      const AIServiceProfile p = profile(c.protocol, server.base(behaviour) + c.path);
      ChatOptions options;
      options.temperature = 0.2;
      EXPECT_EQ(service.send(p, kMessages, options, 10), "Hello from m1");
      EXPECT_EQ(streamed(service, p), "Hello from m1");

      const Json requests = server.requests();
      ASSERT_EQ(requests.size(), 2u);
      const Json& plain = requests[0];
      const Json& stream = requests[1];
      EXPECT_EQ(plain["method"], "POST");
      EXPECT_EQ(plain["path"], c.plainPath);
      EXPECT_EQ(stream["path"], c.streamPath);
      EXPECT_EQ(header(plain, "content-type"), "application/json");
      EXPECT_EQ(header(plain, c.keyHeader), c.keyValue);
      if (c.protocol == AIProtocolType::claude) {
        EXPECT_EQ(header(plain, "anthropic-version"), "2023-06-01");
      }
      EXPECT_EQ(header(stream, "accept"), "text/event-stream");
      const Json plainBody = Json::parse(plain["body"].get<std::string>());
      const Json streamBody = Json::parse(stream["body"].get<std::string>());
      EXPECT_EQ(plainBody.contains("stream") && plainBody["stream"] == true, false);
      if (AIServiceAdapter::isNativeDashScope(p)) {
        EXPECT_EQ(header(stream, "x-dashscope-sse"), "enable");
        EXPECT_EQ(streamBody["parameters"]["incremental_output"], true);
      } else if (!AIServiceAdapter::isNativeGemini(p)) {
        EXPECT_EQ(streamBody["stream"], true);
      }
    }
  }
}

TEST(ChatAIServiceTest, FailuresKeepTheKeyOut) {
  const ChatAIService service;
  AITestServer server;
  for (auto protocol : {AIProtocolType::openAI, AIProtocolType::claude, AIProtocolType::gemini}) {
    const AIServiceProfile p =
        profile(protocol, server.base("status401") +
                              (protocol == AIProtocolType::gemini ? "/v1beta" : "/v1"));
    for (bool streaming : {false, true}) {
      try {
        streaming ? streamed(service, p) : service.send(p, kMessages, {}, 10);
        ADD_FAILURE() << "no error";
      } catch (const AIServiceError& e) {
        EXPECT_EQ(e.kind(), AIServiceError::Kind::requestFailed);
        EXPECT_EQ(e.status(), protocol == AIProtocolType::gemini ? 400 : 401);
        EXPECT_EQ(std::string(e.what()).find(kKey), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("***"), std::string::npos) << e.what();
      }
    }
  }
  try {
    service.send(profile(AIProtocolType::openAI, server.base("status500")), kMessages, {}, 10);
    ADD_FAILURE();
  } catch (const AIServiceError& e) {
    EXPECT_STREQ(e.what(), "请求失败 (状态码: 500): upstream exploded");
  }
  // An error event inside a 200 stream ends it as a failure.
  for (auto protocol : {AIProtocolType::openAI, AIProtocolType::claude, AIProtocolType::ollama}) {
    const AIServiceProfile p = profile(
        protocol, server.base("streamerr") + (protocol == AIProtocolType::ollama ? "" : "/v1"));
    EXPECT_THROW(streamed(service, p), AIServiceError) << raw_value(protocol);
  }
}

TEST(ChatAIServiceTest, SlowServersAreCutOffAtTheTimeOut) {
  const ChatAIService service;
  AITestServer server;
  const AIServiceProfile p = profile(AIProtocolType::openAI, server.base("slow") + "/v1");
  for (bool streaming : {false, true}) {
    try {
      streaming ? streamed(service, p, 1) : service.send(p, kMessages, {}, 1);
      ADD_FAILURE() << "no time-out";
    } catch (const AIServiceError& e) {
      EXPECT_EQ(e.kind(), AIServiceError::Kind::networkError) << e.what();
    }
  }
}

TEST(ChatAIServiceTest, ReasoningIsNotReplyText) {
  const ChatAIService service;
  AITestServer server;
  for (auto protocol : {AIProtocolType::openAI, AIProtocolType::claude, AIProtocolType::ollama}) {
    const AIServiceProfile p = profile(
        protocol, server.base("thinking") + (protocol == AIProtocolType::ollama ? "" : "/v1"));
    EXPECT_EQ(service.send(p, kMessages, {}, 10), "Hello from m1");
    EXPECT_EQ(streamed(service, p), "Hello from m1");
  }
  const AIServiceProfile gemini =
      profile(AIProtocolType::gemini, server.base("thinking") + "/v1beta");
  EXPECT_EQ(streamed(service, gemini), "Hello from m1");
}

TEST(ChatAIServiceTest, HttpsVerifiesTheServerCertificate) {
  AITestServer server;
  const AIServiceProfile p = profile(AIProtocolType::openAI, server.base("ok", true) + "/v1");
  EXPECT_THROW(ChatAIService().send(p, kMessages, {}, 10), AIServiceError);  // unknown CA
  HttpTransport trusting;
  trusting.extraCAFile = server.ca;
  EXPECT_EQ(ChatAIService(trusting).send(p, kMessages, {}, 10), "Hello from m1");
}

// The mail session exports all_proxy into the process; AI requests keep the environment
// the program started with.
TEST(ChatAIServiceTest, ProxyVariablesSetAfterLaunchAreIgnored) {
  platform::captureLaunchEnvironment();
  ASSERT_FALSE(platform::launchEnvironmentValue("all_proxy"));
  setenv("all_proxy", "socks5h://127.0.0.1:9", 1);
  setenv("http_proxy", "http://127.0.0.1:9", 1);
  AITestServer server;
  EXPECT_EQ(ChatAIService().send(profile(AIProtocolType::openAI, server.base("ok") + "/v1"),
                                 kMessages, {}, 10),
            "Hello from m1");
  unsetenv("all_proxy");
  unsetenv("http_proxy");
}

TEST(ChatAIServiceTest, ModelListsAndTheOllamaManager) {
  AITestServer server;
  AIServiceProfile p = profile(AIProtocolType::openAI, server.base("ok") + "/v1/chat/completions");
  EXPECT_EQ(AIServiceAdapter().fetchModels(p, HttpTransport()),
            (std::vector<std::string>{"model-a", "model-b", "model-c", "model-d", "model-e"}));
  EXPECT_EQ(server.last()["path"], "/v1/models");
  EXPECT_EQ(header(server.last(), "authorization"), std::string("Bearer ") + kKey);
  EXPECT_TRUE(
      AIServiceAdapter()
          .fetchModels(profile(AIProtocolType::claude, "http://127.0.0.1:9"), HttpTransport())
          .empty());

  const OllamaService ollama(server.base("ok"), "", 5);
  const auto models = ollama.installedModels();
  ASSERT_EQ(models.size(), 2u);
  EXPECT_EQ(models[1].name, "qwen2.5:7b");
  EXPECT_EQ(models[1].size, 4683087332);
  EXPECT_EQ(models[1].parameterSize, "7.6B");
  std::vector<double> fractions;
  std::string lastStatus;
  ollama.pullModel("gemma2:2b", [&](const OllamaPullProgress& progress) {
    if (progress.total > 0) fractions.push_back(progress.fraction());
    lastStatus = progress.status;
  });
  EXPECT_EQ(fractions, (std::vector<double>{0, 0.25, 0.625, 1}));
  EXPECT_EQ(lastStatus, "success");
  EXPECT_EQ(Json::parse(server.last()["body"].get<std::string>()),
            (Json{{"model", "gemma2:2b"}, {"stream", true}}));
  EXPECT_THROW(OllamaService(server.base("streamerr"), "", 5)
                   .pullModel("x", [](const OllamaPullProgress&) {}),
               OllamaError);
  EXPECT_EQ(ollama.testTags(), 200);
  EXPECT_EQ(ollama.testOpenAIFormat("gemma2:2b"), 200);
  EXPECT_EQ(ollama.testGenerate("gemma2:2b"), 200);
  EXPECT_EQ(Json::parse(server.last()["body"].get<std::string>()),
            (Json{{"model", "gemma2:2b"}, {"prompt", "test"}}));
}

}  // namespace
}  // namespace kestrova::ai
