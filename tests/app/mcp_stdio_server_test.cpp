#include <gtest/gtest.h>

#include "tool_test_support.h"

namespace kestrova::testing {
namespace {

using ServerEnvelope = ToolServerTest;

TEST_F(ServerEnvelope, InitializeAnswersTheFixedServerInfo) {
  Json answer = request(R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"x":1}})");
  EXPECT_EQ(answer["jsonrpc"], "2.0");
  EXPECT_EQ(answer["id"], 1);
  EXPECT_EQ(answer["result"]["protocolVersion"], "2024-11-05");
  EXPECT_EQ(answer["result"]["serverInfo"]["name"], "kestrova");
  EXPECT_TRUE(answer["result"]["capabilities"]["tools"].is_object());
  EXPECT_TRUE(answer["result"]["capabilities"]["tools"].empty());
  const std::string version = answer["result"]["serverInfo"]["version"];
  EXPECT_EQ(version.rfind("v", 0), 0u);
  EXPECT_NE(version.find(" ("), std::string::npos);
  EXPECT_NE(version.find(") #"), std::string::npos);
}

TEST_F(ServerEnvelope, IdIsEchoedExactlyAndUnknownMethodsFail) {
  Json answer = request(R"({"id":7,"method":"resources/list"})");
  EXPECT_EQ(answer["id"], 7);
  EXPECT_EQ(answer["error"]["code"], -32601);
  EXPECT_EQ(answer["error"]["message"], "Method not found: resources/list");
  EXPECT_EQ(request(R"({"id":"seven","method":"x"})")["id"], "seven");
  EXPECT_EQ(request(R"({"id":{"a":[1]},"method":"x"})")["id"], Json::parse(R"({"a":[1]})"));
  // A notification (no id) other than notifications/initialized still gets an answer.
  Json notification = request(R"({"jsonrpc":"2.0","method":"notifications/cancelled"})");
  EXPECT_TRUE(notification.contains("id"));
  EXPECT_TRUE(notification["id"].is_null());
  EXPECT_EQ(notification["error"]["message"], "Method not found: notifications/cancelled");
}

TEST_F(ServerEnvelope, EnvelopeIsCompactOneLineWithKeysInProtocolOrder) {
  auto line = server_.handle_line(R"({"jsonrpc":"2.0","id":2,"method":"x"})");
  ASSERT_TRUE(line);
  EXPECT_EQ(*line,
            R"({"jsonrpc":"2.0","id":2,"error":{"code":-32601,"message":"Method not found: x"}})");
}

TEST_F(ServerEnvelope, ToolsCallWithoutUsableParams) {
  EXPECT_EQ(request(R"({"id":3,"method":"tools/call"})")["error"]["message"], "Unknown tool: ");
  EXPECT_EQ(request(R"({"id":3,"method":"tools/call","params":{"name":5}})")["error"]["message"],
            "Unknown tool: ");
  EXPECT_EQ(request(R"({"id":3,"method":"tools/call","params":{"name":"nope"}})")["error"]["code"],
            -32000);
  // Arguments that are not an object count as empty.
  Json answer = request(
      R"({"id":4,"method":"tools/call","params":{"name":"list_folders","arguments":[1]}})");
  EXPECT_EQ(answer["error"]["message"], "Missing required argument: accountId");
}

TEST_F(ServerEnvelope, ResultTextIsSortedCompactJson) {
  add_account("a@example.com");
  Json answer = request(R"({"id":5,"method":"tools/call","params":{"name":"list_accounts"}})");
  const std::string text = answer["result"]["content"][0]["text"];
  EXPECT_EQ(answer["result"]["content"][0]["type"], "text");
  EXPECT_EQ(text.find("[{\"displayName\""), 0u) << text;  // first key in sorted order
  EXPECT_EQ(text, Json::parse(text).dump()) << text;        // sorted, compact
}

TEST_F(ServerEnvelope, DescriptorsAreServedExactly) {
  set_exposure("full");
  Json tools = request(R"({"id":1,"method":"tools/list"})")["result"]["tools"];
  auto line = server_.handle_line(R"({"id":1,"method":"tools/list"})");
  // Properties keep their declared order in the served text.
  const size_t draft = line->find(R"("name":"create_draft")");
  ASSERT_NE(draft, std::string::npos);
  const std::string tail = line->substr(draft);
  EXPECT_LT(tail.find("\"accountId\""), tail.find("\"draftId\""));
  EXPECT_LT(tail.find("\"bcc\""), tail.find("\"subject\""));
  EXPECT_LT(tail.find("\"body\""), tail.find("\"htmlBody\""));
  for (const auto& tool : tools) {
    EXPECT_EQ(tool.size(), 3u);
    EXPECT_EQ(tool["inputSchema"]["type"], "object");
    EXPECT_TRUE(tool["inputSchema"]["properties"].is_object());
    EXPECT_TRUE(tool["inputSchema"]["required"].is_array());
  }
  EXPECT_EQ(tools[5]["inputSchema"]["properties"]["to"]["oneOf"].size(), 2u);  // create_draft
  EXPECT_EQ(tools[6]["inputSchema"]["required"], Json::array());  // list_action_items
  EXPECT_LT(line->find(R"("name":"list_action_items")"), line->find(R"("name":"create_action_item")"));
}

TEST_F(ServerEnvelope, DeeplyNestedLinesAreRefusedInsteadOfOverflowingTheStack) {
  // Echoing an id copies and serialises it level by level; 200,000 levels used to crash.
  const std::string deep(200000, '[');
  Json refused =
      request(R"({"id":)" + deep + std::string(deep.size(), ']') + R"(,"method":"ping"})");
  EXPECT_EQ(refused["error"]["code"], -32600);
  EXPECT_TRUE(refused["id"].is_null());
  // Ordinary nesting is answered, and brackets inside strings do not count.
  const std::string nested = std::string(100, '[') + std::string(100, ']');
  Json answer = request(R"({"id":)" + nested + R"(,"method":"ping","params":")" + std::string(1000, '{') + R"("})");
  EXPECT_EQ(answer["id"], Json::parse(nested));
}

}  // namespace
}  // namespace kestrova::testing
