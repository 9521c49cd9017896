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

TEST(RuleJson, CompactAbsentOmittedUnknownIgnoredWrongTypesRefused) {
  RuleConditions c;
  c.subjectContains = "发票";
  c.isRead = false;
  EXPECT_EQ(encode_conditions(c), R"({"isRead":false,"subjectContains":"发票"})");
  EXPECT_EQ(encode_actions(RuleActions{}), "{}");

  auto decoded = decode_conditions(
      R"({"fromContains":"a","folderId":"0a45ae7e-bbe6-450d-a00e-fe1f4c3b7c62","other":[1]})");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->fromContains, "a");
  EXPECT_EQ(decoded->folderId, "0A45AE7E-BBE6-450D-A00E-FE1F4C3B7C62");  // canonical
  EXPECT_FALSE(decoded->isRead);

  // A known key with a wrong type would widen the rule if dropped: the whole text is refused.
  EXPECT_FALSE(decode_conditions(R"({"isRead":"yes"})"));
  EXPECT_FALSE(decode_conditions("[]"));
  EXPECT_FALSE(decode_conditions("not json"));
  EXPECT_FALSE(decode_actions(R"({"addTags":["a",1]})"));
  EXPECT_FALSE(decode_actions(R"({"delete":"true"})"));

  RuleActions a;
  a.addTags = std::vector<std::string>{"标签 🚀 " + std::string(5000, 'z'), "x\"y"};
  a.deleteMessage = true;
  a.moveToFolder = "not-a-uuid";  // kept: it names no folder and so moves nothing
  auto round = decode_actions(encode_actions(a));
  ASSERT_TRUE(round);
  EXPECT_EQ(*round, a);
  EXPECT_NE(encode_actions(a).find(R"("delete":true)"), std::string::npos);
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

TEST(RuleActionsApply, FlagsFolderTagsAndDelete) {
  auto m = message();
  m.tags = {"b"};
  m.isRead = true;
  m.isDeleted = true;
  RuleActions a;
  a.addTags = std::vector<std::string>{"a", "a", "B"};
  a.markAsRead = false;
  a.deleteMessage = false;
  a.moveToFolder = "F2";
  const auto out = apply(a, m);
  EXPECT_EQ(out.tags, (std::vector<std::string>{"b", "a", "B"}));  // exact duplicates only
  EXPECT_FALSE(out.isRead);
  EXPECT_TRUE(out.isDeleted);  // delete false leaves it deleted
  EXPECT_EQ(out.folderId, "F2");
}

TEST(RuleSummary, LocalisedFragments) {
  EmailRule rule;
  rule.name = "账单";
  rule.conditions.fromContains = "shop";
  rule.conditions.hasAttachments = false;
  rule.conditions.isRead = false;
  rule.actions.markAsRead = true;
  rule.actions.markAsSpam = true;
  rule.actions.addTags = std::vector<std::string>{"a", "b"};
  EXPECT_EQ(summary(rule), "账单 · 启用\nIF 发件人包含「shop」 + 无附件 + 未读\nTHEN 标为已读 + 标为垃圾邮件 + 添加标签：a, b");
  EmailRule empty;
  empty.name = "x";
  empty.isEnabled = false;
  EXPECT_EQ(summary(empty), "x · 停用\nIF 所有邮件\nTHEN 不执行动作");
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
