#include <gtest/gtest.h>

#include "platform/settings_store.h"
#include "tool_test_support.h"

namespace kestrova::testing {
namespace {

using LinkTools = ToolServerTest;

constexpr const char* kId = "0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d";
constexpr const char* kCanonical = "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D";

TEST_F(LinkTools, DeepLinksForEveryType) {
  auto url = [&](Json arguments) { return call("get_deep_link", arguments)["url"]; };
  EXPECT_EQ(url({{"type", "message"}, {"id", kId}}), std::string("kestrova://message/") + kCanonical);
  EXPECT_EQ(url({{"type", "drafts"}}), "kestrova://drafts");
  EXPECT_EQ(url({{"type", "thread"}, {"id", "t-42/x"}}), "kestrova://thread/t-42/x");
  EXPECT_EQ(url({{"type", "email"}, {"id", kId}}), std::string("kestrova://email/") + kCanonical + "?chat=true");
  EXPECT_EQ(url({{"type", "reply"}, {"id", kId}, {"chat", false}}), std::string("kestrova://reply/") + kCanonical);
  EXPECT_EQ(url({{"type", "account"}, {"id", kId}}), std::string("kestrova://account/") + kCanonical);
  EXPECT_EQ(call_error("get_deep_link", {{"type", "thread"}}), "Thread ID required");
  EXPECT_EQ(call_error("get_deep_link", {{"type", "draft"}, {"id", "x"}}), "Invalid UUID");
  EXPECT_EQ(call_error("get_deep_link"), "Missing required parameter: type");
  EXPECT_EQ(call_error("get_deep_link", {{"type", "folder"}}),
            "Unknown link type: folder. Use: message/thread/drafts/draft/account/email/reply");
}

TEST_F(LinkTools, OpenWindowEchoesTheLink) {
  EXPECT_EQ(call("open_email_window", {{"messageId", kId}, {"chat", false}}),
            Json::parse(std::string(R"({"status":"ok","deepLink":"kestrova://email/)") + kCanonical + "\"}"));
  EXPECT_EQ(call_error("open_email_window", {{"messageId", "x"}}), "Invalid or missing messageId");
}

TEST_F(LinkTools, FeatureTogglesFollowTheSettingsFile) {
  auto& settings = platform::SettingsStore::shared();
  settings.remove("featureActionItemsEnabled");
  settings.remove("featureTagSystemEnabled");
  settings.set("featureInternalNotesEnabled", "yes");  // wrong type reads as the default
  EXPECT_EQ(call("list_feature_toggles"),
            Json::parse(R"({"actionItems":true,"internalNotes":false,"tagSystem":false})"));
  settings.set("featureTagSystemEnabled", true);
  settings.set("featureActionItemsEnabled", false);
  EXPECT_EQ(call("list_feature_toggles"),
            Json::parse(R"({"actionItems":false,"internalNotes":false,"tagSystem":true})"));
}

}  // namespace
}  // namespace kestrova::testing
