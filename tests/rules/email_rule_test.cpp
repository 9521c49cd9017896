#include <gtest/gtest.h>
#include <unicode/locid.h>

#include <filesystem>
#include <fstream>

#include "rules/email_rule.h"
#include "rules/email_rule_engine.h"
#include "support/test_support.h"
#include "util/text.h"

namespace kestrova::rules {
namespace {

store::EmailMessage message() {
  store::EmailMessage m;
  m.id = "M";
  m.subject = "Quarterly Straße report";
  m.from.email = "billing@shop.example";
  m.from.name = "Müller GmbH";
  m.textBody = "first half";
  m.htmlBody = "<p>second half</p>";
  m.folderId = "F1";
  return m;
}

TEST(RuleMatching, ConditionsHoldTogether) {
  const auto m = message();
  EXPECT_TRUE(matches({}, m));
  RuleConditions c;
  c.fromContains = "BILLING@SHOP";
  EXPECT_TRUE(matches(c, m));
  c.fromContains = "müller";  // not in the address, but in the name
  EXPECT_TRUE(matches(c, m));
  c.fromContains = "nobody";
  EXPECT_FALSE(matches(c, m));
  c.fromContains = "";  // empty counts as absent
  EXPECT_TRUE(matches(c, m));

  RuleConditions body;
  body.bodyContains = "HALF<P>SECOND";  // plain and HTML joined without a separator
  EXPECT_TRUE(matches(body, m));
  auto no_html = m;
  no_html.htmlBody.reset();
  body.bodyContains = "first half";
  EXPECT_TRUE(matches(body, no_html));

  RuleConditions attachments;
  attachments.hasAttachments = false;
  EXPECT_TRUE(matches(attachments, m));
  attachments.hasAttachments = true;
  EXPECT_FALSE(matches(attachments, m));

  RuleConditions folder;
  folder.folderId = "F1";
  EXPECT_TRUE(matches(folder, m));
  auto no_folder = m;
  no_folder.folderId.reset();
  EXPECT_FALSE(matches(folder, no_folder));
  folder.isRead = true;
  EXPECT_FALSE(matches(folder, m));
}

TEST(RuleMatching, CaseFoldingFollowsTheUserLocale) {
  EXPECT_TRUE(text::contains_ci_locale("Quarterly Straße report", "STRASSE"));
  EXPECT_TRUE(text::contains_ci_locale("关于季度报告的通知", "季度报告"));
  EXPECT_FALSE(text::contains_ci_locale("关于季度报告", "年度"));
  const icu::Locale saved = icu::Locale::getDefault();
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("tr", "TR"), status);
  // Turkish: "I" is the capital of dotless "ı", "İ" of "i".
  EXPECT_TRUE(text::contains_ci_locale("KIRMIZI", "kırmızı"));
  EXPECT_FALSE(text::contains_ci_locale("KIRMIZI", "kirmizi"));
  EXPECT_TRUE(text::contains_ci_locale("İstanbul", "istanbul"));
  icu::Locale::setDefault(saved, status);
  EXPECT_TRUE(text::contains_ci_locale("KIRMIZI", "kirmizi"));
}

TEST(ScriptRules, NoVmMeansEveryOperationFailsAndProcessingSkips) {
  LuaWrapper lua;
  const auto file = lua.loadFile("/x.lua");
  EXPECT_FALSE(file.success);
  ASSERT_TRUE(file.error);
  EXPECT_EQ(file.error->domain, "LuaWrapper");
  EXPECT_EQ(file.error->code, -1);
  EXPECT_EQ(file.error->description, "Lua library not available. Please install Lua or enable LUA_AVAILABLE.");
  EXPECT_EQ(lua.callFunction("processEmail", {}).error->description, "Lua library not available");
  EXPECT_EQ(lua.registerFunction("f", nullptr).error->description, "Lua library not available");

  testing::TempDir dir;
  const auto rules = dir.path() / "tivra" / "Rules";
  EmailRuleEngine engine(rules);
  engine.start();
  std::ifstream written(rules / "default_rules.lua");
  std::string text((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, EmailRuleEngine::rule_template());
  EXPECT_NE(text.find("function processEmail(email)"), std::string::npos);
  EXPECT_FALSE(engine.rulesLoaded());
  EXPECT_FALSE(engine.process(message()));

  // An edited rules file is never overwritten.
  std::ofstream(rules / "default_rules.lua") << "-- mine";
  EmailRuleEngine(rules).start();
  std::ifstream kept(rules / "default_rules.lua");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>()), "-- mine");

  const Json table = EmailRuleEngine::email_table(message());
  EXPECT_EQ(table["from"], Json::parse(R"({"name":"Müller GmbH","email":"billing@shop.example"})"));
  EXPECT_TRUE(table["to"].is_array());
  EXPECT_EQ(table["isRead"], false);
}

}  // namespace
}  // namespace kestrova::rules
