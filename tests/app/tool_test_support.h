#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "app/mcp/mcp_stdio_server.h"
#include "store/database.h"
#include "support/test_support.h"
#include "util/json.h"

namespace kestrova::testing {

// In-process tool-server tests. The shared database and settings file of this process
// live in one temporary home set up before the first test (they are fixed on first use);
// each test starts from empty tables.
class ToolServerTest : public ::testing::Test {
 protected:
  void SetUp() override;

  // Sends one request line and returns the parsed answer (null when there is none).
  Json request(const std::string& line);
  // tools/call: the decoded result value, or the error message prefixed with "error: ".
  Json call(const std::string& tool, const Json& arguments = Json::object());
  std::string call_error(const std::string& tool, const Json& arguments = Json::object());
  void set_exposure(const std::string& level);

  // Rows for the tests; return the ids they wrote.
  std::string add_account(const std::string& email, bool is_default = false, double created_at = 1);
  std::string add_folder(const std::string& account_id, const std::string& name,
                         const std::string& type, const std::string& path = "");
  struct MessageRow {
    std::string account_id;
    std::optional<std::string> folder_id;
    std::string subject = "Subject";
    std::string from_email = "sender@example.com";
    std::optional<std::string> from_name;
    std::optional<std::string> message_id;
    double date = 1700000000;
    bool is_read = false, is_deleted = false, is_spam = false;
    std::optional<std::string> ai_tags;
    std::optional<std::string> to_contacts;
    std::optional<std::string> text_body;
    std::optional<std::string> preview;
  };
  std::string add_message(const MessageRow& row);
  // One column of one message row, as text (nothing for NULL).
  std::optional<std::string> column(const std::string& message_id, const std::string& column);
  int64_t count(const std::string& sql);

  app::MCPStdioServer server_;
};

}  // namespace kestrova::testing
