// libFuzzer target: each input is one line on the tool server's standard input, handed to
// MCPStdioServer::handle_line over a small mail database of its own. Every answer must be
// one JSON-RPC 2.0 line: a JSON object with "jsonrpc" "2.0", an "id", and exactly one of
// "result" or an "error" {code, message}. Crashes, sanitizer reports and broken answers
// abort the run.
//
// The exposure level is "full", so the write tools run too and the database changes while
// the fuzzer runs (it is put back to the seed rows every 10,000 inputs); nothing in the
// checks depends on its contents.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "app/mcp/mcp_stdio_server.h"
#include "store/database.h"
#include "util/json.h"

namespace {

using kestrova::Json;
using kestrova::store::Blob;
using kestrova::store::Connection;
using kestrova::store::EmailDatabase;

std::filesystem::path g_root;
kestrova::app::MCPStdioServer* g_server = nullptr;
// KESTROVA_FUZZ_ECHO=1 prints every answer, to see what the corpus reaches.
bool g_echo = false;
// The write tools add drafts and change rows; the seed state comes back this often, so the
// database stays small and executions stay fast over a long run.
constexpr uint64_t kInputsPerReset = 10000;
uint64_t g_inputs = 0;

// Fixed ids, so the seed corpus and the dictionary can name real rows.
constexpr const char* kAccount1 = "A1111111-1111-4111-8111-111111111111";
constexpr const char* kAccount2 = "A2222222-2222-4222-8222-222222222222";
constexpr const char* kInbox1 = "F1000000-0000-4000-8000-000000000001";
constexpr const char* kTrash1 = "F1000000-0000-4000-8000-000000000002";
constexpr const char* kSpam1 = "F1000000-0000-4000-8000-000000000003";
constexpr const char* kArchive1 = "F1000000-0000-4000-8000-000000000004";
constexpr const char* kCustom1 = "F1000000-0000-4000-8000-000000000005";
constexpr const char* kInbox2 = "F2000000-0000-4000-8000-000000000001";

// Writes the seed rows, first dropping everything earlier inputs added (deleting the
// accounts cascades to their folders and messages, drafts included).
void seed_database() {
  EmailDatabase::shared().write([](Connection& c) {
    c.execute("DELETE FROM email_accounts");
    auto account = [&](const char* id, const char* email, const char* name, int is_default) {
      auto s = c.prepare(
          "INSERT OR REPLACE INTO email_accounts (id, email_address, display_name, service_type, "
          "imap_host, imap_port, imap_encryption, smtp_host, smtp_port, smtp_encryption, is_default, "
          "created_at, updated_at) VALUES (?, ?, ?, 'Gmail', 'imap.example.com', 993, 'ssl', "
          "'smtp.example.com', 465, 'ssl', ?, 1700000000, 1700000000)");
      s.bind_all(id, email, name, is_default);
      s.run();
    };
    account(kAccount1, "li.wei@example.com", "李伟", 1);
    account(kAccount2, "emma@example.org", "Emma", 0);

    auto folder = [&](const char* id, const char* account_id, const char* name, const char* type,
                      const char* path) {
      auto s = c.prepare(
          "INSERT OR REPLACE INTO email_folders (id, account_id, name, type, path) VALUES (?, ?, ?, ?, ?)");
      s.bind_all(id, account_id, name, type, path);
      s.run();
    };
    folder(kInbox1, kAccount1, "收件箱", "inbox", "INBOX");
    folder(kTrash1, kAccount1, "已删除", "trash", "Trash");
    folder(kSpam1, kAccount1, "垃圾邮件", "spam", "Junk");
    folder(kArchive1, kAccount1, "归档", "archive", "Archive");
    folder(kCustom1, kAccount1, "项目/季度报告", "custom", "INBOX/项目");
    folder(kInbox2, kAccount2, "Inbox", "inbox", "INBOX");

    struct Row {
      const char* id;
      const char* account;
      const char* folder;
      const char* message_id;  // null: none
      const char* subject;
      const char* from_email;
      const char* to;          // contact-list JSON (stored as a blob), may be broken
      const char* ai_tags;     // may be null or broken
      const char* html;
      double date;
      int is_deleted, is_spam;
    };
    const Row rows[] = {
        {"E1000000-0000-4000-8000-000000000001", kAccount1, kInbox1, "<a1@example.com>", "发票 #1024 已开具",
         "billing@example.com", R"([{"name":"李伟","email":"li.wei@example.com"}])", R"(["工作","invoice"])",
         "<p>发票</p>", 1700000100, 0, 0},
        // The same Message-ID in a second folder: flag and tag changes reach both copies.
        {"E1000000-0000-4000-8000-000000000002", kAccount1, kArchive1, " <a1@example.com> ", "发票 #1024 已开具",
         "billing@example.com", R"([{"email":"li.wei@example.com"}])", R"(["工作","invoice"])", nullptr,
         1700000100, 0, 0},
        // No Message-ID: copies are found by subject, sender and date.
        {"E1000000-0000-4000-8000-000000000003", kAccount1, kInbox1, nullptr, "Spring sale: 50% off",
         "News@Shop.example.com", R"([{"name":null,"email":"li.wei@example.com"}])", "[]", nullptr,
         1700000200.0004, 0, 0},
        {"E1000000-0000-4000-8000-000000000004", kAccount1, kCustom1, nullptr, "Spring sale: 50% off",
         "news@shop.example.com", "not json", "not json", "<b>sale</b>", 1700000200, 0, 0},
        {"E1000000-0000-4000-8000-000000000005", kAccount1, kTrash1, "<d1@example.com>", "Deleted mail",
         "old@example.com", "[]", R"(["Work","work"])", nullptr, 1690000000, 1, 0},
        {"E1000000-0000-4000-8000-000000000006", kAccount1, kSpam1, "<s1@example.com>", "You won!!!",
         "spam@example.net", R"({"email":"x"})", R"([1,2,3])", "<img src=x>", 1695000000, 0, 1},
        {"E1000000-0000-4000-8000-000000000007", kAccount1, kInbox1, "<m7@example.com>", "会议纪要：星河项目",
         "zhang.wei@example.cn", R"([{"name":"A","email":"a@example.com"},{"email":"b@example.com"}])",
         R"(["会议","项目"])", nullptr, 1710000000, 0, 0},
        {"E2000000-0000-4000-8000-000000000001", kAccount2, kInbox2, "<a1@example.com>", "Weekly report",
         "boss@example.org", R"([{"name":"Emma","email":"emma@example.org"}])", R"(["invoice"])", nullptr,
         1700000300, 0, 0},
        // Dates no clock produces, as a database written elsewhere may hold them.
        {"E1000000-0000-4000-8000-000000000008", kAccount1, kCustom1, "<far@example.com>", "Far future",
         "far@example.com", "[]", R"(["invoice"])", nullptr, 1e300, 0, 0},
        {"E1000000-0000-4000-8000-000000000009", kAccount1, kCustom1, nullptr, "Far past", "past@example.com",
         "[]", nullptr, nullptr, -1e18, 0, 0},
    };
    for (const Row& r : rows) {
      auto s = c.prepare(
          "INSERT OR REPLACE INTO email_messages (id, account_id, folder_id, message_id, subject, "
          "from_name, from_email, to_contacts, cc_contacts, text_body, html_body, preview, date, "
          "is_deleted, is_spam, ai_tags, synced_at, updated_at) "
          "VALUES (?, ?, ?, ?, ?, 'Sender', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 1700000000, 1700000000)");
      const std::string body = std::string(r.subject) + "\n\n正文 body text 50% 发票 invoice";
      s.bind_all(r.id, r.account, r.folder, r.message_id ? std::optional<std::string>(r.message_id) : std::nullopt,
                 r.subject, r.from_email, Blob{r.to}, r.to, body,
                 r.html ? std::optional<std::string>(r.html) : std::nullopt, body.substr(0, 40), r.date,
                 r.is_deleted, r.is_spam, r.ai_tags ? std::optional<std::string>(r.ai_tags) : std::nullopt);
      s.run();
    }
  });
}

[[noreturn]] void fail(const char* what, std::string_view line, const std::string& answer) {
  std::fprintf(stderr, "broken answer (%s)\nrequest: %.*s\nanswer: %s\n", what,
               static_cast<int>(line.size()), line.data(), answer.c_str());
  std::abort();
}

void check_answer(std::string_view line, const std::string& answer) {
  // serve_stdio adds the one "\n" of the framing; the answer itself must not hold one.
  if (answer.find('\n') != std::string::npos) fail("line break inside the answer", line, answer);
  const Json response = Json::parse(answer, nullptr, false);
  if (response.is_discarded() || !response.is_object()) fail("not a JSON object", line, answer);
  auto version = response.find("jsonrpc");
  if (version == response.end() || *version != "2.0") fail("jsonrpc is not \"2.0\"", line, answer);
  if (!response.contains("id")) fail("no id", line, answer);
  const bool has_result = response.contains("result"), has_error = response.contains("error");
  if (has_result == has_error) fail("not exactly one of result and error", line, answer);
  if (has_error) {
    const Json& error = response["error"];
    if (!error.is_object() || !error.contains("code") || !error["code"].is_number_integer() ||
        !error.contains("message") || !error["message"].is_string())
      fail("error without an integer code and a message", line, answer);
  }
}

std::filesystem::path scratch_parent() {
  // tmpfs when there is one: the write tools commit a transaction per call.
  std::error_code ec;
  if (std::filesystem::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0) return "/dev/shm";
  return std::filesystem::temp_directory_path();
}

void remove_scratch() {
  std::error_code ec;
  if (!g_root.empty()) std::filesystem::remove_all(g_root, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Everything the server reaches goes under a private directory before anything opens the
  // shared database or settings.
  std::string pattern = (scratch_parent() / "kestrova-fuzz-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    std::abort();
  }
  g_root = pattern;
  std::atexit(remove_scratch);
  const auto home = g_root / "home", data = g_root / "data", config = g_root / "config";
  std::filesystem::create_directories(home);
  std::filesystem::create_directories(data);
  std::filesystem::create_directories(config / "kestrova");
  setenv("HOME", home.c_str(), 1);
  setenv("XDG_DATA_HOME", data.c_str(), 1);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);
  // open_email_window must never start a desktop opener from here.
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  std::ofstream(config / "kestrova" / "settings.json")
      << R"({"mcpExposureLevel":"full","featureActionItemsEnabled":true,)"
         R"("featureInternalNotesEnabled":true,"featureTagSystemEnabled":true})";

  g_echo = std::getenv("KESTROVA_FUZZ_ECHO") != nullptr;
  seed_database();
  g_server = new kestrova::app::MCPStdioServer();  // lives until exit
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (++g_inputs % kInputsPerReset == 0) seed_database();
  std::string_view line(reinterpret_cast<const char*>(data), size);
  // serve_stdio hands over what lies between line breaks, without a trailing "\r".
  line = line.substr(0, line.find('\n'));
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (auto answer = g_server->handle_line(line)) {
    check_answer(line, *answer);
    if (g_echo) std::fprintf(stderr, "%s\n", answer->c_str());
  }
  return 0;
}
