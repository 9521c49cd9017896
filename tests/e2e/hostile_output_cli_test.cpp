// What `kestrova read`, `list`, `search` and `raw` print for a message built to attack the
// terminal: window titles (OSC), screen clearing and colours (CSI, also as the C1 byte),
// a bidirectional override in the sender's name and a Subject whose CR LF fakes a header
// line. In a pipe, on a terminal (a pseudo-terminal from script(1)) with PAGER=cat and
// through the default pager (less -FRX), nothing of it reaches the terminal as a control;
// `raw` stays byte for byte what the server holds and --json keeps the text, escaped.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "cli_fixture.h"
#include "util/json.h"

namespace kestrova {
namespace {

const std::string kHostile =
    "From: =?UTF-8?Q?Bank=E2=80=AE_Support?= <evil@example.net>\r\n"
    "To: user@kestrova.test\r\n"
    "Subject: =?UTF-8?Q?Invoice=1B]0;pwned=07_=0D=0AFrom:_ceo@bank.example_=C2=9B2J?=\r\n"
    "Date: Thu, 4 Jan 2024 10:00:00 +0000\r\n"
    "Message-ID: <evil1@example.net>\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: 8bit\r\n\r\n"
    "Dear customer,\r\n"
    "\x1b]0;owned\x07\x1b[2J\x1b[31mred alert\r\n"
    "\xc2\x9b"
    "2J csi as one byte\r\n"
    "visible end\r\n";

// What must never reach a terminal from the message; `shown` is the output with the
// program's own styling and the pager's own sequences taken out.
void expect_defused(const std::string& shown, const std::string& how) {
  SCOPED_TRACE(how);
  EXPECT_EQ(shown.find('\x1b'), std::string::npos) << shown;
  EXPECT_EQ(shown.find("\xc2\x9b"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("\xe2\x80\xae"), std::string::npos) << shown;
  EXPECT_EQ(shown.find('\x07'), std::string::npos) << shown;
  EXPECT_FALSE(std::regex_search(shown, std::regex("(^|\n)From: ceo@bank"))) << shown;
}

class HostileOutputTest : public testing::CliTest {
 protected:
  void SetUp() override {
    servers_.deliver(user_, "INBOX", kHostile);
    add_account();
    ASSERT_EQ(run({"sync"}).exit_code, 0);
    id_ = id_of(run({"list"}).out, "Invoice");
  }

  testing::ProcessResult terminal(const std::string& command, bool pager) {
    auto env = environment();
    env.insert(env.end(), {"COLUMNS=200", "LINES=50", "TERM=xterm"});
    if (!pager) env.push_back("PAGER=cat");
    // The time limit only guards against a pager that waits for a key; it keeps the
    // command in the terminal's foreground, where a pager may set the terminal up.
    return testing::run_process(
        "/usr/bin/script",
        {"-qec", "timeout --foreground 60 " + std::string(KESTROVA_BINARY) + " " + command, "/dev/null"}, "",
        env);
  }

  std::string id_;
};

TEST_F(HostileOutputTest, NoControlReachesTheTerminalAndRawStaysExact) {
  ASSERT_EQ(id_.size(), 8u);
  // The program's own styles, line ends of the terminal, and what less sends for itself.
  const std::regex own("\x1b\\[(0|1|2|33)?m|\r|\x1b\\[K|\x1b\\[\\?1[hl]|\x1b[=>]");
  struct Way {
    const char* how;
    std::vector<std::string> args;
    bool onTerminal, pager;
  };
  const Way ways[] = {
      {"read in a pipe", {"read", id_}, false, false},
      {"read on a terminal, PAGER=cat", {"read", id_}, true, false},
      {"read through less -FRX", {"read", id_}, true, true},
      {"list in a pipe", {"list"}, false, false},
      {"list on a terminal", {"list"}, true, false},
      {"search in a pipe", {"search", "invoice"}, false, false},
  };
  for (const auto& way : ways) {
    std::string command;
    for (const auto& a : way.args) command += (command.empty() ? "" : " ") + a;
    const auto result = way.onTerminal ? terminal(command, way.pager) : run(way.args);
    ASSERT_EQ(result.exit_code, 0) << way.how << result.out << result.err;
    expect_defused(std::regex_replace(result.out, own, ""), way.how);
    if (way.args[0] == "read") {
      EXPECT_NE(result.out.find("visible end"), std::string::npos) << way.how << result.out;
      EXPECT_NE(result.out.find("␛]0;owned␇␛[2J␛[31mred alert"), std::string::npos)
          << way.how << result.out;
    } else {
      EXPECT_NE(result.out.find("Invoice"), std::string::npos) << way.how << result.out;
    }
  }

  // JSON escapes what a terminal acts on and keeps the text itself.
  const auto json = run({"read", "--json", id_});
  ASSERT_EQ(json.exit_code, 0) << json.err;
  expect_defused(json.out, "read --json");
  const Json message = Json::parse(json.out);
  EXPECT_NE(message["textBody"].get<std::string>().find("\x1b]0;owned\x07"), std::string::npos);
  EXPECT_NE(message["subject"].get<std::string>().find("Invoice"), std::string::npos);

  // raw is the message as the server holds it, byte for byte.
  const auto raw = run({"raw", id_});
  ASSERT_EQ(raw.exit_code, 0) << raw.err;
  EXPECT_EQ(raw.out, kHostile);
}

}  // namespace
}  // namespace kestrova
