// The real program as an agent host runs it: a child process spoken to over pipes, with a
// temporary home.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_support.h"
#include "util/json.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

class ToolServerProcess : public ::testing::Test {
 protected:
  std::vector<std::string> env() const {
    return {"HOME=" + (dir.path() / "home").string(),
            "XDG_DATA_HOME=" + (dir.path() / "data").string(),
            "XDG_CONFIG_HOME=" + (dir.path() / "config").string()};
  }
  ProcessResult run(const std::vector<std::string>& args, const std::string& input,
                    const std::optional<std::string>& program = std::nullopt) {
    const std::string path = program.value_or(KESTROVA_BINARY);
    return run_process(path, args, input, env(), path);
  }
  void write_settings(const std::string& json) {
    fs::create_directories(dir.path() / "config" / "kestrova");
    std::ofstream(dir.path() / "config" / "kestrova" / "settings.json") << json;
  }
  static std::vector<Json> lines(const std::string& out) {
    std::vector<Json> result;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) result.push_back(Json::parse(line));
    return result;
  }
  TempDir dir;
};

const std::string kInitialize = R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{}})";
const std::string kList = R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})";

TEST_F(ToolServerProcess, AnswersInRequestOrderAndExitsAtEndOfInput) {
  const std::string input = kInitialize + "\n" +
                            R"({"jsonrpc":"2.0","method":"notifications/initialized"})" + "\n" +
                            "garbage\n\n[]\n" + kList + "\r\n" +
                            R"({"id":"x","method":"tools/call","params":{"name":"list_accounts"}})" +
                            "\n" + R"({"id":7,"method":"ping"})";  // last line without "\n"
  ProcessResult r = run({"--mcp-stdio"}, input);
  EXPECT_EQ(r.exit_code, 0);
  auto answers = lines(r.out);  // every output line is a protocol message
  ASSERT_EQ(answers.size(), 6u) << r.out;
  EXPECT_EQ(answers[0]["id"], 1);
  EXPECT_EQ(answers[1]["error"]["code"], -32700);  // garbage; the blank line gets nothing
  EXPECT_EQ(answers[2]["error"]["code"], -32600);  // an (empty) batch
  EXPECT_EQ(answers[3]["id"], 2);
  EXPECT_EQ(answers[3]["result"]["tools"].size(), 36u);
  EXPECT_EQ(answers[4]["id"], "x");
  EXPECT_EQ(answers[4]["result"]["content"][0]["text"], "[]");
  EXPECT_EQ(answers[5]["id"], 7);
  EXPECT_EQ(answers[5]["result"], Json::object());  // ping
  EXPECT_TRUE(fs::exists(dir.path() / "data" / "tivra" / "Email" / "email.db"));
}

// Every line a host (or an attacker) can send gets exactly one answer a host waiting on the
// id can match, or none for the two kinds that expect none; the server keeps serving.
TEST_F(ToolServerProcess, BadLinesAreAnsweredAndTheServerCarriesOn) {
  ChildProcess server(KESTROVA_BINARY, {"--mcp-stdio"}, env());
  const std::string deep = std::string(600, '[') + std::string(600, ']');
  const std::string long_name(10 << 20, 'n');
  struct Row {
    const char* what;
    std::string line;
    int code;  // 0: a result
    Json id;
    std::string message_starts;
  };
  const Row rows[] = {
      {"not JSON", "{\"id\":3,\"method\":", -32700, nullptr, "Parse error"},
      {"a number", "42", -32600, nullptr, "Invalid Request"},
      {"a batch", R"([{"jsonrpc":"2.0","id":4,"method":"ping"}])", -32600, nullptr,
       "Invalid Request"},
      {"a numeric method", R"({"jsonrpc":"2.0","id":5,"method":7})", -32600, 5, "Invalid Request"},
      {"no method", R"({"jsonrpc":"2.0","id":"six"})", -32600, "six", "Invalid Request"},
      {"nested deeper than 512", R"({"id":8,"method":"ping","params":)" + deep + "}", -32600, 8,
       "Invalid Request"},
      {"deep and not JSON", std::string(100000, '['), -32700, nullptr, "Parse error"},
      {"invalid UTF-8", "{\"id\":9,\"method\":\"tools/call\",\"params\":{\"name\":\"\xff\xfe\"}}",
       -32600, 9, "Invalid Request"},
      {"a 10 MB tool name",
       R"({"id":10,"method":"tools/call","params":{"name":")" + long_name + R"("}})", -32000, 10,
       "Unknown tool: nnn"},
      {"ping", R"({"jsonrpc":"2.0","id":11,"method":"ping"})", 0, 11, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    server.write(row.line + "\n");
    const auto line = server.read_line(30000);
    ASSERT_TRUE(line);
    ASSERT_LT(line->size(), 1000u);  // nothing echoed whole
    const Json answer = Json::parse(*line);
    EXPECT_EQ(answer["jsonrpc"], "2.0");
    EXPECT_EQ(answer["id"], row.id);
    if (row.code == 0) {
      EXPECT_EQ(answer["result"], Json::object());
      continue;
    }
    EXPECT_EQ(answer["error"]["code"], row.code);
    EXPECT_EQ(answer["error"]["message"].get<std::string>().rfind(row.message_starts, 0), 0u)
        << *line;
  }
  // A line past the 64 MiB cap is thrown away as it arrives and answered; the next request
  // is served as usual.
  const std::string chunk(1 << 20, 'x');
  server.write(R"({"id":12,"method":"tools/call","params":{"name":")");
  for (int i = 0; i < 65; ++i) server.write(chunk);
  server.write("\"}}\n" + kInitialize + "\n");
  const auto over = server.read_line(60000);
  ASSERT_TRUE(over);
  EXPECT_EQ(Json::parse(*over)["error"]["code"], -32600) << *over;
  const auto next = server.read_line(30000);
  ASSERT_TRUE(next);
  EXPECT_EQ(Json::parse(*next)["id"], 1);
  server.close_input();
  EXPECT_EQ(server.wait(), 0);
}

TEST_F(ToolServerProcess, ModeDecision) {
  // The flag anywhere in the arguments.
  ProcessResult flag_late = run({"status", "--mcp-stdio"}, kInitialize + "\n");
  EXPECT_EQ(lines(flag_late.out).size(), 1u) << flag_late.out;
  // The link name, exactly.
  fs::path bin = dir.path() / "bin";
  fs::create_directories(bin);
  fs::create_symlink(KESTROVA_BINARY, bin / "kestrova-mcp");
  fs::create_symlink(KESTROVA_BINARY, bin / "Kestrova-MCP");
  ProcessResult by_name = run({}, kInitialize + "\n", (bin / "kestrova-mcp").string());
  ASSERT_EQ(lines(by_name.out).size(), 1u) << by_name.out;
  EXPECT_EQ(lines(by_name.out)[0]["result"]["serverInfo"]["name"], "kestrova");
  ProcessResult other_case = run({}, kInitialize + "\n", (bin / "Kestrova-MCP").string());
  EXPECT_EQ(other_case.out.find("jsonrpc"), std::string::npos) << other_case.out;
}

TEST_F(ToolServerProcess, ExposureComesFromTheSettingsFileAtEveryCall) {
  write_settings(R"({"mcpExposureLevel":"readonly"})");
  ChildProcess server(KESTROVA_BINARY, {"--mcp-stdio"}, env());
  server.write(kList + "\n");
  auto first = server.read_line();
  ASSERT_TRUE(first);
  EXPECT_EQ(Json::parse(*first)["result"]["tools"].size(), 16u);
  // Another process changes the setting while the server runs.
  write_settings(R"({"mcpExposureLevel":"full"})");
  server.write(kList + "\n");
  auto second = server.read_line();
  ASSERT_TRUE(second);
  EXPECT_EQ(Json::parse(*second)["result"]["tools"].size(), 38u);
  server.close_input();
  EXPECT_EQ(server.wait(), 0);
}

TEST_F(ToolServerProcess, UnopenableDatabaseFailsEachCallButKeepsServing) {
  // The data directory a regular file (the folder cannot be created), and a database file
  // that is not SQLite at all (left exactly as it was found).
  const fs::path blocked = dir.path() / "data-file", corrupt = dir.path() / "corrupt";
  std::ofstream(blocked) << "x";
  fs::create_directories(corrupt / "tivra" / "Email");
  const std::string garbage(4096, 'G');
  std::ofstream(corrupt / "tivra" / "Email" / "email.db") << garbage;
  const struct {
    fs::path data;
    std::string logged;
  } cases[] = {
      {blocked, "❌ [EmailDatabase] 初始化数据库失败: "},
      {corrupt, "❌ [EmailDatabase] 初始化数据库失败: SQLite error 26: file is not a database"}};
  for (const auto& c : cases) {
    std::vector<std::string> environment = env();
    environment[1] = "XDG_DATA_HOME=" + c.data.string();
    const std::string call = R"({"id":3,"method":"tools/call","params":{"name":"list_accounts"}})";
    ProcessResult r = run_process(KESTROVA_BINARY, {"--mcp-stdio"},
                                  call + "\n" + call + "\n" + kInitialize + "\n", environment);
    auto answers = lines(r.out);
    ASSERT_EQ(answers.size(), 3u) << r.out;
    EXPECT_EQ(answers[0]["error"]["message"], "数据库未初始化");
    EXPECT_EQ(answers[1]["error"]["code"], -32000);
    EXPECT_EQ(answers[2]["id"], 1);
    EXPECT_NE(r.err.find(c.logged), std::string::npos) << r.err;
  }
  std::ifstream left(corrupt / "tivra" / "Email" / "email.db");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(left), {}), garbage);
}

TEST_F(ToolServerProcess, AgentDraftsAndReadsMailEndToEnd) {
  // An account row as account setup writes it.
  fs::create_directories(dir.path() / "data");
  const std::string setup =
      R"({"id":1,"method":"tools/call","params":{"name":"create_draft","arguments":{"subject":"周报","body":"本周完成了三项任务。","to":["王五 <wang@example.com>"]}}})";
  ProcessResult none = run({"--mcp-stdio"}, setup + "\n");
  EXPECT_EQ(lines(none.out)[0]["error"]["message"], "No local email account is available");
  ASSERT_EQ(std::system(("sqlite3 '" + (dir.path() / "data/tivra/Email/email.db").string() +
                         "' \"INSERT INTO email_accounts (id, email_address, service_type, imap_host, "
                         "imap_port, imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, "
                         "updated_at) VALUES ('5E0F1C2A-3B4D-4E5F-8A9B-0C1D2E3F4A5B', 'me@example.com', "
                         "'自定义', 'h', 993, 'ssl', 'h', 465, 'ssl', 1, 1)\"")
                            .c_str()),
            0);
  ProcessResult created = run({"--mcp-stdio"}, setup + "\n");
  Json draft = Json::parse(lines(created.out)[0]["result"]["content"][0]["text"].get<std::string>());
  const std::string get = R"({"id":2,"method":"tools/call","params":{"name":"get_message","arguments":{"messageId":")" +
                          draft["draftId"].get<std::string>() + R"("}}})";
  ProcessResult read = run({"--mcp-stdio"}, get + "\n");
  Json message = Json::parse(lines(read.out)[0]["result"]["content"][0]["text"].get<std::string>());
  EXPECT_EQ(message["subject"], "周报");
  EXPECT_EQ(message["textBody"], "本周完成了三项任务。");
  EXPECT_EQ(message["to"], Json::parse(R"([{"name":"王五","email":"wang@example.com"}])"));
  EXPECT_EQ(message["isDraft"], true);
  EXPECT_EQ(message["from"]["email"], "me@example.com");
}

TEST_F(ToolServerProcess, LinkInstallerAndConfigurationSnippet) {
  ProcessResult install = run({"mcp", "install"}, "");
  EXPECT_EQ(install.exit_code, 0) << install.err;
  const fs::path link = dir.path() / "home" / ".local" / "bin" / "kestrova-mcp";
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::canonical(link), fs::canonical(KESTROVA_BINARY));
  // Installing again replaces the link.
  EXPECT_EQ(run({"mcp", "install"}, "").exit_code, 0);
  ProcessResult config = run({"mcp", "config"}, "");
  EXPECT_EQ(config.out, "{\n  \"mcpServers\": {\n    \"kestrova\": {\n      \"command\": \"" +
                            link.string() + "\"\n    }\n  }\n}\n");
  ProcessResult through_link = run({}, kInitialize + "\n", link.string());
  EXPECT_EQ(lines(through_link.out).size(), 1u);
  EXPECT_EQ(run({"mcp", "uninstall"}, "").exit_code, 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

}  // namespace
}  // namespace kestrova::testing
