#include "ai/ai_service_adapter.h"

#include <gtest/gtest.h>

#include "ai/ai_service_error.h"

namespace kestrova::ai {
namespace {

AIServiceProfile profile(AIProtocolType protocol, std::string endpoint, std::string key = "",
                         std::string model = "m") {
  AIServiceProfile p = AIServiceProfile::forProtocol(protocol);
  p.endpoint = std::move(endpoint);
  p.apiKey = std::move(key);
  p.defaultModel = std::move(model);
  return p;
}

const AIServiceAdapter adapter;
const Json kUser = Json::array({{{"role", "user"}, {"content", "hi"}}});

TEST(AIServiceAdapterTest, TokenLimitsAreClampedAndQwenGetsOneByDefault) {
  auto limit = [](AIProtocolType p, std::string model, std::optional<int64_t> asked) {
    const Json body =
        adapter.buildRequestBody(profile(p, "https://x/v1"), kUser, model, std::nullopt,
                                 std::nullopt, std::nullopt, asked, Json());
    return body.value("max_tokens", Json());
  };
  EXPECT_EQ(limit(AIProtocolType::claude, "c", std::nullopt), 1024);
  EXPECT_EQ(limit(AIProtocolType::claude, "c", 100000), 8192);
  EXPECT_EQ(limit(AIProtocolType::openAI, "g", 0), 1);
  EXPECT_EQ(limit(AIProtocolType::openAI, "g", std::nullopt), Json());
  EXPECT_EQ(limit(AIProtocolType::openRouter, "Alibaba/QWEN-Max", std::nullopt), 8192);
}

TEST(AIServiceAdapterTest, DialectBodies) {
  const Json conversation = Json::array({
      {{"role", "system"}, {"content", "be brief"}},
      {{"role", "user"},
       {"content", Json::array({{{"type", "text"}, {"text", "what is this"}},
                                {{"type", "image_url"},
                                 {"image_url", {{"url", "data:image/png;base64,iVBO"}}}}})}},
      {{"role", "assistant"}, {"content", "a cat"}},
  });
  const Json extra{{"seed", 7}};
  auto body = [&](AIProtocolType p, const std::string& endpoint) {
    return adapter.buildRequestBody(profile(p, endpoint), conversation, std::nullopt, "sys", 0.5,
                                    0.9, 100, extra);
  };
  EXPECT_EQ(body(AIProtocolType::ollama, "http://o"),
            (Json{{"model", "m"},
                  {"prompt", "what is this"},
                  {"stream", false},
                  {"system", "sys"},
                  {"seed", 7},
                  {"options", {{"temperature", 0.5}, {"top_p", 0.9}, {"num_predict", 100}}}}));
  EXPECT_EQ(body(AIProtocolType::miniMaxGlobal, "https://mm/v1")["max_completion_tokens"], 100);
  EXPECT_EQ(
      body(AIProtocolType::gemini, "https://g/v1beta"),
      (Json{{"contents",
             {{{"role", "model"}, {"parts", {{{"text", "be brief"}}}}},
              {{"role", "user"},
               {"parts",
                {{{"text", "what is this"}},
                 {{"inline_data", {{"mime_type", "image/png"}, {"data", "iVBO"}}}}}}},
              {{"role", "model"}, {"parts", {{{"text", "a cat"}}}}}}},
            {"generationConfig", {{"temperature", 0.5}, {"topP", 0.9}, {"maxOutputTokens", 100}}},
            {"seed", 7}}));
  const Json native = body(AIProtocolType::dashScope, "https://d");
  EXPECT_EQ(native["input"]["messages"][1]["content"],
            (Json{{{"text", "what is this"}}, {{"image", "data:image/png;base64,iVBO"}}}));
  EXPECT_EQ(native["input"]["messages"][0]["content"], (Json{{{"text", "be brief"}}}));
  EXPECT_EQ(native["parameters"],
            (Json{{"temperature", 0.5}, {"top_p", 0.9}, {"max_tokens", 100}, {"seed", 7}}));
  EXPECT_EQ(body(AIProtocolType::dashScope, "https://d/compatible-mode/v1")["messages"],
            conversation);
}

TEST(AIServiceAdapterTest, StreamParserSurvivesEverySplitPosition) {
  const std::string streams[] = {
      "data: {\"type\":5,\"done\":\"x\",\"choices\":{}}\n\n"
      "data: {\"choices\":[{\"delta\":{\"content\":\"Hel\"}}]}\r\n\r\ndata: "
      "{\"choices\":[{\"delta\":{\"content\":"
      "\"lo\"}}]}\n\ndata: [DONE]\n\ndata: {\"choices\":[{\"delta\":{\"content\":\"late\"}}]}\n",
      "event: message_start\ndata: {\"type\":\"message_start\"}\n\nevent: "
      "content_block_delta\ndata: "
      "{\"type\":\"content_block_delta\",\"delta\":{\"type\":\"text_delta\",\"text\":\"Hello\"}}"
      "\n\n",
      "id:1\nevent:result\n:HTTP_STATUS/"
      "200\ndata:{\"output\":{\"choices\":[{\"message\":{\"content\":\"Hel\"}}]}}\n\n"
      "data:{\"output\":{\"text\":\"lo\"}}\n\n",
      "{\"response\":\"He\",\"done\":false}\n{\"message\":{\"content\":\"llo\"},\"done\":false}\n{"
      "\"response\":\"\","
      "\"done\":true}\n{\"response\":\"late\"}\n",
      "data: {\"candidates\":[{\"content\":{\"parts\":[{\"text\":\"Hello\"}]}}]}",  // ends at
                                                                                    // close, no
                                                                                    // newline
  };
  for (const std::string& stream : streams) {
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
      std::string text;
      AIStreamParser parser([&](std::string_view delta) { text += delta; });
      parser.feed(std::string_view(stream).substr(0, cut));
      parser.feed(std::string_view(stream).substr(cut));
      parser.finish();
      EXPECT_EQ(text, "Hello") << stream << " cut at " << cut;
    }
  }
  AIStreamParser overlong([](std::string_view) {});
  EXPECT_THROW(overlong.feed(std::string(AIStreamParser::kMaxLineBytes + 1, 'x')), AIServiceError);
}

}  // namespace
}  // namespace kestrova::ai
