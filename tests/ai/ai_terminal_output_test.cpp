// AI replies and AI error bodies on the command line: whatever a provider sends, no control
// reaches the terminal (streamed or not), and an error page is quoted in part.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ai_test_server.h"
#include "support/test_support.h"

namespace kestrova::testing {
namespace {

TEST(AITerminalOutputTest, RepliesAndErrorBodiesArePrintedWithoutControls) {
  KestrovaHome kestrova;
  AITestServer server;
  ASSERT_EQ(kestrova({"ai", "profile", "add", "--protocol", "openai", "--name", "Cloud",
                      "--endpoint", server.base("canned") + "/v1", "--api-key-stdin", "--default"},
                     "sk-terminal\n")
                .exit_code,
            0);
  server.reply_with(
      {"\x1b]0;owned\x07"
       "Answer\r\nFrom: ceo@bank.example \xc2\x9b"
       "2J"});
  struct Case {
    const char* what;
    std::string endpoint;
    std::vector<std::string> args;
    int status;
    std::string shown;  // in standard output, or standard error for a failure
  };
  const Case cases[] = {
      {"reply in one piece",
       "canned",
       {"ai", "chat", "--no-stream", "hi"},
       0,
       "␛]0;owned␇Answer\nFrom: ceo@bank.example \xef\xbf\xbd"
       "2J\n"},
      {"streamed reply",
       "ok",
       {"ai", "chat", "--model", "m\x1b[2J\x1b[31m", "hi"},
       0,
       "Hello from m␛[2J␛[31m\n"},
      {"error page",
       "hostile500",
       {"ai", "chat", "hi"},
       1,
       "请求失败 (状态码: 500): ␛]0;owned␇␛[2J" + std::string(286, 'x') + "…"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(
        kestrova({"ai", "profile", "edit", "Cloud", "--endpoint", server.base(c.endpoint) + "/v1"})
            .exit_code,
        0);
    const ProcessResult result = kestrova(c.args);
    EXPECT_EQ(result.exit_code, c.status) << result.err;
    const std::string& printed = c.status == 0 ? result.out : result.err;
    if (c.status == 0)
      EXPECT_EQ(printed, c.shown);
    else
      EXPECT_NE(printed.find(c.shown), std::string::npos) << printed.substr(0, 2000);
    for (const std::string& output : {result.out, result.err}) {
      EXPECT_EQ(output.find('\x1b'), std::string::npos);
      EXPECT_EQ(output.find("\xc2\x9b"), std::string::npos);
      EXPECT_LT(output.size(), 4000u);
    }
  }
}

}  // namespace
}  // namespace kestrova::testing
