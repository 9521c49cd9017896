// Another mail program changes the mailbox under Kestrova: it renumbers a folder while
// deletes wait in the change journal, expunges messages and moves them. Checked on the
// server through its Maildir and locally through the database, with python's imaplib as the
// other program.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>

#include "e2e/cli_fixture.h"
#include "store/database.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

struct Message {
  std::string subject;
  bool hasMessageId = false;
};

// Distinct dates, so that messages without a Message-ID differ in their envelopes.
std::string mail(const Message& m, int index) {
  std::string raw = "From: sender@example.com\r\nSubject: " + m.subject + "\r\n";
  if (m.hasMessageId) raw += "Message-ID: <msg" + std::to_string(index) + "@example.com>\r\n";
  return raw + "Date: Mon, 7 Dec 2026 09:" + (index < 10 ? "0" : "") + std::to_string(index) +
         ":00 +0000\r\n\r\nbody of " + m.subject + "\r\n";
}

class ServerChangesElsewhereTest : public CliTest {
 protected:
  fs::path db_path() const { return dir_.path() / "data/tivra/Email/email.db"; }

  std::vector<std::string> column(const std::string& sql, const std::string& arg = "") const {
    auto db = store::EmailDatabase::open(db_path());
    return db->read([&](store::Connection& c) {
      auto s = c.prepare(sql);
      if (!arg.empty()) s.bind(1, arg);
      std::vector<std::string> values;
      while (s.step()) values.push_back(s.text(0).value_or("(null)"));
      return values;
    });
  }
  std::string value(const std::string& sql, const std::string& arg = "") const {
    const auto values = column(sql, arg);
    return values.empty() ? "(none)" : values.front();
  }
  int pending() const { return std::stoi(value("SELECT COUNT(*) FROM pending_server_changes")); }
  std::string row_of(const std::string& subject) const {
    return value("SELECT id FROM email_messages WHERE subject = ?", subject);
  }
  // The subjects of the rows filed in `path`.
  std::set<std::string> local_subjects(const std::string& path) const {
    const auto values = column(
        "SELECT m.subject FROM email_messages m JOIN email_folders f ON f.id = m.folder_id "
        "WHERE f.path = ? AND m.uid IS NOT NULL",
        path);
    return {values.begin(), values.end()};
  }
  // The subjects the server holds in `folder`, read from the Maildir, with their flags.
  std::set<std::string> server_subjects(const MailServers& servers, const std::string& folder,
                                        bool withFlags = false) const {
    std::set<std::string> found;
    const fs::path dir = maildir_folder(servers.maildir_of(user_), folder);
    for (const char* sub : {"cur", "new"}) {
      if (!fs::exists(dir / sub)) continue;
      for (const auto& file : fs::directory_iterator(dir / sub)) {
        std::ifstream in(file.path());
        std::string line, subject;
        while (std::getline(in, line))
          if (line.starts_with("Subject: ")) subject = line.substr(9, line.size() - 10);
        const std::string name = file.path().filename().string();
        const size_t info = name.find(":2,");
        if (withFlags && info != std::string::npos && name.find('S', info) != std::string::npos)
          subject += " (seen)";
        found.insert(subject);
      }
    }
    return found;
  }

  void second_client(const MailServers& servers, const std::vector<std::string>& args) {
    std::vector<std::string> all = {KESTROVA_SOURCE_DIR "/tests/support/second_imap_client.py",
                                    servers.host, std::to_string(servers.imap_plain), user_,
                                    servers.password};
    all.insert(all.end(), args.begin(), args.end());
    const auto result = run_process("/usr/bin/python3", all, "");
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  }

  std::string call(const std::string& name, const std::string& subject,
                   const std::string& more = "") const {
    return R"({"name":")" + name + R"(","arguments":{"messageId":")" + row_of(subject) + "\"" +
           more + "}}";
  }

  void renumber_with_deletes_waiting(bool withoutSizes);
  void expunge_and_move_elsewhere(const MailServers& servers);
};

// The server renumbers a folder while deletes of messages without a Message-ID wait: the
// replay finds each message again under its new UID and deletes exactly those chosen; so
// also for rows stored before sizes were kept (`withoutSizes`).
void ServerChangesElsewhereTest::renumber_with_deletes_waiting(bool withoutSizes) {
  add_account();
  ASSERT_EQ(run({"settings", "set", "mcpExposureLevel", "full"}).exit_code, 0);
  const std::vector<std::pair<Message, bool>> messages = {
      // message, chosen for deletion
      {{"Nur heute: 20 % Rabatt"}, false},
      {{"Quarterly report draft"}, false},
      {{"Facture n° 75078"}, false},
      {{"Dinner on Friday"}, true},
      {{"Invoice 2231"}, true},
      {{"Re: holiday plans"}, true},
      {{"Team meeting notes", true}, false},
      {{"Newsletter", true}, true},
  };
  std::set<std::string> kept;
  for (size_t i = 0; i < messages.size(); ++i) {
    servers_.deliver(user_, "Work", mail(messages[i].first, static_cast<int>(i)));
    if (!messages[i].second) kept.insert(messages[i].first.subject);
  }
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  if (withoutSizes)
    store::EmailDatabase::open(db_path())->write(
        [](store::Connection& c) { c.execute("UPDATE email_messages SET rfc822_size = NULL"); });
  std::vector<std::string> calls = {call("mark_message_read", "Team meeting notes")};
  for (const auto& [message, chosen] : messages)
    if (chosen) calls.push_back(call("delete_message", message.subject));
  call_tools(calls);
  ASSERT_EQ(pending(), 5);

  second_client(servers_, {"renumber", "Work"});
  auto service = start_service();
  ASSERT_TRUE(until(*service, [&] { return pending() == 0; }));
  stop(*service);

  std::set<std::string> expected;
  for (const auto& subject : kept)
    expected.insert(subject == "Team meeting notes" ? subject + " (seen)" : subject);
  EXPECT_EQ(server_subjects(servers_, "Work", true), expected);
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  EXPECT_EQ(local_subjects("Work"), kept);
  // Every row of the folder names its message under the new numbering.
  EXPECT_EQ(value("SELECT COUNT(DISTINCT uid) FROM email_messages m JOIN email_folders f ON "
                  "f.id = m.folder_id WHERE f.path = ?",
                  "Work"),
            std::to_string(kept.size()));
}

TEST_F(ServerChangesElsewhereTest, RenumberedFolderLosesOnlyTheChosenMessages) {
  renumber_with_deletes_waiting(false);
}

TEST_F(ServerChangesElsewhereTest, RenumberedFolderLosesOnlyTheChosenMessagesWithoutSizes) {
  renumber_with_deletes_waiting(true);
}

// Between two syncs the server renumbers the folder before every command: each command that
// sends a UID notices it from its own SELECT and uses the message's new UID, never the old
// one (which now names another message: the renumbering reverses the order).
TEST_F(ServerChangesElsewhereTest, CommandsBetweenSyncsFollowARenumbering) {
  add_account();
  // Dated years back: the body prefetch of a sync leaves them on the server.
  auto old_mail = [](const std::string& subject, const std::string& extra,
                     const std::string& body) {
    return "From: sender@example.com\r\nSubject: " + subject + "\r\n" + extra +
           "Date: Mon, 6 Jan 2020 09:00:00 +0000\r\n" + body;
  };
  servers_.deliver(
      user_, "Work",
      old_mail("Alpha", "Message-ID: <alpha@example.com>\r\n", "\r\nbody of Alpha\r\n"));
  servers_.deliver(user_, "Work", old_mail("Beta", "", "\r\nbody of Beta\r\n"));
  servers_.deliver(user_, "Work",
                   old_mail("Gamma", "MIME-Version: 1.0\r\n",
                            "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
                            "Content-Type: text/plain\r\n\r\nbody of Gamma\r\n--b\r\n"
                            "Content-Type: text/plain; name=\"note.txt\"\r\n"
                            "Content-Disposition: attachment; filename=\"note.txt\"\r\n\r\n"
                            "attached words of Gamma\r\n--b--\r\n"));
  servers_.deliver(user_, "Work", old_mail("Delta", "", "\r\nbody of Delta\r\n"));
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  const std::string listing = run({"list", "--folder", "Work"}).out;
  auto id = [&](const std::string& subject) { return id_of(listing, subject); };
  // The attachment's part is known from a first reading, under the first numbering.
  ASSERT_EQ(run({"read", id("Gamma"), "--no-mark"}).exit_code, 0);
  const fs::path saved = dir_.path() / "note.txt";

  struct Case {
    std::vector<std::string> command;
    std::string expected;  // in the output, or in the saved file
  };
  const std::vector<Case> cases = {
      {{"read", id("Alpha")}, "body of Alpha"},
      {{"read", id("Beta"), "--no-mark"}, "body of Beta"},
      {{"raw", id("Delta")}, "body of Delta"},
      {{"attachment", "save", id("Gamma"), "note.txt", "-o", saved.string(), "--force"},
       "attached words of Gamma"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command.front());
    second_client(servers_, {"renumber", "Work"});
    const auto result = run(c.command);
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    std::string shown = result.out;
    if (c.command.front() == "attachment") {
      std::ifstream in(saved, std::ios::binary);
      shown.assign((std::istreambuf_iterator<char>(in)), {});
    }
    EXPECT_NE(shown.find(c.expected), std::string::npos) << shown;
  }
  // Every row names its own message under the last numbering.
  EXPECT_EQ(value("SELECT COUNT(DISTINCT uid) FROM email_messages m JOIN email_folders f ON "
                  "f.id = m.folder_id WHERE f.path = ?",
                  "Work"),
            "4");
}

// Another program expunges and moves messages: the next sync and the running service drop
// what the server no longer has, a moved message keeps its tag, and a change waiting for a
// vanished message is dropped.
void ServerChangesElsewhereTest::expunge_and_move_elsewhere(const MailServers& servers) {
  add_account(servers);
  ASSERT_EQ(run({"settings", "set", "mcpExposureLevel", "full"}).exit_code, 0);
  const std::vector<Message> inbox = {{"keep", true},  {"gone one", true}, {"gone two", true},
                                      {"moved", true}, {"gone plain"},     {"later gone", true}};
  for (size_t i = 0; i < inbox.size(); ++i)
    servers.deliver(user_, "INBOX", mail(inbox[i], static_cast<int>(i)));
  servers.deliver(user_, "Archive", mail({"archived", true}, 20));
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  call_tools(
      {call("add_tag", "moved", R"(,"tag":"follow")"), call("mark_message_read", "gone two")});
  ASSERT_EQ(pending(), 1);

  second_client(servers, {"expunge", "INBOX", "gone one", "gone two", "gone plain"});
  second_client(servers, {"move", "INBOX", "Archive", "moved"});
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  EXPECT_EQ(local_subjects("INBOX"), (std::set<std::string>{"keep", "later gone"}));
  EXPECT_EQ(local_subjects("Archive"), (std::set<std::string>{"archived", "moved"}));
  EXPECT_EQ(value("SELECT ai_tags FROM email_messages WHERE subject = 'moved'"), R"(["follow"])");
  EXPECT_EQ(pending(), 0);
  EXPECT_EQ(value("SELECT COUNT(*) FROM email_messages WHERE subject LIKE 'gone%'"), "0");
  const std::string found = run({"search", "gone"}).out;
  for (const char* subject : {"gone one", "gone two", "gone plain"})
    EXPECT_EQ(found.find(subject), std::string::npos) << found;

  auto service = start_service();
  second_client(servers, {"expunge", "INBOX", "later gone"});
  // The service follows an expunge that lands while it starts (before or after its IDLE
  // session selects the inbox); a busy machine can hold its start-up receive for several
  // seconds, so the wait is a minute rather than until()'s usual six seconds.
  bool dropped = false;
  for (int round = 0; round < 10 && !dropped; ++round)
    dropped = until(*service,
                    [&] { return local_subjects("INBOX") == std::set<std::string>{"keep"}; });
  EXPECT_TRUE(dropped);
  stop(*service);
}

// Dovecot offers QRESYNC: expunges arrive as VANISHED (EARLIER).
TEST_F(ServerChangesElsewhereTest, MessagesExpungedElsewhereLeaveTheStoreWithQresync) {
  expunge_and_move_elsewhere(servers_);
}

// A server without CONDSTORE and QRESYNC: the listed UIDs are compared with the stored ones.
TEST_F(ServerChangesElsewhereTest, MessagesExpungedElsewhereLeaveTheStoreByUidSets) {
  PrivateMailServers plain("imap_capability = IMAP4rev1 LITERAL+ UIDPLUS MOVE IDLE ENABLE");
  expunge_and_move_elsewhere(plain.servers());
}

}  // namespace
}  // namespace kestrova::testing
