// AI on the mail through the real program: the background analysis inside `kestrova run`
// against the loopback Dovecot and a loopback AI provider, found again through the tool
// server; and `kestrova ai ask` over every scope, checked by what the provider received.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

#include "ai/ai_test_server.h"
#include "e2e/cli_fixture.h"
#include "store/database.h"

namespace kestrova::testing {
namespace {

std::string message(const std::string& subject, const std::string& id, const std::string& body,
                    const std::string& extra = "") {
  return "From: Alice <alice@example.org>\r\nTo: t@kestrova.test\r\nSubject: " + subject +
         "\r\nMessage-ID: <" + id + "@kestrova.test>\r\n" + extra +
         "Date: Mon, 7 Dec 2026 09:00:00 +0000\r\n\r\n" + body + "\r\n";
}

// A listening socket on an ephemeral loopback port that never accepts: connections are
// completed by the kernel and then hear nothing.
struct Socket {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int port = 0;
  Socket() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::listen(fd, 16) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
      port = ntohs(address.sin_port);
  }
  ~Socket() { ::close(fd); }
  // Whether a connection waits to be accepted (within `ms`).
  bool pending(int ms) const {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, ms) > 0;
  }
};

class AIMailTest : public CliTest {
 protected:
  // An OpenAI-style profile on the loopback provider, serving every scenario.
  void configure_ai(const std::string& behaviour) {
    auto added =
        run({"ai", "profile", "add", "--protocol", "openai", "--name", "Local", "--endpoint",
             ai_.base(behaviour) + "/v1", "--model", "m", "--api-key-stdin", "--default"},
            "k\n");
    ASSERT_EQ(added.exit_code, 0) << added.err;
  }
  size_t requests() { return ai_.requests().size(); }
  void sql(const std::string& statement) {
    auto r = run_process("/usr/bin/sqlite3",
                         {store::EmailDatabase::default_path().string(), statement}, "", {});
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  // One tool of the tool server, over its standard input and output.
  Json tool(const std::string& name, const Json& arguments) {
    const Json call{{"jsonrpc", "2.0"},
                    {"id", 2},
                    {"method", "tools/call"},
                    {"params", {{"name", name}, {"arguments", arguments}}}};
    const auto r =
        run({"--mcp-stdio"}, R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})"
                             "\n" +
                                 call.dump() + "\n");
    const auto answer = Json::parse(r.out.substr(r.out.find('\n') + 1));
    return Json::parse(answer["result"]["content"][0]["text"].get<std::string>());
  }
  // Starts `kestrova run`, waits (bounded) until `waiting` holds, sends SIGTERM and expects
  // a clean exit within a generous bound (the servers' limits are far longer).
  void expect_prompt_stop(const std::function<bool()>& waiting) {
    auto env = environment();
    env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent");
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent");
    ChildProcess service(KESTROVA_BINARY, {"run"}, env);
    bool began = false;
    for (int i = 0; i < 600 && !began; ++i) {
      began = waiting();
      if (!began) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_TRUE(began);
    ::kill(service.pid(), SIGTERM);
    EXPECT_EQ(service.wait(10000), 0);
  }
  AITestServer ai_;
};

TEST_F(AIMailTest, RunningServiceAnalysesNewMailInBatchesOfThree) {
  add_account();
  configure_ai("metadata");
  int n = 0;
  for (const std::string subject : {"Invoice 1", "Invoice 2", "Invoice 3", "plain"})
    servers_.deliver(user_, "INBOX",
                     message(subject, "bg-" + std::to_string(++n), "Please pay by Friday."));
  ChildProcess service(KESTROVA_BINARY, {"run"}, [&] {
    auto env = environment();
    env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent");
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent");
    return env;
  }());
  // Waits (bounded) until the service's log after `from` contains `text`; returns where.
  std::string output;
  auto wait_for = [&](const std::string& text, size_t from = 0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((output = log_text()).find(text, from) == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
      service.read_line(200);
    return output.find(text, from);
  };
  // The first receive stores four new messages: one batch of three, then one of one.
  const size_t first = wait_for("[AIBackground] 分析 3 封邮件");
  ASSERT_NE(first, std::string::npos) << output;
  ASSERT_NE(wait_for("[AIBackground] 分析 1 封邮件", first), std::string::npos) << output;
  ASSERT_NE(wait_for("IDLE 状态: idle"), std::string::npos) << output;
  const size_t mark = output.size();
  servers_.deliver(user_, "INBOX", message("Invoice 5", "bg-5", "Due today."));
  ASSERT_NE(wait_for("[AIBackground] 分析 1 封邮件", mark), std::string::npos) << output;
  auto found = tool("search_by_tag", {{"tag", "invoice"}});
  for (int i = 0; i < 100 && found.size() < 4; ++i)
    found = tool("search_by_tag", {{"tag", "invoice"}});
  ::kill(service.pid(), SIGTERM);
  EXPECT_EQ(service.wait(10000), 0);

  // "plain" was answered with no tags and a normal priority: nothing written.
  ASSERT_EQ(found.size(), 4u) << found.dump();
  for (const auto& hit : found) {
    EXPECT_NE(hit["subject"].get<std::string>().find("Invoice"), std::string::npos);
    EXPECT_EQ(hit["tags"], Json::array({"invoice", "finance"}));
  }
  EXPECT_NE(tool("list_tags", Json::object()).dump().find("\"finance\""), std::string::npos);
  // Five analyses; a later receive may offer "plain" again, which is allowed.
  const Json sent = ai_.requests();
  ASSERT_GE(sent.size(), 5u);
  const auto prompt = Json::parse(sent[0]["body"].get<std::string>())["messages"][0]["content"];
  EXPECT_EQ(prompt.get<std::string>().rfind(
                "Analyze this email metadata and return a JSON object with tags and priority.\n\n"
                "Subject: ",
                0),
            0u);

  // On demand, only the message still without a priority is offered again.
  const auto analysed = run({"ai", "analyze"});
  EXPECT_EQ(analysed.exit_code, 0) << analysed.err;
  EXPECT_NE(analysed.out.find("分析完成：0 封"), std::string::npos) << analysed.out;
  EXPECT_EQ(requests(), sent.size() + 1);
}

// SIGTERM while the service waits on a server that never answers: an AI provider holding
// the background analysis (150 s time-out), an IMAP server that never greets (30 s
// greeting limit). The service exits cleanly well before either limit.
TEST_F(AIMailTest, StopIsPromptWhileTheAnalysisWaitsOnTheProvider) {
  add_account();
  ASSERT_EQ(run({"ai", "profile", "add", "--protocol", "openai", "--name", "Hanging", "--endpoint",
                 ai_.base("hang") + "/v1", "--model", "m", "--timeout", "150", "--api-key-stdin",
                 "--default"},
                "k\n")
                .exit_code,
            0);
  servers_.deliver(user_, "INBOX", message("Invoice 9", "stop-1", "Please pay."));
  expect_prompt_stop([&] { return requests() > 0; });
  // What was received before the stop stays stored.
  EXPECT_NE(run({"list"}).out.find("Invoice 9"), std::string::npos);
}

TEST_F(AIMailTest, StopIsPromptWhileTheReceiveWaitsOnAGreeting) {
  const Socket silent;
  const std::string port = std::to_string(silent.port);
  ASSERT_EQ(
      run({"account", "add", "--email", "silent@kestrova.test", "--imap-host", "127.0.0.1",
           "--imap-port", port, "--imap-encryption", "startTLS", "--smtp-host", "127.0.0.1",
           "--smtp-port", port, "--smtp-encryption", "startTLS", "--skip-test", "--password-stdin"},
          "pw\n")
          .exit_code,
      0);
  expect_prompt_stop([&] { return silent.pending(100); });
}

TEST_F(AIMailTest, QuestionsSendTheirScopeAndRefuseUnderPrivacy) {
  add_account();
  configure_ai("ok");
  const std::string longBody(3000, 'x');
  servers_.deliver(user_, "INBOX", message("Budget", "qa-1", "The budget is 4,200 EUR."));
  servers_.deliver(
      user_, "INBOX",
      message("Re: Budget", "qa-2", longBody,
              "In-Reply-To: <qa-1@kestrova.test>\r\nReferences: <qa-1@kestrova.test>\r\n"));
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  const std::string id = id_of(run({"list"}).out, "Re: Budget");

  struct Case {
    std::vector<std::string> scope;
    std::string contextStart;
    std::vector<std::string> contains;
  };
  const Case cases[] = {
      {{"--message", id},
       "【邮件 上下文】\nSubject: Re: Budget\nFrom: Alice <alice@example.org>",
       {"\nBody:\n" + longBody}},
      {{"--thread", id},
       "【会话 上下文】\nSubject: Budget\n",
       {"4,200 EUR.", "\n ———\nSubject: Re: Budget\n",
        "\nBody:\n" + longBody.substr(0, 2500) + "\n…(truncated)"}},
      {{"--folder", "INBOX"},
       "【文件夹 上下文】\nFolder: INBOX",
       {"| Alice <alice@example.org> | Re: Budget |", "| Alice <alice@example.org> | Budget |"}},
      {{"--account", user_},
       "【账户 上下文】\nAccount: Tester <" + user_ + ">",
       {"| Re: Budget |"}},
  };
  for (const auto& c : cases) {
    auto args = std::vector<std::string>{"ai", "ask"};
    args.insert(args.end(), c.scope.begin(), c.scope.end());
    args.push_back("What is due?");
    const auto r = run(args);
    ASSERT_EQ(r.exit_code, 0) << c.scope[0] << r.err;
    EXPECT_EQ(r.out, "Hello from m\n");
    const Json messages = Json::parse(ai_.last()["body"].get<std::string>())["messages"];
    ASSERT_EQ(messages.size(), 3u) << c.scope[0];
    EXPECT_NE(messages[0]["content"].get<std::string>().find("- Answer in Simplified Chinese "),
              std::string::npos);
    const std::string context = messages[1]["content"];
    EXPECT_EQ(context.rfind(c.contextStart, 0), 0u) << context;
    for (const auto& part : c.contains)
      EXPECT_NE(context.find(part), std::string::npos) << c.scope[0] << ": " << part;
    EXPECT_EQ(messages[2], Json({{"role", "user"}, {"content", "What is due?"}}));
  }

  // A follow-up carries the earlier turn; another scope starts afresh.
  ASSERT_EQ(run({"ai", "ask", "--continue", "--account", user_, "And after that?"}).exit_code, 0);
  Json messages = Json::parse(ai_.last()["body"].get<std::string>())["messages"];
  ASSERT_EQ(messages.size(), 5u);
  EXPECT_EQ(messages[3], Json({{"role", "assistant"}, {"content", "Hello from m"}}));
  ASSERT_EQ(run({"ai", "ask", "--continue", "--message", id, "Who?"}).exit_code, 0);
  EXPECT_EQ(Json::parse(ai_.last()["body"].get<std::string>())["messages"].size(), 3u);

  // Refusals: the provider receives nothing more.
  const size_t before = requests();
  sql("UPDATE email_accounts SET is_privacy_mode_enabled = 1");
  auto refused = run({"ai", "ask", "--thread", id, "What is due?"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "该邮箱账户已开启隐私模式，邮件内容不会发送给 AI 服务。\n");
  ASSERT_EQ(run({"settings", "set", "emailSuperPrivacyMode", "true"}).exit_code, 0);
  sql("UPDATE email_accounts SET is_privacy_mode_enabled = 0");
  refused = run({"ai", "ask", "--folder", "INBOX", "What is due?"});
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_EQ(refused.err, "超级隐私模式已开启，AI 问答功能不可用。请在设置中关闭后再试。\n");
  EXPECT_EQ(run({"ai", "analyze"}).exit_code, 1);
  EXPECT_EQ(requests(), before);
}

// A configuration issue is reported before any download (which would mark the message
// read); a message without UID is read from its stored text.
TEST_F(AIMailTest, RefusalsComeFirstAndStoredTextStandsInForTheBody) {
  add_account();
  servers_.deliver(user_, "INBOX", message("Offer", "st-1", "Server text."));
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  const std::string id = id_of(run({"list"}).out, "Offer");
  ASSERT_EQ(run({"ai", "profile", "add", "--protocol", "openai", "--name", "Keyless", "--endpoint",
                 "https://api.example.com/v1", "--model", "m", "--default"})
                .exit_code,
            0);
  for (const auto& ask : {std::vector<std::string>{"ai", "summary", id},
                          std::vector<std::string>{"ai", "ask", "--message", id, "Why?"}}) {
    const auto r = run(ask);
    EXPECT_NE(r.err.find("还没有填写 API Key"), std::string::npos) << ask[1] << r.err;
  }
  EXPECT_EQ(run_process("/usr/bin/sqlite3",
                        {store::EmailDatabase::default_path().string(),
                         "SELECT is_body_loaded + is_read FROM email_messages"},
                        "", {})
                .out,
            "0\n");  // nothing downloaded
  configure_ai("ok");
  sql("UPDATE email_messages SET uid = NULL, text_body = 'Stored words 77'");
  for (const auto& ask : {std::vector<std::string>{"ai", "summary", id},
                          std::vector<std::string>{"ai", "ask", "--message", id, "What?"}}) {
    ASSERT_EQ(run(ask).exit_code, 0) << ask[1];
    EXPECT_NE(ai_.last()["body"].get<std::string>().find("Stored words 77"), std::string::npos);
  }
}

}  // namespace
}  // namespace kestrova::testing
