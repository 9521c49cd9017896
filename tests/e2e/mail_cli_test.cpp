// `kestrova sync`, `folders`, `list`, `read`, `search`, `mark`, `move`, `spam`, `delete`,
// `attachment save` and `raw` as a user runs them, against the loopback Dovecot, in a
// temporary home with the file credential store.

#include <gtest/gtest.h>

#include <regex>
#include <tuple>

#include "cli_fixture.h"
#include "support/mail_servers.h"
#include "support/test_support.h"
#include "util/display_width.h"
#include "util/file.h"

namespace kestrova {
namespace {

using testing::MailServers;

// A GB 2312 message with a German attachment name whose file name tries to leave the
// directory it is saved into.
const std::string kChinese =
    "From: =?GB2312?B?1cXI/Q==?= <zhang@example.cn>\r\n"
    "To: user@kestrova.test\r\n"
    "Subject: =?GB2312?B?u+HS6c2o1qo=?=\r\n"
    "Date: Tue, 2 Jan 2024 10:00:00 +0800\r\n"
    "Message-ID: <cn1@example.cn>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"zz\"\r\n\r\n"
    "--zz\r\n"
    "Content-Type: text/plain; charset=gb2312\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\n"
    "w/fM7MnPzufKrrXjv6q74aGj\r\n"
    "--zz\r\n"
    "Content-Type: text/plain; name=\"../../escape.txt\"\r\n"
    "Content-Disposition: attachment; filename=\"../../escape.txt\"\r\n\r\n"
    "attached text\r\n"
    "--zz--\r\n";

const std::string kGerman =
    "From: =?ISO-8859-1?Q?J=FCrgen_M=FCller?= <juergen@example.de>\r\n"
    "To: user@kestrova.test\r\n"
    "Subject: =?ISO-8859-1?Q?Gr=FC=DFe_aus_K=F6ln?=\r\n"
    "Date: Wed, 3 Jan 2024 10:00:00 +0100\r\n"
    "Message-ID: <de1@example.de>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=windows-1252\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
    "Sch=F6ne Gr=FC=DFe =80 100\r\n";

class MailCliTest : public testing::CliTest {
 protected:
  void SetUp() override {
    servers_.deliver(user_, "INBOX", kChinese);
    servers_.deliver(user_, "INBOX", kGerman);
    servers_.deliver(user_, "Archive", "From: a@example.com\r\nSubject: archived\r\n"
                                       "Date: Mon, 1 Jan 2024 10:00:00 +0000\r\n"
                                       "Message-ID: <ar1@example.com>\r\n\r\nold\r\n");
    add_account();
  }
};

TEST_F(MailCliTest, SyncListReadShowDecodedChineseAndEuropeanMail) {
  auto result = run({"sync"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_NE(result.out.find(user_ + " / INBOX: 2 封, 新邮件 2"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(user_ + " / Archive: 1 封, 新邮件 1"), std::string::npos) << result.out;
  // Not a terminal: no progress line, no log.
  EXPECT_EQ(result.err, "");

  result = run({"sync", "--account", "Tester", "--folder", "INBOX"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("INBOX: 2 封, 新邮件 0"), std::string::npos) << result.out;

  result = run({"folders"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("inbox  INBOX"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("archive  Archive"), std::string::npos) << result.out;

  const auto listed = run({"list"});
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_NE(listed.out.find("会议通知"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("Grüße aus Köln"), std::string::npos) << listed.out;
  EXPECT_LT(listed.out.find("Grüße"), listed.out.find("会议通知"));  // newest first

  const std::string chinese = id_of(listed.out, "会议通知");
  result = run({"read", chinese});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("From: 张三 <zhang@example.cn>"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("明天上午十点开会。"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("Attachment: ../../escape.txt"), std::string::npos) << result.out;

  result = run({"read", id_of(listed.out, "Grüße")});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("From: Jürgen Müller <juergen@example.de>"), std::string::npos);
  EXPECT_NE(result.out.find("Schöne Grüße € 100"), std::string::npos) << result.out;

  // The body is stored: local search finds its text.
  result = run({"search", "十点"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find(chinese), std::string::npos) << result.out;
  result = run({"search", "Köln", "--server"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("Grüße aus Köln"), std::string::npos) << result.out;

  // The attachment's name cannot leave the directory it is saved into.
  const auto out = dir_.path() / "out";
  std::filesystem::create_directories(out);
  result = run({"attachment", "save", chinese, "../../escape.txt", "-o", out.string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(read_file(out / "escape.txt").value_or(""), "attached text");
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "escape.txt"));
  result = run({"attachment", "save", chinese, "nothing.pdf", "-o", out.string()});
  EXPECT_NE(result.exit_code, 0);
  EXPECT_NE(result.err.find("邮件中没有附件: nothing.pdf"), std::string::npos) << result.err;

  result = run({"raw", chinese});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("Message-ID: <cn1@example.cn>"), std::string::npos);
}

TEST_F(MailCliTest, ScriptsGetJsonIdsAndExitStatuses) {
  auto synced = run({"sync"});
  ASSERT_EQ(synced.exit_code, 0);
  EXPECT_EQ(synced.err, "");  // the diagnostic log went to its file
  // The tool server's summary keys, in its order.
  auto found = run({"search", "is:unread subject:Köln", "--json"});
  ASSERT_EQ(found.exit_code, 0) << found.err;
  const std::regex keys(
      R"(^\[\{"accountId":.*"date":.*"folderId":.*"from":\{"email":.*"name":.*\},"id":.*)"
      R"("isDraft":false,"isRead":false,"isStarred":false,"preview":.*"subject":"Grüße aus Köln","to":\[.*\]\}\]\n$)");
  EXPECT_TRUE(std::regex_match(found.out, keys)) << found.out;
  // The sync taught the address book its senders.
  EXPECT_TRUE(std::regex_match(run({"contacts", "--json", "--query", "JUERGEN"}).out,
                               std::regex(R"(^\[\{"category":null,"email":"juergen@example.de",)"
                                          R"("frequency":1,.*"source":"received".*\}\]\n$)")));
  EXPECT_NE(run({"account", "list", "--json"}).out.find(R"("displayName":"Tester")"),
            std::string::npos);
  // Ids from one command feed the next.
  auto ids = run({"search", "is:unread", "--ids"});
  EXPECT_EQ(run({"mark", "read", "-"}, ids.out).exit_code, 0);
  EXPECT_EQ(run({"search", "is:unread", "--ids"}).out, "");
  EXPECT_EQ(run({"list", "--limit", "x"}).exit_code, 2);
  EXPECT_EQ(run({"mark", "read", "dead"}).exit_code, 1);
  EXPECT_EQ(run({"mark", "read", "dead", id_of(run({"list"}).out, "Grüße")}).exit_code, 3);
  EXPECT_EQ(run({"--version"}).exit_code, 0);
}

// The quick start on a terminal (a pseudo-terminal from script(1), 80 columns): quiet, the
// listing fits and marks unread mail in bold, the message comes through the pager.
TEST_F(MailCliTest, QuickStartOnATerminal) {
  auto env = environment();
  env.insert(env.end(), {"COLUMNS=80", "PAGER=cat", "TERM=dumb"});
  auto terminal = [&](const std::string& command) {
    return testing::run_process("/usr/bin/script",
                                {"-qec", std::string(KESTROVA_BINARY) + " " + command, "/dev/null"},
                                "", env);
  };
  // The same steps in each language; the sync line tells which one spoke.
  for (const auto& [language, synced, missing] :
       {std::tuple{"zh-Hans", "封, 新邮件", "不是邮件 ID"},
        {"en", "messages,", "Not a valid message id"}}) {
    SCOPED_TRACE(language);
    ASSERT_EQ(run({"settings", "set", "defaultLanguage", language}).exit_code, 0);
    const auto sync = terminal("sync");
    EXPECT_EQ(sync.out.find("[EmailSync"), std::string::npos);
    EXPECT_NE(sync.out.find(synced), std::string::npos) << sync.out;
    const auto listed = terminal("list");
    ASSERT_EQ(listed.exit_code, 0) << listed.out;
    const std::string plain = std::regex_replace(listed.out, std::regex("\x1b\\[[0-9;]*m|\r"), "");
    std::istringstream lines(plain);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(display_width(line), 80u) << line;
    EXPECT_NE(listed.out.find("\x1b[1m"), std::string::npos) << listed.out;
    const auto read = terminal("read " + id_of(plain, "Grüße"));
    EXPECT_NE(read.out.find("Schöne Grüße € 100"), std::string::npos) << read.out;
    EXPECT_NE(terminal("read zzzz").out.find(missing), std::string::npos);
  }
  env.push_back("NO_COLOR=1");
  EXPECT_EQ(terminal("list").out.find("\x1b["), std::string::npos);
}

TEST_F(MailCliTest, ServerActionsChangeTheServer) {
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  auto listed = run({"list", "--unread"});
  const std::string german = id_of(listed.out, "Grüße");
  const std::string chinese = id_of(listed.out, "会议通知");

  auto result = run({"mark", "star", german});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  result = run({"mark", "read", german});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  listed = run({"list", "--unread"});
  EXPECT_EQ(listed.out.find("Grüße"), std::string::npos) << listed.out;

  result = run({"move", german, "Archive"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("已移动到 Archive"), std::string::npos);
  // A fresh sync sees it in Archive on the server, starred and read, once.
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  listed = run({"list", "--folder", "Archive"});
  EXPECT_NE(listed.out.find(" * "), std::string::npos) << listed.out;
  EXPECT_EQ(listed.out.find("Grüße"), listed.out.rfind("Grüße")) << listed.out;
  EXPECT_EQ(run({"list"}).out.find("Grüße"), std::string::npos);

  result = run({"spam", chinese});
  EXPECT_NE(result.exit_code, 0);  // the account has no spam folder
  EXPECT_NE(result.err.find("找不到垃圾邮件文件夹"), std::string::npos) << result.err;

  // Without a trash folder only a confirmed permanent delete goes ahead.
  EXPECT_EQ(run({"delete", chinese}).exit_code, 1);
  EXPECT_EQ(run({"delete", "--permanent", chinese}).exit_code, 2);  // no terminal, no --yes
  result = run({"delete", "--permanent", "--yes", chinese});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  EXPECT_EQ(run({"list"}).out, "(没有邮件)\n");

  result = run({"read", "not-an-id"});
  EXPECT_NE(result.exit_code, 0);
  EXPECT_NE(result.err.find("不是邮件 ID"), std::string::npos) << result.err;
}

// What a new user mistypes gets a clear word and the right status; a count of one reads
// right.
TEST_F(MailCliTest, MistakesGetAClearWordAndTheRightStatus) {
  ASSERT_EQ(run({"settings", "set", "defaultLanguage", "en"}).exit_code, 0);
  const auto synced = run({"sync"});
  EXPECT_NE(synced.out.find("Archive: 1 message, 1 new"), std::string::npos) << synced.out;
  const struct {
    std::vector<std::string> args;
    int status;
    std::string said;
  } cases[] = {
      {{"serach", "x"}, 2, "Did you mean: kestrova search"},
      {{"--home", (dir_.path() / "other").string(), "serach"}, 2, ": kestrova search"},
      {{"ai", "stauts"}, 2, "Did you mean: kestrova ai status"},
      {{"settings", "set", "defaultLanguage", ""}, 1, "defaultLanguage"},
      {{"list", "--limit", "0"}, 2, "--limit"},
      {{"search", "\"unclosed"}, 1, "A quote in the query is not closed"},
      {{"scheduled", "cancel", "zzzz"}, 1, "Not a valid scheduled message id: zzzz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const auto result = run(c.args);
    EXPECT_EQ(result.exit_code, c.status);
    EXPECT_NE(result.err.find(c.said), std::string::npos) << result.err;
    EXPECT_LT(result.err.size(), 300u) << result.err;  // no range of 300 digits
  }
  EXPECT_EQ(run({"signature", "add", "Work", "--content", "Ann Example"}).exit_code, 0);
  EXPECT_NE(run({"signature", "show", "Work"}).out.find("Ann Example"), std::string::npos);
}

// The manual: a page for the program naming every command's page, and one page per command
// covering its subcommands and options, in roff that man reads.
TEST_F(MailCliTest, ManualPagesCoverEveryCommand) {
  const auto dir = dir_.path() / "man";
  ASSERT_EQ(run({"manual-pages", dir.string()}).exit_code, 0);
  auto page = [&](const std::string& name) {
    std::ifstream in(dir / (name + ".1"), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  };
  const std::string program = page("kestrova");
  EXPECT_NE(program.find(".SH NAME\nkestrova \\- mail client for several accounts, with a tool "
                         "server for AI agents\n"),
            std::string::npos)
      << program;
  const std::string help = run({"--help"}).out;
  const std::string listing = help.substr(help.find("Subcommands:"));
  std::istringstream lines(listing);
  size_t commands = 0;
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("  ") || line[2] == ' ') continue;
    const std::string command = line.substr(2, line.find(' ', 2) - 2);
    SCOPED_TRACE(command);
    ++commands;
    std::string escaped;
    for (char ch : command) escaped += ch == '-' ? std::string("\\-") : std::string(1, ch);
    EXPECT_NE(program.find(".BR kestrova\\-" + escaped + " (1)"), std::string::npos);
    const std::string text = page("kestrova-" + command);
    EXPECT_TRUE(text.starts_with(".TH KESTROVA-")) << text.substr(0, 80);
    EXPECT_NE(text.find(".SH NAME\nkestrova\\-" + escaped + " \\- "), std::string::npos);
  }
  EXPECT_GT(commands, 40u);
  EXPECT_FALSE(std::filesystem::exists(dir / "kestrova-manual-pages.1"));  // not for users

  const std::string send = page("kestrova-send");
  for (const char* expected : {".B \\-\\-at", "Send later", ".SH \"SEE ALSO\"\n.BR kestrova (1)",
                               "3 done, but some parts failed"})
    EXPECT_NE(send.find(expected), std::string::npos) << expected;
  const std::string ai = page("kestrova-ai");
  EXPECT_NE(ai.find(".SS \"kestrova ai profiles [OPTIONS]\""), std::string::npos);
  // No line of running text starts with a roff control character by accident.
  std::istringstream sendLines(send);
  for (std::string line; std::getline(sendLines, line);)
    if (line.starts_with("'")) ADD_FAILURE() << line;
}

// More than the first load holds: the rest comes through the background loader, and the
// bodies follow without marking anything read.
TEST_F(MailCliTest, SyncWithoutLimitStoresEveryMessageAndBodiesOnRequest) {
  std::vector<testing::MaildirMessage> many;
  for (int i = 0; i < 1130; ++i)
    many.push_back({"From: a@example.org\r\nSubject: n" + std::to_string(i) + "\r\nMessage-ID: <n" +
                        std::to_string(i) +
                        "@example.org>\r\nDate: Mon, 7 Dec 2026 09:00:00 +0000" + "\r\n\r\nline " +
                        std::to_string(i) + "\r\n",
                    {},
                    std::nullopt});
  servers_.deliver_many(user_, "INBOX", many);
  ASSERT_EQ(run({"settings", "set", "emailBodyPrefetchDays", "3650"}).exit_code, 0);
  auto synced = run({"sync", "--bodies"});
  ASSERT_EQ(synced.exit_code, 0) << synced.err;
  EXPECT_NE(synced.out.find("INBOX: 1132 封, 新邮件 1132"), std::string::npos) << synced.out;
  EXPECT_NE(synced.out.find("已下载正文 1133 封（共需 1133 封）"), std::string::npos) << synced.out;
  EXPECT_NE(run({"folders"}).out.find("1132 封"), std::string::npos);
  ASSERT_EQ(run({"sync"}).exit_code, 0);  // the server's flags again
  EXPECT_EQ(run({"list", "--unread", "--limit", "2000"}).out, run({"list", "--limit", "2000"}).out);
}

}  // namespace
}  // namespace kestrova
