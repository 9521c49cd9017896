// Processes sharing one database file: tool servers, CLI commands and syncs against Dovecot.

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "e2e/cli_fixture.h"
#include "store/database.h"
#include "store/json_list.h"
#include "util/time.h"

namespace kestrova::testing {
namespace {

class SharedDatabaseTest : public CliTest {
 protected:
  // id -> (AI tags, reply-later date), read straight from the file.
  std::map<std::string, std::pair<std::set<std::string>, std::optional<double>>> rows() const {
    auto db = store::EmailDatabase::open(dir_.path() / "data/tivra/Email/email.db");
    return db->read([](store::Connection& c) {
      decltype(rows()) result;
      auto s = c.prepare("SELECT id, ai_tags, reply_later_until FROM email_messages");
      while (s.step()) {
        const auto tags = store::decode_string_list(s.text(1));
        result[*s.text(0)] = {{tags.begin(), tags.end()}, s.real(2)};
      }
      return result;
    });
  }
};

TEST_F(SharedDatabaseTest, ToolServersCliWritersAndSyncsLoseNoWriteAndNeverFindItLocked) {
  add_account();
  ASSERT_EQ(run({"settings", "set", "mcpExposureLevel", "full"}).exit_code, 0);
  for (int i = 0; i < 12; ++i)
    servers_.deliver(user_, "INBOX",
                     "From: s@example.com\r\nSubject: message " + std::to_string(i) +
                         "\r\nMessage-ID: <m" + std::to_string(i) +
                         "@example.com>\r\n\r\nbody\r\n");
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  std::vector<std::string> ids;
  for (const auto& [id, row] : rows()) ids.push_back(id);
  ASSERT_EQ(ids.size(), 12u);

  // Syncs rewrite the server's columns of every row while the others write theirs.
  std::atomic<bool> syncing = true;
  std::vector<ProcessResult> cli;
  std::thread cli_loop([&] {
    for (int i = 0; i < 4; ++i) {
      cli.push_back(run({"sync"}));
      cli.push_back(run({"mark", i % 2 ? "unstar" : "star", ids[i]}));
    }
    syncing = false;
  });
  ChildProcess first(KESTROVA_BINARY, {"--mcp-stdio"}, environment());
  ChildProcess second(KESTROVA_BINARY, {"--mcp-stdio"}, environment());
  std::set<std::string> tags;  // added to every message, answered as done
  std::string until;           // the reply-later date of the last round, which must stay
  for (int round = 0; round < 30 && (round < 3 || syncing); ++round) {
    until = "2030-01-0" + std::to_string(round % 9 + 1) + "T08:00:00Z";
    for (ChildProcess* server : {&first, &second}) {
      const std::string tag = "r" + std::to_string(round) + (server == &first ? "a" : "b");
      for (const auto& id : ids) {
        const std::string call =
            R"({"id":1,"method":"tools/call","params":{"arguments":{"messageId":")" + id;
        server->write(call + R"(","tag":")" + tag + R"("},"name":"add_tag"}})" + "\n");
        server->write(call + R"(","until":")" + until + R"("},"name":"set_reply_later"}})" + "\n");
      }
      tags.insert(tag);
      for (size_t i = 0; i < 2 * ids.size(); ++i) {
        const std::string answer = server->read_line().value_or("(none)");
        EXPECT_EQ(answer.find("rror"), std::string::npos) << answer;  // error, isError
      }
    }
  }
  cli_loop.join();
  for (const auto& result : cli) {
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err.find("警告"), std::string::npos) << result.err;
  }
  for (const auto& [id, row] : rows()) EXPECT_EQ(row, std::pair(tags, parse_iso8601(until)));
}

TEST_F(SharedDatabaseTest, MessagesWithoutMessageIdAreStoredOnceHoweverOftenSynced) {
  add_account();
  // Senders that the Unicode lower-casing and SQLite's LOWER would fold differently.
  for (const std::string from : {"b\xffob@example.com", "J\xc3\x96RG@example.com", "p@example.com"})
    servers_.deliver(user_, "INBOX",
                     "From: " + from + "\r\nSubject: no id from " + from +
                         "\r\nDate: Mon, 2 Dec 2024 10:00:00 +0000\r\n\r\nbody\r\n");
  for (int i = 0; i < 3; ++i) ASSERT_EQ(run({"sync"}).exit_code, 0);
  EXPECT_EQ(rows().size(), 3u);
}

}  // namespace
}  // namespace kestrova::testing
