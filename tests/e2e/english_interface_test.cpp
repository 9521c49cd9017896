// The program in English (`defaultLanguage en`) as a new user meets it on the demo: the mail
// actions, the account, signature, settings and AI commands and their failures print no
// Chinese, and the AI is asked for English answers.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "ai/ai_test_server.h"
#include "e2e/cli_fixture.h"

namespace kestrova::testing {
namespace {

// The first Chinese character (CJK ideographs, CJK punctuation such as 「」、 and the
// full-width forms such as ，：) of UTF-8 `text`, with what surrounds it; empty when none.
std::string first_chinese(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const size_t length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
    if (length == 3 && i + 2 < text.size()) {
      const unsigned code = (byte & 0x0Fu) << 12 |
                            (static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6 |
                            (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
      if ((code >= 0x4E00 && code <= 0x9FFF) || (code >= 0x3000 && code <= 0x303F) ||
          (code >= 0xFF00 && code <= 0xFFEF)) {
        const size_t from = i > 60 ? i - 60 : 0;
        return std::string(text.substr(from, i + 60 - from));
      }
    }
    i += length;
  }
  return {};
}

// A loopback port on which nothing listens.
int closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

class EnglishInterfaceTest : public CliTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(in_home({"demo"}).exit_code, 0);
    ASSERT_EQ(in_home({"settings", "set", "defaultLanguage", "en"}).exit_code, 0);
  }
  ProcessResult in_home(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--home", (dir_.path() / "demo home").string()});
    return run(args, input);
  }
  // The first full id of `kestrova search QUERY --ids`.
  std::string first_found(const std::string& query) {
    const auto found = in_home({"search", query, "--ids"});
    EXPECT_EQ(found.exit_code, 0) << query << ": " << found.err;
    return found.out.substr(0, found.out.find('\n'));
  }

  AITestServer ai_;
};

TEST_F(EnglishInterfaceTest, CommandsAndTheirFailuresPrintNoChinese) {
  const std::string english = first_found("subject:\"Re: Berlin offsite\"");
  const std::string other =
      first_found("subject:\"Berlin offsite\" -subject:\"Re: Berlin offsite\"");
  const std::string chinese = first_found("subject:报销单待审批");
  ASSERT_FALSE(english.empty() || other.empty() || chinese.empty());
  const std::string port = std::to_string(closed_port());
  ASSERT_EQ(
      in_home({"account", "add", "--email", "closed@example.org", "--imap-host", "127.0.0.1",
               "--imap-port", port, "--imap-encryption", "none", "--smtp-host", "127.0.0.1",
               "--smtp-port", port, "--smtp-encryption", "none", "--password-stdin", "--skip-test"},
              "secret\n")
          .exit_code,
      0);

  struct Case {
    std::vector<std::string> command;
    bool succeeds;
    std::vector<std::string> data = {};  // the demo's own texts the output shows
  };
  // Commands whose output holds no mail text (ids, counts, messages of the program) but
  // `data`, so that any other Chinese character is the program's own.
  const Case cases[] = {
      {{"search", "since:7d", "--ids"}, true},
      {{"search", "tag:invoice", "--ids"}, true},
      {{"read", english}, true},
      {{"mark", "read", english}, true},
      {{"mark", "star", english}, true},
      {{"move", other, "Archive"}, true},
      {{"delete", english}, true},
      {{"search", "folder:trash", "--ids"}, true},
      {{"move", english, "Inbox"}, true},
      {{"account", "list"}, true, {"李伟", "王芳"}},
      {{"account", "test", "closed@example.org"}, false},
      {{"sync", "--account", "closed@example.org"}, false},
      {{"signature", "templates"}, true},
      {{"autoreply", "status"}, true},
      {{"settings", "set", "emailMarkAsReadDelaySeconds", "soon"}, false},
      {{"settings", "set", "emailMarkAsReadDelaySeconds", "-5"}, false},
      {{"settings", "set", "defaultLanguage", "English!"}, false},
      {{"settings", "set", "noSuchSetting", "1"}, false},
      {{"ai", "status"}, true},
      {{"ai", "summary", chinese}, false},
      {{"read", "0000"}, false},
  };
  for (const auto& c : cases) {
    auto r = in_home(c.command);
    for (const auto& text : c.data)
      for (size_t at; (at = r.out.find(text)) != std::string::npos;) r.out.erase(at, text.size());
    std::string shown;
    for (const auto& word : c.command) shown += word + " ";
    EXPECT_EQ(r.exit_code == 0, c.succeeds) << shown << "\n" << r.out << r.err;
    EXPECT_EQ(first_chinese(r.out), "") << shown;
    EXPECT_EQ(first_chinese(r.err), "") << shown;
  }
}

TEST_F(EnglishInterfaceTest, TheAIIsAskedForEnglish) {
  const std::string chinese = first_found("subject:报销单待审批");
  const std::string english = first_found("subject:\"Re: Berlin offsite\"");
  ASSERT_FALSE(chinese.empty() || english.empty());
  ASSERT_EQ(
      in_home({"ai", "profile", "add", "--protocol", "openai", "--name", "Local", "--endpoint",
               ai_.base("ok") + "/v1", "--model", "m", "--api-key-stdin", "--default"},
              "k\n")
          .exit_code,
      0);
  struct Case {
    std::vector<std::string> command;
    std::string asked;  // in the last request's messages
  };
  const Case cases[] = {
      {{"ai", "summary", chinese}, "Write your answer in English."},
      {{"ai", "ask", "--message", chinese, "What is due?"}, "Answer in English unless"},
      // Chinese mail goes into English, English mail into Chinese.
      {{"ai", "translate", chinese}, "翻译成「English」"},
      {{"ai", "translate", english}, "翻译成「简体中文」"},
  };
  for (const auto& c : cases) {
    const auto r = in_home(c.command);
    EXPECT_EQ(r.exit_code, 0) << c.command[1] << ": " << r.err;
    EXPECT_NE(ai_.last()["body"].get<std::string>().find(c.asked), std::string::npos)
        << c.command[1] << ": " << ai_.last()["body"];
  }
}

}  // namespace
}  // namespace kestrova::testing
