// A newcomer's day on the demo: `kestrova demo` in a home of its own (`--home`), then the
// mail actions, searches, attachments and reading on a terminal, with no mail server.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "e2e/cli_fixture.h"
#include "util/file.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

class DemoHomeTest : public CliTest {
 protected:
  void SetUp() override {
    // The tool server the demo starts ends with its (empty) standard input.
    const auto demo = run({"--home", home().string(), "demo"});
    ASSERT_EQ(demo.exit_code, 0) << demo.err;
    demo_err_ = demo.err;
  }
  fs::path home() const { return dir_.path() / "demo home"; }
  ProcessResult in_home(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--home", home().string()});
    return run(args, input);
  }
  // The first full id of `kestrova search QUERY --ids`.
  std::string first_found(const std::string& query) {
    const auto found = in_home({"search", query, "--ids"});
    EXPECT_EQ(found.exit_code, 0) << found.err;
    return found.out.substr(0, found.out.find('\n'));
  }
  // `kestrova --home HOME COMMAND` on a pseudo-terminal (script(1)), the pager being cat.
  ProcessResult on_terminal(const std::string& command) {
    auto env = environment();
    env.insert(env.end(), {"COLUMNS=100", "PAGER=cat", "TERM=dumb"});
    return run_process(
        "/usr/bin/script",
        {"-qec", std::string(KESTROVA_BINARY) + " --home '" + home().string() + "' " + command,
         "/dev/null"},
        "", env);
  }

  std::string demo_err_;
};

TEST_F(DemoHomeTest, EveryMailActionWorksWithoutAServerAndStaysInTheHome) {
  // The short form is printed, and nothing was written beside the home.
  EXPECT_NE(demo_err_.find("--home '" + home().string() + "' list"), std::string::npos)
      << demo_err_;
  EXPECT_FALSE(fs::exists(dir_.path() / "data" / "tivra"));
  EXPECT_TRUE(fs::exists(home() / "data" / "tivra" / "Email" / "email.db"));
  const auto accounts = in_home({"account", "list"});
  EXPECT_NE(accounts.out.find("li.wei@qq.com"), std::string::npos) << accounts.out;
  EXPECT_EQ(accounts.out.find("imap.qq.com"), std::string::npos) << accounts.out;

  // Mail of the last days, conversations, HTML-only receipts, tags.
  for (const char* query : {"since:7d", "subject:\"Re: Berlin offsite\"",
                            "from:jd.example.com since:1y", "tag:促销", "has:attachment since:30d"})
    EXPECT_FALSE(first_found(query).empty()) << query;

  // Attachments are real files.
  const std::string attached = first_found("has:attachment");
  const auto listed = in_home({"attachment", "list", attached});
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  const std::string name = listed.out.substr(0, listed.out.find("  "));
  const fs::path saved = dir_.path() / "saved";
  fs::create_directories(saved);
  const auto save = in_home({"attachment", "save", attached, name, "-o", saved.string()});
  ASSERT_EQ(save.exit_code, 0) << save.err;
  EXPECT_GT(read_file(saved / name).value_or("").size(), 100u) << name;

  // The mail actions, each on its own message; none needs a password or a server.
  const std::string unread = first_found("is:unread folder:inbox account:li.wei");
  const std::string other = first_found("folder:inbox account:li.wei is:read");
  for (const auto& action : std::vector<std::vector<std::string>>{{"mark", "read", unread},
                                                                  {"mark", "star", unread},
                                                                  {"move", other, "Archive"},
                                                                  {"spam", unread},
                                                                  {"delete", other}}) {
    const auto result = in_home(action);
    EXPECT_EQ(result.exit_code, 0) << action[0] << ": " << result.err;
  }
  // Deleted mail is found in the trash.
  const auto trash = in_home({"search", "folder:trash", "--ids"});
  EXPECT_NE(trash.out.find(other), std::string::npos);

  // KESTROVA_HOME is the same as --home; the agent host's snippet carries the home.
  auto env = environment();
  env.push_back("KESTROVA_HOME=" + home().string());
  EXPECT_EQ(run_process(KESTROVA_BINARY, {"search", "since:7d", "--ids"}, "", env).out,
            in_home({"search", "since:7d", "--ids"}).out);
  const auto config = in_home({"mcp", "config"});
  EXPECT_NE(config.out.find(R"("args": ["--home", ")" + home().string() + "\"]"), std::string::npos)
      << config.out;
  // Credentials go to the home's own file store.
  const auto added =
      in_home({"account", "add", "--email", "second@example.org", "--imap-host", "127.0.0.1",
               "--smtp-host", "127.0.0.1", "--password-stdin", "--skip-test"},
              "secret\n");
  ASSERT_EQ(added.exit_code, 0) << added.err;
  EXPECT_TRUE(fs::exists(home() / "data" / "kestrova" / "credentials.json"));
}

TEST_F(DemoHomeTest, ReadingInTheTerminal) {
  // Pages of the listing.
  const auto all = in_home({"list", "--limit", "6"});
  std::vector<std::string> lines;
  std::istringstream stream(all.out);
  for (std::string line; std::getline(stream, line);) lines.push_back(line + "\n");
  ASSERT_EQ(lines.size(), 6u);
  for (const auto& [args, first, count] :
       {std::tuple{std::vector<std::string>{"--offset", "2", "--limit", "3"}, 2, 3},
        {{"--page", "2", "--limit", "2"}, 2, 2},
        {{"--page", "3", "--limit", "2"}, 4, 2}}) {
    std::vector<std::string> command{"list"};
    command.insert(command.end(), args.begin(), args.end());
    std::string expected;
    for (int i = first; i < first + count; ++i) expected += lines[static_cast<size_t>(i)];
    EXPECT_EQ(in_home(command).out, expected) << args[0] << " " << args[1];
  }
  EXPECT_EQ(in_home({"list", "--page", "2", "--offset", "1"}).exit_code, 2);

  // Tags, summary and priority are shown, in text and in JSON.
  const std::string tagged = first_found("tag:invoice");
  ASSERT_FALSE(tagged.empty());
  EXPECT_NE(in_home({"read", tagged}).out.find("Tags: "), std::string::npos);
  const auto json = in_home({"read", tagged, "--json"});
  for (const char* key :
       {R"("tags":[)", R"("aiSummary":)", R"("aiPriority":)", R"("aiActionItems":)"})
    EXPECT_NE(json.out.find(key), std::string::npos) << key << json.out;

  // Read on a terminal marks the message read (through the journal's road, not when piped,
  // not with --no-mark).
  ASSERT_EQ(in_home({"settings", "set", "emailMarkAsReadDelaySeconds", "0"}).exit_code, 0);
  const std::string unread = first_found("is:unread");
  auto is_unread = [&] {
    return in_home({"search", "is:unread", "--ids"}).out.find(unread) != std::string::npos;
  };
  for (const auto& [how, marks] :
       {std::pair{"piped", false}, {"--no-mark", false}, {"terminal", true}}) {
    const std::string command =
        std::string(how) == "--no-mark" ? "read --no-mark " + unread : "read " + unread;
    const auto shown =
        std::string(how) == "piped" ? in_home({"read", unread}) : on_terminal(command);
    EXPECT_EQ(shown.exit_code, 0) << how << shown.out;
    EXPECT_EQ(is_unread(), !marks) << how;
  }
}

}  // namespace
}  // namespace kestrova::testing
