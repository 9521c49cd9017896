#include <gtest/gtest.h>

#include "tool_test_support.h"

namespace kestrova::testing {
namespace {

using ServerEnvelope = ToolServerTest;

TEST_F(ServerEnvelope, LinesThatGetNoAnswer) {
  for (const char* line : {"", "   ", "[]", "[1,2]", "{}", "42", "\"text\"", "{not json",
                           R"({"id":1})", R"({"id":1,"method":5})",
                           R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
                           R"({"jsonrpc":"2.0","id":9,"method":"notifications/initialized"})"})
    EXPECT_TRUE(request(line).is_null()) << line;
}

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
  Json answer = request(R"({"id":7,"method":"ping"})");
  EXPECT_EQ(answer["id"], 7);
  EXPECT_EQ(answer["error"]["code"], -32601);
  EXPECT_EQ(answer["error"]["message"], "Method not found: ping");
  EXPECT_EQ(request(R"({"id":"seven","method":"ping"})")["id"], "seven");
  EXPECT_EQ(request(R"({"id":{"a":[1]},"method":"x"})")["id"], Json::parse(R"({"a":[1]})"));
  // A notification (no id) other than notifications/initialized still gets an answer.
  Json notification = request(R"({"jsonrpc":"2.0","method":"notifications/cancelled"})");
  EXPECT_TRUE(notification.contains("id"));
  EXPECT_TRUE(notification["id"].is_null());
  EXPECT_EQ(notification["error"]["message"], "Method not found: notifications/cancelled");
}

TEST_F(ServerEnvelope, EnvelopeIsCompactOneLineWithKeysInProtocolOrder) {
  auto line = server_.handle_line(R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
  ASSERT_TRUE(line);
  EXPECT_EQ(*line,
            R"({"jsonrpc":"2.0","id":2,"error":{"code":-32601,"message":"Method not found: ping"}})");
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

std::vector<std::string> names(const Json& tools) {
  std::vector<std::string> out;
  for (const auto& t : tools) out.push_back(t["name"]);
  return out;
}

TEST_F(ServerEnvelope, ExposureLevelsFilterTheCatalogueInOrder) {
  // The whole catalogue in order, with each tool's tier.
  const std::vector<std::pair<std::string, char>> catalogue = {
      {"list_accounts", 'r'}, {"list_folders", 'r'}, {"list_messages", 'r'}, {"get_message", 'r'},
      {"search_messages", 'r'}, {"create_draft", 't'}, {"list_action_items", 'r'},
      {"list_follow_ups", 'r'}, {"get_privacy_report", 'r'}, {"get_sender_profile", 'r'},
      {"list_contacts", 'r'}, {"create_action_item", 't'}, {"mark_action_done", 't'},
      {"snooze_action", 't'}, {"reopen_action", 't'}, {"set_reply_later", 't'},
      {"set_waiting_on", 't'}, {"set_sender_category", 't'}, {"set_sender_note", 't'},
      {"list_tags", 'r'}, {"search_by_tag", 'r'}, {"get_deep_link", 'r'},
      {"list_feature_toggles", 'r'}, {"open_email_window", 't'}, {"remove_tag", 't'},
      {"list_email_rules", 'r'}, {"preview_email_rule", 'r'}, {"create_email_rule", 't'},
      {"update_email_rule", 't'}, {"delete_email_rule", 't'}, {"set_email_rule_enabled", 't'},
      {"apply_email_rule", 't'}, {"apply_email_rules", 't'}, {"mark_message_read", 't'},
      {"set_message_starred", 't'}, {"add_tag", 't'}, {"move_message", 'f'}, {"delete_message", 'f'}};
  std::vector<std::string> read, trainable, full;
  for (const auto& [name, tier] : catalogue) {
    if (tier == 'r') read.push_back(name);
    if (tier != 'f') trainable.push_back(name);
    full.push_back(name);
  }
  ASSERT_EQ(read.size(), 16u);
  ASSERT_EQ(trainable.size(), 36u);
  ASSERT_EQ(full.size(), 38u);

  auto list = [&] { return names(request(R"({"id":1,"method":"tools/list"})")["result"]["tools"]); };
  EXPECT_EQ(list(), trainable);  // a missing setting is trainable
  set_exposure("readonly");
  EXPECT_EQ(list(), read);
  EXPECT_EQ(call_error("create_draft", {{"subject", "s"}, {"body", "b"}}),
            "Tool not exposed at current MCP level");
  set_exposure("full");
  EXPECT_EQ(list(), full);
  set_exposure("FULL");  // exact, case-sensitive: anything else is trainable
  EXPECT_EQ(list(), trainable);
  EXPECT_EQ(call_error("delete_message", {{"messageId", "x"}}), "Tool not exposed at current MCP level");
  EXPECT_EQ(call_error("no_such_tool"), "Unknown tool: no_such_tool");
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

TEST_F(ServerEnvelope, DeeplyNestedLinesAreIgnoredInsteadOfOverflowingTheStack) {
  // Echoing an id copies and serialises it level by level; 200,000 levels used to crash.
  const std::string deep(200000, '[');
  EXPECT_FALSE(server_.handle_line(R"({"id":)" + deep + std::string(deep.size(), ']') + R"(,"method":"ping"})"));
  // Ordinary nesting is answered, and brackets inside strings do not count.
  const std::string nested = std::string(100, '[') + std::string(100, ']');
  Json answer = request(R"({"id":)" + nested + R"(,"method":"ping","params":")" + std::string(1000, '{') + R"("})");
  EXPECT_EQ(answer["id"], Json::parse(nested));
}

}  // namespace
}  // namespace kestrova::testing

namespace kestrova::testing {
namespace {

TEST_F(ServerEnvelope, ToolAnswerLineMatchesTheLibrarysOwnSerialisation) {
  add_account("a@example.com");
  Json draft = call("create_draft", {{"subject", "引号 \" 反斜杠 \\ 换行\n制表\t控制\x01"},
                                     {"body", "正文 </script> \xF0\x9F\x98\x80"}});
  ASSERT_TRUE(draft.is_object()) << draft;
  const std::string request = R"({"id":[1,"x"],"method":"tools/call","params":{"name":"get_message","arguments":{"messageId":")" +
                              draft["draftId"].get<std::string>() + R"("}}})";
  auto line = server_.handle_line(request);
  ASSERT_TRUE(line);
  Json parsed = Json::parse(*line);
  OrderedJson expected = OrderedJson::object();
  expected["jsonrpc"] = "2.0";
  expected["id"] = OrderedJson::parse(R"([1,"x"])");
  expected["result"]["content"] = OrderedJson::array(
      {OrderedJson{{"type", "text"}, {"text", parsed["result"]["content"][0]["text"]}}});
  EXPECT_EQ(*line, expected.dump());
  const std::string text = parsed["result"]["content"][0]["text"];
  Json message = Json::parse(text);
  EXPECT_EQ(message["subject"], "引号 \" 反斜杠 \\ 换行\n制表\t控制\x01");
  // The text is what serialising the value with sorted keys gives, byte for byte.
  EXPECT_EQ(text, message.dump());
  const std::string listed = ToolServerTest::request(R"({"id":2,"method":"tools/call","params":{"name":"list_messages","arguments":{"folderId":")" +
                                     draft["folderId"].get<std::string>() + R"("}}})")["result"]["content"][0]["text"];
  EXPECT_EQ(listed, Json::parse(listed).dump());
  EXPECT_EQ(Json::parse(listed)[0]["subject"], message["subject"]);
}

}  // namespace
}  // namespace kestrova::testing
