// `kestrova ai summary|tags|priority|actions|translate|layout|polish` on a stored message, as
// a user runs them against a local provider: privacy refusals send nothing, results are
// printed and stored, and a second translation is answered from the cache.

#include <gtest/gtest.h>

#include "ai_test_server.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "support/test_support.h"
#include "util/uuid.h"

namespace kestrova::testing {
namespace {

struct Seeded {
  std::string plain, secret;  // message ids: a normal account's, a private account's
};

Seeded seed(const std::filesystem::path& file) {
  auto db = store::EmailDatabase::open(file);
  platform::SettingsStore settings(file.parent_path() / "settings.json");
  store::EmailStore mail(*db, settings);
  Seeded ids;
  for (bool isPrivate : {false, true}) {
    store::EmailAccount a;
    a.id = new_uuid();
    a.emailAddress = isPrivate ? "hidden@example.com" : "me@example.com";
    a.imapHost = a.smtpHost = "127.0.0.1";
    a.isPrivacyModeEnabled = isPrivate;
    mail.saveAccount(a);
    const auto inbox = store::EmailFolder::make({.id = new_uuid(),
                                                 .accountId = a.id,
                                                 .name = "INBOX",
                                                 .type = store::EmailFolderType::inbox});
    mail.saveFolder(inbox);
    store::EmailMessage m;
    m.id = new_uuid();
    m.accountId = a.id;
    m.folderId = inbox.id;
    m.subject = "Invoice 42";
    m.from = {"Ann", "ann@example.com"};
    m.textBody = "Please pay invoice 42 by Friday and send the receipt to accounting.";
    m.htmlBody = "<p>Please pay invoice 42 by Friday.</p>";
    m.isBodyLoaded = true;
    m.date = m.updatedAt = 1700000000;
    (isPrivate ? ids.secret : ids.plain) = m.id;
    mail.saveMessage(store::EmailMessage::make(std::move(m)));
  }
  return ids;
}

TEST(AIMailCommandLineTest, TasksRefuseUnderPrivacyPrintStoreAndCache) {
  KestrovaHome kestrova;
  AITestServer server;
  const TempDir& home = kestrova.home;
  std::filesystem::create_directories(home.path() / "data/tivra/Email");
  const Seeded ids = seed(home.path() / "data/tivra/Email/email.db");
  const std::string id = ids.plain.substr(0, 8);
  ASSERT_EQ(kestrova({"ai", "profile", "add", "--protocol", "openai", "--name", "Local",
                      "--endpoint", server.base("canned") + "/v1", "--api-key-stdin", "--default"},
                     "sk-local\n")
                .exit_code,
            0);

  // Privacy: every task refuses with the user-facing text, and the provider hears nothing.
  const std::vector<std::vector<std::string>> tasks{{"ai", "summary", id},
                                                    {"ai", "tags", id},
                                                    {"ai", "priority", id},
                                                    {"ai", "actions", id},
                                                    {"ai", "translate", id},
                                                    {"ai", "layout", id},
                                                    {"ai", "polish", "--mode", "to-english", "-"}};
  ASSERT_EQ(kestrova({"settings", "set", "emailSuperPrivacyMode", "true"}).exit_code, 0);
  for (const auto& task : tasks) {
    const ProcessResult refused = kestrova(task, "hello");
    EXPECT_NE(refused.exit_code, 0) << task[1];
    EXPECT_NE(refused.err.find("超级隐私模式已开启"), std::string::npos) << refused.err;
  }
  ASSERT_EQ(kestrova({"settings", "set", "emailSuperPrivacyMode", "false"}).exit_code, 0);
  EXPECT_NE(kestrova({"ai", "summary", ids.secret})
                .err.find("该邮箱账户已开启隐私模式，邮件内容不会发送给 AI 服务。"),
            std::string::npos);
  EXPECT_TRUE(server.requests().empty());

  // Each task prints what the model's awkward answer means.
  struct Case {
    std::vector<std::string> args;
    std::string reply, out;
  } cases[] = {
      {{"ai", "summary", id}, "  Pay by Friday. \n", "Pay by Friday.\n"},
      {{"ai", "tags", id, "--json"}, "工作, 发票", "\"tags\": [\n    \"工作\",\n    \"发票\"\n  ]"},
      {{"ai", "priority", id}, "HIGH priority", "high\n"},
      {{"ai", "actions", id, "--save"},
       "Sure: [\"Pay invoice\",\"Send receipt\"]",
       "Pay invoice\nSend receipt\n"},
      {{"ai", "layout", id}, "```html\n<html><body><p>Pay</p></body></html>\n```", "<p>Pay</p>\n"},
      {{"ai", "polish", "--mode", "chinese-formal", "-"}, "\"您好，请付款。\"", "您好，请付款。\n"},
  };
  for (const auto& c : cases) {
    server.reply_with({c.reply});
    const ProcessResult result = kestrova(c.args, "请付款");
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find(c.out), std::string::npos) << c.args[1] << ": " << result.out;
  }
  EXPECT_NE(kestrova({"actions", "list"}).out.find("Send receipt"), std::string::npos);
  server.reply_with({" \n\t"});
  EXPECT_NE(kestrova({"ai", "summary", id}).err.find("AI 服务返回了空内容"), std::string::npos);

  // The second translation into the same language is answered from the cache.
  const size_t before = server.requests().size();
  server.reply_with({"<p>请在周五前支付发票 42。</p>"});
  EXPECT_EQ(kestrova({"ai", "translate", id}).out, "请在周五前支付发票 42。\n");
  const ProcessResult again = kestrova({"ai", "translate", id, "--json", "--html"});
  EXPECT_NE(again.out.find("\"cached\": true"), std::string::npos) << again.out;
  EXPECT_NE(again.out.find("\"sourceLanguage\": \"en\""), std::string::npos);
  EXPECT_EQ(server.requests().size(), before + 1);

  // A drafted script rule is stored switched off; revising it shows the model its code.
  server.reply_with({"function processEmail(email) return true end"});
  const ProcessResult drafted =
      kestrova({"ai", "rule-draft", "flag invoices", "--account", "me@example.com"});
  ASSERT_EQ(drafted.exit_code, 0) << drafted.err;
  const std::string ruleId = drafted.err.substr(drafted.err.find('(') + 1, 8);
  EXPECT_EQ(kestrova({"ai", "rule-revise", ruleId, "only from Ann"}).exit_code, 0);
  const std::string revise =
      Json::parse(server.last()["body"].get<std::string>())["messages"][0]["content"];
  EXPECT_NE(revise.find("规则名称：flag invoices\n\n现有规则代码：\nfunction processEmail"),
            std::string::npos)
      << revise;
  EXPECT_NE(kestrova({"rules", "list"}).out.find("flag invoices"), std::string::npos);
}

}  // namespace
}  // namespace kestrova::testing
