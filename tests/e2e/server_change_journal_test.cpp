// The agent's changes reach the server: the tool server journals them, `kestrova run`
// replays them against Dovecot, and syncs in between leave them alone. Checked on the
// server through its Maildir.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include "e2e/cli_fixture.h"
#include "store/database.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

std::string mail(const std::string& id) {
  return "From: s@example.com\r\nSubject: " + id + "\r\nMessage-ID: <" + id +
         "@example.com>\r\nDate: Mon, 7 Dec 2026 09:00:00 +0000\r\n\r\nbody\r\n";
}

class ServerChangeJournalTest : public CliTest {
 protected:
  fs::path db_path() const { return dir_.path() / "data/tivra/Email/email.db"; }

  // The first column of the first row of `sql` with `arg` bound, as text.
  std::string value(const std::string& sql, const std::string& arg = "") const {
    auto db = store::EmailDatabase::open(db_path());
    return db->read([&](store::Connection& c) {
      auto s = c.prepare(sql);
      if (!arg.empty()) s.bind(1, arg);
      return s.step() ? s.text(0).value_or("") : std::string("(none)");
    });
  }
  int pending() const { return std::stoi(value("SELECT COUNT(*) FROM pending_server_changes")); }
  std::string row_of(const std::string& id) const {
    return value("SELECT id FROM email_messages WHERE message_id = ?", "<" + id + "@example.com>");
  }
  std::string folder_id(const std::string& path) const {
    return value("SELECT id FROM email_folders WHERE path = ?", path);
  }
  // Folder path, read and starred of the message's row.
  std::string local_state(const std::string& id) const {
    return value(
        "SELECT f.path || ' ' || m.is_read || m.is_starred || m.is_deleted FROM email_messages m "
        "JOIN email_folders f ON f.id = m.folder_id WHERE m.message_id = ?",
        "<" + id + "@example.com>");
  }

  // Message-ID (without brackets and domain) -> Maildir flags of every message in `folder`.
  std::multimap<std::string, std::string> on_server(const std::string& folder,
                                                    const MailServers* servers = nullptr) const {
    std::multimap<std::string, std::string> found;
    const fs::path dir = maildir_folder((servers ? *servers : servers_).maildir_of(user_), folder);
    for (const char* sub : {"cur", "new"}) {
      if (!fs::exists(dir / sub)) continue;
      for (const auto& file : fs::directory_iterator(dir / sub)) {
        std::ifstream in(file.path());
        std::string line, id;
        while (std::getline(in, line))
          if (line.starts_with("Message-ID: <")) id = line.substr(13, line.find('@') - 13);
        const std::string name = file.path().filename().string();
        const size_t info = name.find(":2,");
        found.emplace(id, info == std::string::npos ? "" : name.substr(info + 3));
      }
    }
    return found;
  }

  static std::string call(const std::string& name, const std::string& arguments) {
    return R"({"name":")" + name + R"(","arguments":{)" + arguments + "}}";
  }
  std::string message_arg(const std::string& id) const {
    return R"("messageId":")" + row_of(id) + R"(")";
  }
};

TEST_F(ServerChangeJournalTest, AgentChangesReachTheServerOnceAndSyncsLeaveThemAlone) {
  add_account();
  ASSERT_EQ(run({"settings", "set", "mcpExposureLevel", "full"}).exit_code, 0);
  for (const char* id : {"read-me", "star-me", "move-me", "delete-me"})
    servers_.deliver(user_, "INBOX", mail(id));
  servers_.deliver(user_, "Archive", mail("archived"));
  servers_.deliver(user_, "Later", mail("later"));
  servers_.deliver(user_, "Trash", mail("trashed"));
  ASSERT_EQ(run({"sync"}).exit_code, 0);

  // Moved twice before any replay: one entry, one move from INBOX to Archive.
  call_tools({call("mark_message_read", message_arg("read-me")),
              call("set_message_starred", message_arg("star-me") + R"(,"isStarred":true)"),
              call("move_message",
                   message_arg("move-me") + R"(,"targetFolderId":")" + folder_id("Later") + R"(")"),
              call("move_message", message_arg("move-me") + R"(,"targetFolderId":")" +
                                       folder_id("Archive") + R"(")"),
              call("delete_message", message_arg("delete-me"))});
  EXPECT_EQ(pending(), 4);
  // Once the server deleted it, the next sync removes the deleted message's row.
  const auto expect_local = [&](bool replayed) {
    EXPECT_EQ(local_state("read-me"), "INBOX 100");
    EXPECT_EQ(local_state("star-me"), "INBOX 010");
    EXPECT_EQ(local_state("move-me"), "Archive 000");
    EXPECT_EQ(local_state("delete-me"), replayed ? "(none)" : "INBOX 001");
  };
  ASSERT_EQ(run({"sync"}).exit_code, 0);  // the server still says otherwise
  expect_local(false);
  EXPECT_NE(run({"status"}).out.find("待同步到服务器的更改: 4 项"), std::string::npos);

  const fs::path before_replay = dir_.path() / "before-replay.db";
  fs::copy_file(db_path(), before_replay);
  const std::multimap<std::string, std::string> inbox = {{"read-me", "S"}, {"star-me", "F"}};
  const std::multimap<std::string, std::string> archive = {{"archived", ""}, {"move-me", ""}};
  // The second round starts from the journal as it was before the first: as if the first had
  // been killed after the server applied everything and before any entry left the journal.
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    if (round == 1) fs::copy_file(before_replay, db_path(), fs::copy_options::overwrite_existing);
    auto service = start_service();
    ASSERT_TRUE(until(*service, [&] { return pending() == 0; }));
    stop(*service, SIGTERM);
    EXPECT_EQ(on_server("INBOX"), inbox);
    EXPECT_EQ(on_server("Archive"), archive);
    EXPECT_EQ(on_server("Later").size(), 1u);
  }
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  expect_local(true);
  EXPECT_EQ(run({"status"}).out.find("待同步"), std::string::npos);
  // After the replay and the sync the search follows the server: the deleted message is gone
  // everywhere, the moved one is found where it went.
  for (const auto& [query, found] : {std::pair{"delete-me", false},
                                     {"delete-me folder:trash", false},
                                     {"move-me folder:inbox", false},
                                     {"move-me folder:archive", true}})
    EXPECT_EQ(run({"search", query}).out.find(std::string(query).substr(0, 7)) != std::string::npos,
              found)
        << query;
}

TEST_F(ServerChangeJournalTest, ServiceKilledMidReplayLosesNothingAndAppliesNothingTwice) {
  add_account();
  ASSERT_EQ(run({"settings", "set", "mcpExposureLevel", "full"}).exit_code, 0);
  const std::vector<std::string> targets = {"A", "B", "C"};
  for (const auto& target : targets) servers_.deliver(user_, target, mail("in-" + target));
  constexpr int kCount = 60;
  for (int i = 0; i < kCount; ++i) servers_.deliver(user_, "INBOX", mail("m" + std::to_string(i)));
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  std::vector<std::string> calls;
  for (int i = 0; i < kCount; ++i) {
    const std::string id = "m" + std::to_string(i);
    calls.push_back(call("mark_message_read", message_arg(id)));
    calls.push_back(call("move_message", message_arg(id) + R"(,"targetFolderId":")" +
                                             folder_id(targets[i % 3]) + R"(")"));
  }
  call_tools(calls);
  ASSERT_EQ(pending(), 2 * kCount);

  auto service = start_service();
  ASSERT_TRUE(until(*service, [&] { return pending() < 2 * kCount; }));
  stop(*service, SIGKILL);
  service = start_service();
  ASSERT_TRUE(until(*service, [&] { return pending() == 0; }));
  stop(*service, SIGTERM);

  EXPECT_TRUE(on_server("INBOX").empty());
  for (int t = 0; t < 3; ++t) {
    std::multimap<std::string, std::string> expected = {{"in-" + targets[t], ""}};
    for (int i = t; i < kCount; i += 3) expected.emplace("m" + std::to_string(i), "S");
    EXPECT_EQ(on_server(targets[t]), expected) << targets[t];
  }
}

// Without MOVE a move is COPY, then removal. A replay stopped between the two left the
// message in both folders; the next one only takes it out of the source.
TEST_F(ServerChangeJournalTest, MoveInterruptedAfterItsCopyIsNotCopiedAgain) {
  PrivateMailServers without_move("imap_capability = IMAP4rev1 LITERAL+ UIDPLUS IDLE ENABLE");
  const MailServers& servers = without_move.servers();
  add_account(servers);
  ASSERT_EQ(run({"settings", "set", "mcpExposureLevel", "full"}).exit_code, 0);
  servers.deliver(user_, "INBOX", mail("moving"));
  servers.deliver(user_, "Archive", mail("archived"));
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  call_tools({call("move_message", message_arg("moving") + R"(,"targetFolderId":")" +
                                       folder_id("Archive") + R"(")")});
  servers.deliver(user_, "Archive", mail("moving"));  // the copy the stopped replay made
  {
    auto db = store::EmailDatabase::open(db_path());
    db->write([](store::Connection& c) {
      c.execute("UPDATE pending_server_changes SET started_at = 1");
    });
  }
  auto service = start_service();
  ASSERT_TRUE(until(*service, [&] { return pending() == 0; }));
  stop(*service, SIGTERM);
  EXPECT_TRUE(on_server("INBOX", &servers).empty());
  EXPECT_EQ(on_server("Archive", &servers).size(), 2u);
}

// The command line's changes take the journal's road: offline each is made locally and kept
// (status 3 with the count); the next command with the server reachable sends them all.
TEST_F(ServerChangeJournalTest, CommandLineChangesWaitOfflineAndReachTheServer) {
  add_account();
  for (const char* id : {"c-read", "c-star", "c-move", "c-spam", "c-delete", "c-online"})
    servers_.deliver(user_, "INBOX", mail(id));
  for (const char* folder : {"Archive", "Junk", "Trash"})
    servers_.deliver(user_, folder, mail(std::string("in-") + folder));
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  const auto set_imap_port = [&](const std::string& port) {
    auto db = store::EmailDatabase::open(db_path());
    db->write([&](store::Connection& c) {
      auto s = c.prepare("UPDATE email_accounts SET imap_port = ?");
      s.bind(1, port);
      s.run();
    });
  };
  set_imap_port("1");  // nothing listens there
  const struct {
    std::vector<std::string> args;  // the message's row id goes after them
    const char* id;
    std::vector<std::string> after;
    const char* local;
  } cases[] = {
      {{"mark", "read"}, "c-read", {}, "INBOX 100"},
      {{"mark", "star"}, "c-star", {}, "INBOX 010"},
      {{"move"}, "c-move", {"Archive"}, "Archive 000"},
      {{"spam"}, "c-spam", {}, "Junk 000"},
      {{"delete"}, "c-delete", {}, "Trash 000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    auto args = c.args;
    args.push_back(row_of(c.id));
    args.insert(args.end(), c.after.begin(), c.after.end());
    const auto result = run(args);
    EXPECT_EQ(result.exit_code, 3) << result.out << result.err;
    EXPECT_NE(result.err.find("1 项更改已保存在本地"), std::string::npos) << result.err;
    EXPECT_EQ(local_state(c.id), c.local);
  }
  EXPECT_EQ(pending(), 5);
  EXPECT_EQ(on_server("INBOX").size(), 6u);

  set_imap_port(std::to_string(servers_.imap_plain));
  {
    auto db = store::EmailDatabase::open(db_path());
    db->write([](store::Connection& c) {
      c.execute("UPDATE pending_server_changes SET next_attempt_at = NULL");  // backoff over
    });
  }
  const auto online = run({"mark", "star", row_of("c-online")});
  EXPECT_EQ(online.exit_code, 0) << online.err;
  EXPECT_EQ(pending(), 0);
  using Flags = std::multimap<std::string, std::string>;
  EXPECT_EQ(on_server("INBOX"), (Flags{{"c-read", "S"}, {"c-star", "F"}, {"c-online", "F"}}));
  EXPECT_EQ(on_server("Archive"), (Flags{{"in-Archive", ""}, {"c-move", ""}}));
  EXPECT_EQ(on_server("Junk"), (Flags{{"in-Junk", ""}, {"c-spam", ""}}));
  EXPECT_EQ(on_server("Trash"), (Flags{{"in-Trash", ""}, {"c-delete", ""}}));
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  EXPECT_EQ(local_state("c-move"), "Archive 000");
}

TEST_F(ServerChangeJournalTest, GmailViewsTakeNothingFromTheInbox) {
  add_account();
  for (int i = 0; i < 5; ++i) {
    const std::string id = "inbox" + std::to_string(i);
    servers_.deliver(user_, "INBOX", mail(id));
    servers_.deliver(user_, "All Mail", mail(id));
    if (i < 2) servers_.deliver(user_, "Starred", mail(id));
  }
  for (int i = 0; i < 3; ++i)
    servers_.deliver(user_, "All Mail", mail("archived" + std::to_string(i)));
  const auto count_in = [&](const std::string& path) {
    return value(
        "SELECT COUNT(*) FROM email_messages m JOIN email_folders f ON f.id = m.folder_id "
        "WHERE f.path = ?",
        path);
  };
  for (int pass = 0; pass < 2; ++pass) {
    ASSERT_EQ(run({"sync"}).exit_code, 0);
    EXPECT_EQ(count_in("INBOX"), "5") << pass;
    EXPECT_EQ(count_in("All Mail"), "3") << pass;
    EXPECT_EQ(count_in("Starred"), "0") << pass;
  }
}

TEST_F(ServerChangeJournalTest, UndoTakesBackTheLastCommandAndTheServerFollows) {
  add_account();
  for (const char* id : {"u-1", "u-2", "u-gone"}) servers_.deliver(user_, "INBOX", mail(id));
  for (const char* folder : {"Archive", "Junk", "Trash"})
    servers_.deliver(user_, folder, mail(std::string("in-") + folder));
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  EXPECT_NE(run({"undo"}).out.find("没有可撤销的更改"), std::string::npos);

  const std::vector<std::vector<std::string>> commands = {
      {"mark", "read"}, {"mark", "star"}, {"move"}, {"spam"}, {"delete"}};
  for (const auto& command : commands) {
    SCOPED_TRACE(command[0] + (command.size() > 1 ? " " + command[1] : ""));
    auto args = command;
    args.insert(args.end(), {row_of("u-1"), row_of("u-2")});
    if (command[0] == "move") args.push_back("Archive");
    ASSERT_EQ(run(args).exit_code, 0);
    EXPECT_NE(local_state("u-1"), "INBOX 000");
    const auto undone = run({"undo"});
    EXPECT_EQ(undone.exit_code, 0) << undone.err;
    EXPECT_EQ(local_state("u-1"), "INBOX 000");
    EXPECT_EQ(local_state("u-2"), "INBOX 000");
    EXPECT_EQ(pending(), 0);
    const auto inbox = on_server("INBOX");
    EXPECT_EQ(inbox.count("u-1"), 1u);
    EXPECT_EQ(inbox.find("u-2")->second, "");
    // A second undo has nothing left to take back.
    EXPECT_NE(run({"undo"}).out.find("没有可撤销的更改"), std::string::npos);
  }

  // A message that left the store meanwhile is named and skipped; a permanent delete
  // cannot be undone.
  ASSERT_EQ(run({"move", row_of("u-gone"), "Archive"}).exit_code, 0);
  {
    auto db = store::EmailDatabase::open(db_path());
    db->write([&](store::Connection& c) {
      auto s = c.prepare("DELETE FROM email_messages WHERE message_id = '<u-gone@example.com>'");
      s.run();
    });
  }
  const auto skipped = run({"undo"});
  EXPECT_EQ(skipped.exit_code, 0) << skipped.err;
  EXPECT_NE(skipped.err.find("u-gone"), std::string::npos) << skipped.err;
  ASSERT_EQ(run({"delete", "--permanent", "--yes", row_of("u-2")}).exit_code, 0);
  const auto after_permanent = run({"undo"});
  EXPECT_EQ(after_permanent.exit_code, 1);
  EXPECT_NE(after_permanent.err.find("无法撤销"), std::string::npos) << after_permanent.err;
  EXPECT_EQ(on_server("INBOX").count("u-2"), 0u);
}

}  // namespace
}  // namespace kestrova::testing
