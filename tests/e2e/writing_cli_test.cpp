// Writing mail as a user does it, against the loopback servers: reply, reply-all and
// forward (threading headers, signature above the quote, attachments), the sent copy, bad
// recipients, the body from standard input, export, and undo on a real pseudo-terminal.
// The SMTP server's spool is the judge of what went out.

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>

#include "cli_fixture.h"
#include "mail/email_content_decoder.h"
#include "mail/outgoing_message.h"
#include "util/file.h"
#include "util/time.h"

namespace kestrova {
namespace {

namespace fs = std::filesystem;

const std::string kOriginal =
    "From: Bob <bob@example.net>\r\n"
    "To: USER, Carol <carol@example.net>\r\n"
    "Cc: bob@example.net\r\n"
    "Subject: Plans\r\n"
    "Date: Tue, 2 Jan 2024 10:00:00 +0000\r\n"
    "Message-ID: <orig1@example.net>\r\n"
    "In-Reply-To: <root@example.net>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
    "--b\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n\r\n"
    "Shall we meet?\r\n"
    "--b\r\n"
    "Content-Type: text/plain; name=\"../../x.txt\"\r\n"
    "Content-Disposition: attachment; filename=\"../../x.txt\"\r\n\r\n"
    "attached\r\n"
    "--b--\r\n";

// The text body of a sent message, decoded, with its line ends as LF.
std::string decoded(const std::string& data) {
  std::string text = mail::EmailContentDecoder::decode(data).textBody.value_or("");
  std::erase(text, '\r');
  return text;
}

class WritingCliTest : public testing::CliTest {
 protected:
  void SetUp() override {
    std::string raw = kOriginal;
    raw.replace(raw.find("USER"), 4, user_);
    servers_.deliver(user_, "INBOX", raw);
    add_account();
    ASSERT_EQ(run({"sync"}).exit_code, 0);
    original_ = id_of(run({"list"}).out, "Plans");
  }
  std::vector<testing::MailServers::ReceivedMail> sent() const {
    return servers_.received_from(user_);
  }

  std::string original_;
};

TEST_F(WritingCliTest, ReplyAndForwardAreThreadedSignedAboveTheQuoteAndFiledInSent) {
  auto result = run({"signature", "add", "--name", "Work", "--content", "-- \n{{name}}"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  result = run({"reply", original_, "--all", "--body", "Sounds good"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;

  auto mails = sent();
  ASSERT_EQ(mails.size(), 1u);
  const std::string& reply = mails[0].data;
  EXPECT_NE(reply.find("From: Tester <" + user_ + ">\r\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("To: Bob <bob@example.net>\r\nCc: "), std::string::npos) << reply;
  EXPECT_NE(reply.find("Subject: Re: Plans\r\n"), std::string::npos);
  EXPECT_NE(reply.find("In-Reply-To: <orig1@example.net>\r\n"), std::string::npos);
  EXPECT_NE(reply.find("References: <root@example.net> <orig1@example.net>\r\n"),
            std::string::npos);
  // The user's own address and the duplicate Bob are not recipients.
  EXPECT_EQ(mails[0].rcpt_to, (std::vector<std::string>{"bob@example.net", "carol@example.net"}));
  const std::string body = decoded(reply);
  const size_t text = body.find("Sounds good"), signature = body.find("-- \nTester"),
               quote = body.find("> Shall we meet?");
  ASSERT_NE(quote, std::string::npos) << body;
  EXPECT_LT(text, signature);
  EXPECT_LT(signature, quote);

  // The sent copy is on the server, read, and threaded the same way.
  const auto copies = servers_.stored_messages(user_, "Sent");
  ASSERT_EQ(copies.size(), 1u);
  EXPECT_NE(copies[0].find("In-Reply-To: <orig1@example.net>"), std::string::npos);
  bool seen = false;
  for (const auto& entry : fs::directory_iterator(servers_.maildir_of(user_) / ".Sent" / "cur"))
    seen = seen || entry.path().filename().string().ends_with(",S");
  EXPECT_TRUE(seen);

  result =
      run({"forward", original_, "--to", "dave@example.net", "--body", "FYI", "--no-signature"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  mails = sent();
  ASSERT_EQ(mails.size(), 2u);
  EXPECT_NE(mails[1].data.find("Subject: Fwd: Plans\r\n"), std::string::npos);
  EXPECT_NE(mails[1].data.find("filename=\"x.txt\""), std::string::npos) << mails[1].data;
  EXPECT_EQ(mails[1].data.find("Tester\r\n\r\n"), std::string::npos);
  EXPECT_EQ(mails[1].rcpt_to, std::vector<std::string>{"dave@example.net"});
}

TEST_F(WritingCliTest, BadRecipientIsNamedAndNothingGoesOutBodyComesFromStandardInput) {
  auto result =
      run({"send", "--to", "ok@example.net,not an address", "--subject", "x", "--body", "y"});
  EXPECT_NE(result.exit_code, 0);
  EXPECT_NE(result.err.find("收件人地址无效: not an address"), std::string::npos) << result.err;
  result = run({"send", "--to", "ok@example.net\r\nRCPT TO:<evil@example.net>", "--subject", "x",
                "--body", "y"});
  EXPECT_NE(result.exit_code, 0);
  EXPECT_TRUE(sent().empty());

  result =
      run({"send", "--to", "Ann Lee <ann@example.net>", "--subject", "stdin", "--body-file", "-"},
          "from standard input\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const auto mails = sent();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_NE(mails[0].data.find("To: Ann Lee <ann@example.net>\r\n"), std::string::npos);
  EXPECT_NE(mails[0].data.find("from standard input"), std::string::npos);
  EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"ann@example.net"});
}

TEST_F(WritingCliTest, ExportWritesBothFormatsAndNeverOverwritesSilently) {
  ASSERT_EQ(run({"read", original_}).exit_code, 0);  // the body is stored
  const fs::path out = dir_.path() / "out";
  fs::create_directories(out);
  auto result = run({"export", original_, "-o", out.string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  result = run({"export", original_, "--format", "text", "-o", out.string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // The .eml is the message as the server holds it, attachment and all.
  std::string raw = kOriginal;
  raw.replace(raw.find("USER"), 4, user_);
  EXPECT_EQ(read_file(out / "Plans.eml").value_or(""), raw);
  const std::string text = read_file(out / "Plans.txt").value_or("");
  EXPECT_TRUE(text.starts_with("发件人: \"Bob\" <bob@example.net>\n")) << text;
  EXPECT_NE(text.find("---\n\nShall we meet?"), std::string::npos) << text;

  result = run({"export", original_, "-o", out.string()});
  EXPECT_NE(result.exit_code, 0);
  EXPECT_NE(result.err.find("文件已存在"), std::string::npos) << result.err;
  EXPECT_EQ(run({"export", original_, "-o", out.string(), "--force"}).exit_code, 0);
}

// Reads what the program writes to the terminal until `text` appears or 30 s pass.
bool wait_for(int fd, const std::string& text, std::string& seen) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (seen.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buffer[512];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return false;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

TEST_F(WritingCliTest, CtrlCInTheUndoCountdownSendsNothingAndKeepsADraft) {
  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (const auto& entry : environment()) putenv(strdup(entry.c_str()));
    execl(KESTROVA_BINARY, "kestrova", "send", "--to", "ann@example.net", "--subject", "take back",
          "--body", "oops", static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string screen;
  EXPECT_TRUE(wait_for(terminal, "10 秒后发送", screen)) << screen;
  EXPECT_TRUE(wait_for(terminal, "9 秒后发送", screen)) << screen;
  ASSERT_EQ(write(terminal, "\x03", 1), 1);
  EXPECT_TRUE(wait_for(terminal, "已撤销", screen)) << screen;
  int status = 0;
  waitpid(child, &status, 0);
  close(terminal);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
  EXPECT_TRUE(sent().empty());
  EXPECT_NE(screen.find("草稿已保存"), std::string::npos) << screen;
}

TEST_F(WritingCliTest, TheServiceSendsScheduledMailAndAnswersNewMailOnce) {
  // Due while no service ran; another cancelled; automatic replies switched on.
  auto result = run({"send", "--to", "ann@example.net", "--subject", "Due", "--body", "x", "--at",
                     "2026-01-01T08:00:00Z"});
  EXPECT_EQ(result.exit_code, 2);  // a time in the past asks first; no terminal, no --yes
  result = run({"send", "--to", "ann@example.net", "--subject", "Due", "--body", "x", "--at",
                "2026-01-01T08:00:00Z", "--yes"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("kestrova run 未在运行"), std::string::npos) << result.out;
  result = run(
      {"send", "--to", "bob@example.net", "--subject", "Cancelled", "--body", "x", "--at", "+1d"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const std::string cancelled = result.out.substr(result.out.find(": ") + 2, 36);
  ASSERT_EQ(run({"scheduled", "cancel", cancelled.substr(0, 8)}).exit_code, 0);  // a prefix
  ASSERT_EQ(run({"autoreply", "on", "--template", "Away until Monday."}).exit_code, 0);

  auto env = environment();
  env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent");
  env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent");
  testing::ChildProcess service(KESTROVA_BINARY, {"run"}, env);
  const auto eventually = [&](const std::function<bool()>& done) {
    for (int i = 0; i < 300 && !done(); ++i) service.read_line(100);
    return done();
  };
  ASSERT_TRUE(eventually([&] { return sent().size() == 1; }));
  EXPECT_NE(sent()[0].data.find("Subject: Due\r\n"), std::string::npos);

  servers_.deliver(
      user_, "INBOX",
      "Return-Path: <carol@example.net>\r\nFrom: Carol <carol@example.net>\r\nTo: " + user_ +
          "\r\nSubject: Question\r\nDate: " + mail::format_message_date(now_seconds()) +
          "\r\nMessage-ID: <q1@example.net>\r\n\r\nHi\r\n");
  ASSERT_TRUE(eventually([&] { return sent().size() == 2; }));
  const auto reply = sent()[1];
  EXPECT_EQ(reply.rcpt_to, std::vector<std::string>{"carol@example.net"});
  EXPECT_NE(reply.data.find("Subject: Re: Question\r\n"), std::string::npos);
  EXPECT_NE(reply.data.find("Auto-Submitted: auto-replied\r\n"), std::string::npos);
  const auto listed = run({"scheduled", "list"}).out;
  EXPECT_NE(listed.find("sent  ann@example.net  Due"), std::string::npos) << listed;
  EXPECT_EQ(listed.find("Cancelled"), std::string::npos) << listed;
}

}  // namespace
}  // namespace kestrova
