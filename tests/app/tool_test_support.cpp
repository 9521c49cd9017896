#include "tool_test_support.h"

#include "platform/settings_store.h"
#include "util/uuid.h"

namespace kestrova::testing {

namespace {

// Points the process at a temporary home before anything opens the shared stores.
class TemporaryHomeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<TempDir>();
    home_ = std::make_unique<ScopedHome>(dir_->path());
  }
  void TearDown() override {
    home_.reset();
    dir_.reset();
  }

 private:
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<ScopedHome> home_;
};

[[maybe_unused]] auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new TemporaryHomeEnvironment);

}  // namespace

void ToolServerTest::SetUp() {
  auto& db = store::EmailDatabase::shared();
  ASSERT_TRUE(db.is_open());
  db.write([](store::Connection& c) {
    c.execute(
        "DELETE FROM email_action_items; DELETE FROM contacts; DELETE FROM email_messages; "
        "DELETE FROM email_folders; DELETE FROM email_accounts;");
  });
  platform::SettingsStore::shared().remove("mcpExposureLevel");
}

Json ToolServerTest::request(const std::string& line) {
  auto answer = server_.handle_line(line);
  if (!answer) return nullptr;
  return Json::parse(*answer);
}

Json ToolServerTest::call(const std::string& tool, const Json& arguments) {
  Json answer = request(
      Json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"},
           {"params", {{"name", tool}, {"arguments", arguments}}}}
          .dump());
  if (answer.contains("error")) return "error: " + answer["error"]["message"].get<std::string>();
  return Json::parse(answer["result"]["content"][0]["text"].get<std::string>());
}

std::string ToolServerTest::call_error(const std::string& tool, const Json& arguments) {
  Json result = call(tool, arguments);
  if (!result.is_string()) return "(no error)";
  std::string text = result.get<std::string>();
  return text.rfind("error: ", 0) == 0 ? text.substr(7) : "(no error)";
}

void ToolServerTest::set_exposure(const std::string& level) {
  platform::SettingsStore::shared().set("mcpExposureLevel", level);
}

std::string ToolServerTest::add_account(const std::string& email, bool is_default, double created_at) {
  const std::string id = new_uuid();
  store::EmailDatabase::shared().write([&](store::Connection& c) {
    auto s = c.prepare(
        "INSERT INTO email_accounts (id, email_address, display_name, service_type, imap_host, "
        "imap_port, imap_encryption, smtp_host, smtp_port, smtp_encryption, is_default, "
        "created_at, updated_at) VALUES (?, ?, ?, 'Gmail', 'imap.example.com', 993, 'ssl', "
        "'smtp.example.com', 465, 'ssl', ?, ?, ?)");
    s.bind_all(id, email, "Name of " + email, is_default, created_at, created_at);
    s.run();
  });
  return id;
}

std::string ToolServerTest::add_folder(const std::string& account_id, const std::string& name,
                                       const std::string& type, const std::string& path) {
  const std::string id = new_uuid();
  store::EmailDatabase::shared().write([&](store::Connection& c) {
    auto s = c.prepare(
        "INSERT INTO email_folders (id, account_id, name, type, path) VALUES (?, ?, ?, ?, ?)");
    s.bind_all(id, account_id, name, type, path.empty() ? name : path);
    s.run();
  });
  return id;
}

std::string ToolServerTest::add_message(const MessageRow& row) {
  const std::string id = new_uuid();
  store::EmailDatabase::shared().write([&](store::Connection& c) {
    auto s = c.prepare(
        "INSERT INTO email_messages (id, account_id, folder_id, message_id, subject, from_name, "
        "from_email, to_contacts, text_body, preview, date, is_read, is_deleted, is_spam, ai_tags, "
        "synced_at, updated_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, 0)");
    s.bind_all(id, row.account_id, row.folder_id, row.message_id, row.subject, row.from_name,
               row.from_email, row.to_contacts, row.text_body, row.preview, row.date, row.is_read,
               row.is_deleted, row.is_spam, row.ai_tags);
    s.run();
  });
  return id;
}

std::optional<std::string> ToolServerTest::column(const std::string& message_id,
                                                  const std::string& column) {
  return store::EmailDatabase::shared().read([&](store::Connection& c) {
    auto s = c.prepare("SELECT " + column + " FROM email_messages WHERE id = ?");
    s.bind(1, message_id);
    return s.step() ? s.text(0) : std::nullopt;
  });
}

int64_t ToolServerTest::count(const std::string& sql) {
  return store::EmailDatabase::shared().read([&](store::Connection& c) {
    auto s = c.prepare(sql);
    s.step();
    return s.integer(0).value_or(-1);
  });
}

}  // namespace kestrova::testing
