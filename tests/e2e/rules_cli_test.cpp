// Rules against the loopback Dovecot: `kestrova rules` applied to stored mail, rules on
// newly synchronised mail, and the tool server waiting for its background server moves.

#include <gtest/gtest.h>

#include <algorithm>

#include "cli_fixture.h"
#include "util/json.h"

namespace kestrova {
namespace {

std::string message(const std::string& from, const std::string& subject, const std::string& id,
                    const std::string& body = "Hello") {
  return "From: " + from + "\r\nTo: user@kestrova.test\r\nSubject: " + subject +
         "\r\nDate: Mon, 1 Jan 2024 10:00:00 +0000\r\nMessage-ID: <" + id + ">\r\n\r\n" + body + "\r\n";
}

class RulesCliTest : public testing::CliTest {
 protected:
  // How many of the server's messages in `folder` carry `subject`.
  size_t on_server(const std::string& folder, const std::string& subject) const {
    const auto raw = servers_.stored_messages(user_, folder);
    return std::count_if(raw.begin(), raw.end(), [&](const std::string& m) {
      return m.find("Subject: " + subject) != std::string::npos;
    });
  }
  void sync() {
    auto synced = run({"sync"});
    ASSERT_EQ(synced.exit_code, 0) << synced.out << synced.err;
  }
};

TEST_F(RulesCliTest, AddShowPreviewApplyMovesOnTheServer) {
  servers_.deliver(user_, "INBOX", message("Boss <boss@corp.example>", "Quarterly report", "q@corp"));
  servers_.deliver(user_, "INBOX", message("friend@example.com", "Lunch?", "l@example"));
  servers_.deliver(user_, "Archive", message("a@example.com", "old", "old@example"));
  // Thrown away already: a rule that does not name the trash leaves it there.
  servers_.deliver(user_, "Trash", message("boss@corp.example", "Old report", "o@corp"));
  add_account();
  sync();

  auto added = run({"rules", "add", "--account", "Tester", "--name", "老板邮件", "--from", "BOSS@CORP",
                    "--move-to", "Archive", "--tag", "重要", "--tag", " 工作 "});
  ASSERT_EQ(added.exit_code, 0) << added.err;
  const std::string rule = added.out.substr(0, 36);
  const std::string summary = "老板邮件 · 启用\nIF 发件人包含「BOSS@CORP」\nTHEN 移动到指定文件夹 + 添加标签：重要, 工作\n";
  EXPECT_EQ(added.out.substr(37), summary);
  EXPECT_EQ(run({"rules", "show", rule.substr(0, 6)}).out, summary + "目标文件夹: Archive\n");

  auto preview = run({"rules", "preview", rule});
  EXPECT_NE(preview.out.find("Quarterly report"), std::string::npos) << preview.out;
  EXPECT_EQ(preview.out.find("Lunch?"), std::string::npos);

  auto dry = run({"rules", "apply", rule, "--dry-run"});
  EXPECT_NE(dry.out.find("匹配 1 封, 将改变 1 封"), std::string::npos) << dry.out << dry.err;
  EXPECT_EQ(on_server("INBOX", "Quarterly report"), 1u);

  // The command returns once the server move is done.
  auto applied = run({"rules", "apply", rule});
  ASSERT_EQ(applied.exit_code, 0) << applied.err;
  EXPECT_NE(applied.out.find("匹配 1 封, 已改变 1 封"), std::string::npos) << applied.out;
  EXPECT_EQ(on_server("INBOX", "Quarterly report"), 0u);
  EXPECT_EQ(on_server("Archive", "Quarterly report"), 1u);
  EXPECT_EQ(on_server("Trash", "Old report"), 1u);
  EXPECT_NE(run({"list", "--folder", "Archive"}).out.find("Quarterly report"), std::string::npos);
  EXPECT_EQ(run({"list"}).out.find("Quarterly report"), std::string::npos);

  EXPECT_NE(run({"rules", "apply", rule}).out.find("已改变 0 封"), std::string::npos);
  EXPECT_EQ(run({"rules", "disable", rule}).exit_code, 0);
  EXPECT_NE(run({"rules", "list"}).out.find("老板邮件 · 停用"), std::string::npos);
  EXPECT_NE(run({"rules", "apply", "--all", "--account", "Tester"}).out.find("没有启用的规则"),
            std::string::npos);
  EXPECT_EQ(run({"rules", "remove", rule}).exit_code, 0);
  EXPECT_NE(run({"rules", "list"}).out.find("还没有规则"), std::string::npos);
  EXPECT_NE(run({"rules", "show", rule}).exit_code, 0);
  EXPECT_NE(run({"rules", "add", "--account", "Tester", "--name", "x", "--read", "maybe"}).exit_code, 0);
}

TEST_F(RulesCliTest, EnabledRulesActOnNewlySynchronisedMail) {
  servers_.deliver(user_, "INBOX", message("shop@example.com", "Invoice stored before", "before@shop"));
  servers_.deliver(user_, "Archive", message("a@example.com", "old", "old@example"));
  add_account();
  sync();
  auto added = run({"rules", "add", "--account", "Tester", "--name", "Invoices", "--subject", "INVOICE",
                    "--move-to", "Archive", "--mark-read", "yes"});
  ASSERT_EQ(added.exit_code, 0) << added.err;
  // Already stored mail is left alone by the incoming rules.
  servers_.deliver(user_, "INBOX", message("shop@example.com", "Invoice 2024-001", "inv@shop"));
  servers_.deliver(user_, "INBOX", message("friend@example.com", "Hello again", "hello@example"));
  sync();

  const auto archive = run({"list", "--folder", "Archive"}).out;
  EXPECT_NE(archive.find("Invoice 2024-001"), std::string::npos) << archive;
  const auto inbox = run({"list"}).out;
  EXPECT_EQ(inbox.find("Invoice 2024-001"), std::string::npos) << inbox;
  EXPECT_NE(inbox.find("Hello again"), std::string::npos) << inbox;
  EXPECT_EQ(run({"list", "--folder", "Archive", "--unread"}).out.find("Invoice"), std::string::npos);
  EXPECT_EQ(on_server("INBOX", "Invoice 2024-001"), 0u);
  EXPECT_EQ(on_server("Archive", "Invoice 2024-001"), 1u);
  // The invoice stored before the rule existed stays where it is, locally and on the server.
  EXPECT_NE(inbox.find("Invoice stored before"), std::string::npos) << inbox;
  EXPECT_EQ(on_server("INBOX", "Invoice stored before"), 1u);

  // The moved message comes back from the server's Archive as the same stored message.
  sync();
  const auto again = run({"list", "--folder", "Archive"}).out;
  EXPECT_EQ(again.find("Invoice 2024-001"), again.rfind("Invoice 2024-001")) << again;
}

TEST_F(RulesCliTest, ToolServerWaitsForTheServerMoveAfterEndOfInput) {
  servers_.deliver(user_, "INBOX", message("Boss <boss@corp.example>", "Quarterly report", "q@corp"));
  servers_.deliver(user_, "Archive", message("a@example.com", "old", "old@example"));
  add_account();
  sync();

  testing::ChildProcess server(KESTROVA_BINARY, {"--mcp-stdio"}, environment());
  int next_id = 1;
  auto call = [&](const std::string& tool, const Json& arguments) {
    server.write(Json{{"jsonrpc", "2.0"}, {"id", next_id++}, {"method", "tools/call"},
                      {"params", {{"name", tool}, {"arguments", arguments}}}}
                     .dump() +
                 "\n");
    auto line = server.read_line(20000);
    if (!line) return Json();
    Json answer = Json::parse(*line);
    return Json::parse(answer["result"]["content"][0]["text"].get<std::string>());
  };
  const std::string account = call("list_accounts", Json::object())[0]["id"];
  std::string archive;
  for (const auto& folder : call("list_folders", {{"accountId", account}}))
    if (folder["name"] == "Archive") archive = folder["id"];
  ASSERT_FALSE(archive.empty());
  const std::string rule = call("create_email_rule", {{"accountId", account},
                                                      {"name", "quarterly"},
                                                      {"conditions", {{"subjectContains", "quarterly"}}},
                                                      {"actions", {{"moveToFolder", archive}}}})["id"];
  Json applied = call("apply_email_rule", {{"ruleId", rule}});
  EXPECT_EQ(applied["changedCount"], 1) << applied;
  server.close_input();
  EXPECT_EQ(server.wait(70000), 0);
  // By the time the process has exited the move has happened on the server.
  EXPECT_EQ(on_server("INBOX", "Quarterly report"), 0u);
  EXPECT_EQ(on_server("Archive", "Quarterly report"), 1u);
}

}  // namespace
}  // namespace kestrova
