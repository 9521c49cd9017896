// Local-only accounts, folder management and drafts on the server, as a user and an agent
// meet them: the program and its service as real processes, the loopback Dovecot checked
// directly (an IMAP session of the test's own, the Maildir on disk).

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "e2e/cli_fixture.h"
#include "mail/libetpan_imap_session.h"
#include "store/database.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

class LocalFoldersDraftsTest : public CliTest {
 protected:
  int64_t count(const std::string& sql) {
    auto db = store::EmailDatabase::open(dir_.path() / "data" / "tivra" / "Email" / "email.db");
    return db->read([&](store::Connection& c) {
      auto s = c.prepare(sql);
      s.step();
      return s.integer(0).value_or(-1);
    });
  }

  // The folder names Dovecot lists for the test's user, through a session of the test's own.
  std::vector<std::string> server_folders() {
    auto session = mail::LibEtPanIMAPSession::initWithHost(servers_.host, servers_.imap_plain,
                                                           "startTLS", user_, servers_.password);
    session->setCertificateTrust(
        {.fingerprint = {}, .caFile = servers_.ca_file.string(), .trustCommand = {}});
    EXPECT_TRUE(session->connectWithError() && session->loginWithError());
    auto names = session->fetchFoldersWithError();
    return names.value_or(std::vector<std::string>{});
  }

  // The file names (with their Maildir flags) of the test user's Drafts folder.
  std::vector<std::string> draft_files() {
    std::vector<std::string> names;
    const fs::path cur = servers_.maildir_of(user_) / ".Drafts" / "cur";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(cur, ec))
      names.push_back(entry.path().filename());
    return names;
  }

  ProcessResult tool(const std::string& arguments) {
    return run(
        {"--mcp-stdio"},
        R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"create_draft","arguments":)" +
            arguments + "}}\n");
  }
};

bool contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

TEST_F(LocalFoldersDraftsTest, OldMaildirImportsIntoALocalOnlyAccount) {
  const fs::path box = dir_.path() / "old-maildir";
  fs::create_directories(box / "new");
  fs::create_directories(box / "cur");
  std::ofstream(box / "cur" / "1700000000.1.host:2,S")
      << "From: a@example.org\nSubject: Kept\nMessage-ID: <k1@x>\nDate: Tue, 14 Nov 2023 "
         "22:13:20 +0000\n\nOld words.\n";
  std::ofstream(box / "new" / "1700000001.2.host") << "From: b@example.org\nSubject: Unread\n"
                                                      "Message-ID: <k2@x>\n\nMore.\n";
  auto result = run({"account", "add", "--local", "--email", "old@example.org", "--name", "Old"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  result = run({"account", "add", "--local", "--email", "x@example.org", "--imap-host", "h"});
  EXPECT_NE(result.exit_code, 0);  // a local account takes no servers

  ASSERT_EQ(run({"folder", "create", "Archive", "--account", "old@example.org"}).exit_code, 0);
  result = run(
      {"import", "--maildir", box.string(), "--account", "old@example.org", "--folder", "Archive"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(
      count("SELECT COUNT(*) FROM email_messages m JOIN email_folders f ON f.id = m.folder_id "
            "WHERE f.path = 'Archive' AND m.is_body_loaded = 1"),
      2);
  EXPECT_EQ(result.out.find("--upload"), std::string::npos) << result.out;

  // Nothing here reaches for a server: sync refuses the account, server actions stay local.
  EXPECT_NE(run({"sync", "--account", "old@example.org"}).exit_code, 0);
  const std::string unread =
      id_of(run({"list", "--account", "old@example.org", "--folder", "Archive"}).out, "Unread");
  for (const std::vector<std::string>& action : {std::vector<std::string>{"mark", "read", unread},
                                                 {"move", unread, "INBOX"},
                                                 {"spam", unread},
                                                 {"delete", unread},
                                                 {"delete", "--permanent", "--yes", unread}}) {
    result = run(action);
    EXPECT_EQ(result.exit_code, 0) << action[0] << ": " << result.err;
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages"), 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_folders WHERE type IN ('spam', 'trash')"), 2);
}

TEST_F(LocalFoldersDraftsTest, FolderChangesReachTheServer) {
  add_account();
  auto result = run({"folder", "create", "Projects"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(contains(server_folders(), "Projects"));

  result = run({"folder", "rename", "Projects", "Clients"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  auto folders = server_folders();
  EXPECT_TRUE(contains(folders, "Clients") && !contains(folders, "Projects"));
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_folders WHERE path = 'Clients'"), 1);

  // An archive uploaded twice lands once; the folder with mail then needs --yes when no one
  // can be asked, and INBOX is never deleted.
  const fs::path mbox = dir_.path() / "old.mbox";
  std::ofstream(mbox) << "From c@example.org Tue Nov 14 22:13:20 2023\nFrom: c@example.org\n"
                         "Subject: Offer\nMessage-ID: <offer@x>\n\nx\n";
  for (int i = 0; i < 2; ++i) {
    result = run(
        {"import", "--mbox", mbox.string(), "--account", user_, "--folder", "Clients", "--upload"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
  }
  EXPECT_EQ(servers_.stored_messages(user_, "Clients").size(), 1u);
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  EXPECT_EQ(run({"folder", "delete", "Clients"}).exit_code, 2);
  EXPECT_NE(run({"folder", "delete", "INBOX", "--yes"}).exit_code, 0);
  result = run({"folder", "delete", "Clients", "--yes"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  folders = server_folders();
  EXPECT_FALSE(contains(folders, "Clients"));
  EXPECT_TRUE(contains(folders, "INBOX"));
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_folders WHERE path = 'Clients'"), 0);
}

TEST_F(LocalFoldersDraftsTest, AgentDraftIsFiledOnTheServerAndReplacedWhenEdited) {
  add_account();
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  const std::string id = "0B6E2A1C-7D3F-4E5A-9B8C-1D2E3F4A5B6C";
  auto created = tool(
      R"({"draftId":")" + id +
      R"(","subject":"Plan v1","body":"First.","to":"x@example.org","bcc":"hidden@example.org"})");
  ASSERT_NE(created.out.find("Plan v1"), std::string::npos) << created.out << created.err;

  auto env = environment();
  env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent");
  env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent");
  ChildProcess service(KESTROVA_BINARY, {"run"}, env);
  auto drafts_are = [&](const std::string& subject) {
    for (int i = 0; i < 300; ++i) {
      const auto stored = servers_.stored_messages(user_, "Drafts");
      if (stored.size() == 1 && stored[0].find("Subject: " + subject) != std::string::npos)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  ASSERT_TRUE(drafts_are("Plan v1"));
  EXPECT_NE(servers_.stored_messages(user_, "Drafts")[0].find("Bcc: hidden@example.org"),
            std::string::npos);
  auto files = draft_files();
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0].substr(files[0].find(":2,")).find('D'), std::string::npos) << files[0];

  // The agent edits the same draft: the server keeps one copy, the new one.
  tool(R"({"draftId":")" + id + R"(","subject":"Plan v2","body":"Second.","to":"x@example.org"})");
  EXPECT_TRUE(drafts_are("Plan v2"));
  kill(service.pid(), SIGTERM);
  EXPECT_EQ(service.wait(20000), 0);

  // A sync brings the copy back as the same draft, not a second one; deleting removes both.
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  auto listed = run({"draft", "list"});
  EXPECT_EQ(listed.out.find("Plan v2"), listed.out.rfind("Plan v2")) << listed.out;
  auto deleted = run({"draft", "delete", "--yes", id.substr(0, 8)});
  ASSERT_EQ(deleted.exit_code, 0) << deleted.err;
  EXPECT_TRUE(servers_.stored_messages(user_, "Drafts").empty());
  EXPECT_EQ(run({"draft", "list"}).out.find("Plan"), std::string::npos);
}

// A server that marks its drafts folder (RFC 6154 \Drafts) under another name, beside an
// unmarked "Drafts" another client left: the sync takes the marked folder for the drafts
// folder, the agent's draft is written there (no second drafts folder here), and the
// service files it there on the server.
TEST_F(LocalFoldersDraftsTest, DraftsGoToTheFolderTheServerMarksAsDrafts) {
  add_account();
  servers_.deliver(user_, "Drafts",
                   "From: a@example.org\r\nSubject: Leftover\r\nMessage-ID: <left@x>\r\n\r\nx\r\n");
  servers_.deliver(
      user_, "Entwürfe",
      "From: " + user_ + "\r\nSubject: Halb fertig\r\nMessage-ID: <half@x>\r\n\r\ny\r\n");
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_folders WHERE path = 'Entwürfe' AND type = 'drafts'"),
            1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_folders WHERE path = 'Drafts' AND type = 'custom'"),
            1);

  auto created = tool(R"({"subject":"Angebot","body":"Erster Entwurf.","to":"x@example.org"})");
  ASSERT_NE(created.out.find("Angebot"), std::string::npos) << created.out << created.err;
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages m JOIN email_folders f ON f.id = "
                  "m.folder_id WHERE m.subject = 'Angebot' AND f.path = 'Entwürfe'"),
            1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_folders WHERE type = 'drafts'"), 1);
  const auto listed = run({"draft", "list"});
  EXPECT_NE(listed.out.find("Halb fertig"), std::string::npos) << listed.out;
  EXPECT_NE(listed.out.find("Angebot"), std::string::npos) << listed.out;

  auto env = environment();
  env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent");
  env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent");
  ChildProcess service(KESTROVA_BINARY, {"run"}, env);
  bool filed = false;
  for (int i = 0; i < 300 && !filed; ++i) {
    for (const auto& stored : servers_.stored_messages(user_, "Entwürfe"))
      filed = filed || stored.find("Subject: Angebot") != std::string::npos;
    if (!filed) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(service.pid(), SIGTERM);
  EXPECT_EQ(service.wait(20000), 0);
  EXPECT_TRUE(filed);
  EXPECT_EQ(servers_.stored_messages(user_, "Entwürfe").size(), 2u);
  const auto leftover = servers_.stored_messages(user_, "Drafts");
  ASSERT_EQ(leftover.size(), 1u);
  EXPECT_NE(leftover[0].find("Leftover"), std::string::npos);
}

}  // namespace
}  // namespace kestrova::testing
