// The account service's folder and message operations and the sync flow, against the real
// Dovecot and a mail database in a temporary directory: what a sync stores, what a body
// load decodes, that the background loader delivers exactly the remainder, and what fails
// without the network.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "mail/email_body_prefetcher.h"
#include "mail/email_message_conversion.h"
#include "mail/email_service.h"
#include "mail/email_sync_flow.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/folder_sync_state.h"
#include "support/mail_servers.h"
#include "support/scripted_imap_server.h"
#include "support/test_support.h"
#include "util/uuid.h"

namespace kestrova::mail {
namespace {

using store::EmailFolder;
using store::EmailFolderType;
using store::EmailMessage;

// ---- conversion rules ----

TEST(EmailMessageConversionTest, HeaderDatesInEveryForm) {
  const double expected = 1704189600;  // 2024-01-02 10:00:00 UTC
  EXPECT_EQ(parse_header_date("Tue, 2 Jan 2024 10:00:00 +0000"), expected);
  EXPECT_EQ(parse_header_date("Tue, 2 Jan 2024 18:00:00 +0800"), expected);
  EXPECT_EQ(parse_header_date("2 Jan 2024 05:00:00 -0500"), expected);
  EXPECT_EQ(parse_header_date("2 Jan 2024 10:00:00"), expected);
  EXPECT_EQ(parse_header_date("Tue, 2 Jan 2024 10:00:00 +0000 (UTC)"), expected);
  // Obsolete forms through the RFC 5322 grammar.
  EXPECT_EQ(parse_header_date("Tue, 2 Jan 24 05:00:00 EST"), expected);
  EXPECT_FALSE(parse_header_date("yesterday"));
  EXPECT_FALSE(parse_header_date(""));
  // The common forms are read without the formatter; the values are the formatter's.
  const std::vector<std::pair<std::string, double>> common = {
      {"Mon, 2 Jan 2024 10:00:00 +0000", expected},  // a weekday that is not the date's
      {"Tue, 02 Jan 2024 10:00:00 +0000", expected},
      {"2 Jan 2024 10:00:00 -0130", expected + 5400},
      {"Thu, 29 Feb 2024 23:59:59 +1400", 1709200799},
      {"1 Mar 1600 00:00:00 +0000", -11670912000},
      {"2 Jan 2024 10:00:60 +0000", expected + 60},
  };
  for (const auto& [text, seconds] : common) EXPECT_EQ(parse_header_date(text), seconds) << text;
  EXPECT_FALSE(parse_header_date("2 Jan 2024 24:00:00 +0000"));
}

// ---- against the server ----

std::string raw_message(const std::string& subject, const std::string& body,
                        const std::string& messageId, const std::string& extra = "",
                        const std::string& date = "Tue, 2 Jan 2024 10:00:00 +0000") {
  std::string raw = "From: Sender <sender@example.com>\r\nTo: user@kestrova.test\r\nSubject: " +
                    subject + "\r\nDate: " + date + "\r\n";
  if (!messageId.empty()) raw += "Message-ID: " + messageId + "\r\n";
  return raw + extra + "\r\n" + body + "\r\n";
}

// A fresh user on the loopback Dovecot with a mail database in a temporary home, and the
// account service and sync flow over them.
class EmailSyncTest : public ::testing::Test {
 protected:
  EmailSyncTest() {
    account_.id = new_uuid();
    account_.emailAddress = user_;
    account_.imapHost = servers_.host;
    account_.imapPort = servers_.imap_plain;
    account_.imapEncryption = store::EmailEncryption::none;
    account_.smtpHost = servers_.host;
    account_.smtpPort = servers_.smtp_no_tls;
    store_.saveAccount(account_);
    service_.setDatabase(db_.get());
  }

  std::vector<store::EmailFolder> syncFolders() { return flow_.syncFolders(account_, password_); }

  store::EmailFolder folderAt(const std::string& path) {
    for (const auto& f : syncFolders())
      if (f.path == path) return f;
    ADD_FAILURE() << "no folder " << path;
    return {};
  }

  std::vector<store::EmailMessage> stored(const store::EmailFolder& folder) {
    return store_.loadMessages(folder, 100000);
  }

  testing::TempDir dir_;
  testing::ScopedHome home_{dir_.path()};
  const testing::MailServers& servers_ = testing::MailServers::shared();
  const std::string user_ = servers_.fresh_user();
  const std::optional<std::string> password_ = servers_.password;
  std::unique_ptr<store::EmailDatabase> db_ = store::EmailDatabase::open(dir_.path() / "email.db");
  platform::SettingsStore settings_{dir_.path() / "settings.json"};
  store::EmailStore store_{*db_, settings_};
  EmailService service_;
  EmailSyncFlow flow_{store_, service_};
  store::EmailAccount account_;
};

TEST_F(EmailSyncTest, FoldersAreStoredOnceWithDecodedNamesAndTypes) {
  servers_.deliver(user_, "INBOX", raw_message("a", "b", "<f1@x>"));
  servers_.deliver(user_, "Sent", raw_message("a", "b", "<f2@x>"));
  servers_.deliver(user_, "Junk", raw_message("a", "b", "<f3@x>"));
  servers_.deliver(user_, "项目", raw_message("a", "b", "<f4@x>"));
  servers_.deliver(user_, "Work.2024", raw_message("a", "b", "<f5@x>"));

  const auto first = syncFolders();
  std::map<std::string, EmailFolder> byPath;
  for (const auto& f : first) byPath[f.path] = f;
  ASSERT_TRUE(byPath.count("INBOX"));
  EXPECT_EQ(byPath["INBOX"].type, EmailFolderType::inbox);
  EXPECT_EQ(byPath["Sent"].type, EmailFolderType::sent);
  EXPECT_EQ(byPath["Junk"].type, EmailFolderType::spam);
  ASSERT_TRUE(byPath.count("项目"));
  EXPECT_EQ(byPath["项目"].name, "项目");
  EXPECT_EQ(byPath["项目"].type, EmailFolderType::custom);
  EXPECT_TRUE(byPath.count("Work.2024") || byPath.count("Work/2024"));

  // A second listing keeps the rows (same ids, no new rows).
  const auto second = syncFolders();
  ASSERT_EQ(second.size(), first.size());
  for (const auto& f : second) EXPECT_EQ(f.id, byPath[f.path].id) << f.path;
}

TEST_F(EmailSyncTest, BackgroundLoaderDeliversExactlyTheRemainder) {
  constexpr int kMessages = 1075;
  for (int i = 0; i < kMessages; ++i)
    servers_.deliver(user_, "INBOX",
                     raw_message("Bulk " + std::to_string(i), "body", "<bulk" + std::to_string(i) + "@x>"));
  const EmailFolder inbox = folderAt("INBOX");

  std::vector<size_t> chunks;
  std::set<uint32_t> backgroundUids;
  std::mutex lock;
  size_t completedWith = 0;
  auto first = service_.syncMessages(
      account_, password_, inbox, std::nullopt, 5000, false,
      [&](std::vector<EmailMessage> chunk) {
        std::lock_guard guard(lock);
        chunks.push_back(chunk.size());
        for (const auto& m : chunk) backgroundUids.insert(*m.uid);
      },
      [&](size_t delivered) { completedWith = delivered; });
  ASSERT_EQ(first.size(), EmailService::kInitialLoadLimit);
  EXPECT_GT(*first.front().uid, *first.back().uid);  // newest first
  service_.waitForBackgroundTasks(account_.id);

  EXPECT_EQ(chunks, (std::vector<size_t>{50, 25}));
  EXPECT_EQ(completedWith, 75u);
  std::set<uint32_t> firstUids;
  for (const auto& m : first) firstUids.insert(*m.uid);
  EXPECT_EQ(backgroundUids.size(), 75u);
  for (uint32_t uid : backgroundUids) EXPECT_FALSE(firstUids.count(uid));
  EXPECT_LT(*backgroundUids.rbegin(), *firstUids.begin());

  // Through the flow everything ends up stored once.
  auto result = flow_.syncFolder(account_, password_, inbox, std::nullopt, 5000);
  EXPECT_EQ(result.fetched, static_cast<size_t>(kMessages));
  EXPECT_EQ(stored(inbox).size(), static_cast<size_t>(kMessages));
}

TEST_F(EmailSyncTest, LargeBodiesAreDecodedFromTheirFirstTenMebibytes) {
  std::string big(12 * 1024 * 1024 - 200, 'a');
  for (size_t i = 76; i < big.size(); i += 78) {
    big[i] = '\r';
    big[i + 1] = '\n';
  }
  servers_.deliver(user_, "INBOX", raw_message("Big", big, "<big@x>"));
  const EmailFolder inbox = folderAt("INBOX");
  auto listed = service_.syncMessages(account_, password_, inbox, std::nullopt, 10);
  ASSERT_EQ(listed.size(), 1u);
  const auto content = service_.fetchMessageBody(account_, password_, listed[0], {inbox});
  EXPECT_TRUE(content.wasTruncated);
  EXPECT_GT(content.originalSize, static_cast<int64_t>(EmailService::kBodyDecodeLimit));
  ASSERT_TRUE(content.textBody);
  EXPECT_LE(content.textBody->size(), EmailService::kBodyDecodeLimit);
}

TEST_F(EmailSyncTest, ConnectionDroppedMidSyncStoresNothingAndTheNextSyncCompletes) {
  servers_.deliver(user_, "INBOX", raw_message("Survivor", "x", "<sv@x>"));
  const EmailFolder inbox = folderAt("INBOX");
  // A server that lists two messages and hangs up in the middle of their envelopes.
  testing::ScriptedServer dropping("* OK ready\r\n", [n = 0](const std::string& tag, const std::string& command) mutable {
    if (command == "LOGIN") return tag + " OK logged in\r\n";
    if (command == "SELECT")
      return "* 2 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\n* OK [UIDNEXT 3] n\r\n" + tag + " OK selected\r\n";
    if (command == "UID FETCH" && n++ == 0)
      return std::string("* 1 FETCH (UID 1)\r\n* 2 FETCH (UID 2)\r\n") + tag + " OK listed\r\n";
    return std::string("* 2 FETCH (UID 2 FLAGS () ENVELOPE (\"Tue, 2 Jan 2024 10:00:00 +0000\" \"Half") +
           std::string(testing::kHangUp);
  });
  store::EmailAccount broken = account_;
  broken.imapHost = "127.0.0.1";
  broken.imapPort = dropping.port();
  EXPECT_THROW(flow_.syncFolder(broken, password_, inbox, std::nullopt, 50), EmailServiceError);
  EXPECT_TRUE(stored(inbox).empty());

  auto result = flow_.syncFolder(account_, password_, inbox, std::nullopt, 50);
  EXPECT_EQ(result.newMessages.size(), 1u);
  EXPECT_EQ(stored(inbox).size(), 1u);
}

// A message whose envelope libetpan cannot parse costs a new connection; the folder's
// other messages are still listed and stored, and nothing is read out of step.
TEST_F(EmailSyncTest, AMessageThatCannotBeReadIsSkippedAndTheOthersAreStored) {
  const EmailFolder inbox = folderAt("INBOX");
  const auto envelope = [](int uid) {
    return "* " + std::to_string(uid) + " FETCH (UID " + std::to_string(uid) +
           " FLAGS () RFC822.SIZE 9 ENVELOPE (\"Tue, 2 Jan 2024 10:00:00 +0000\" \"Readable " +
           std::to_string(uid) + "\" ((NIL NIL \"a\" \"x.test\")) NIL NIL NIL NIL NIL NIL \"<r" +
           std::to_string(uid) + "@x>\"))\r\n";
  };
  const std::string broken = "* 2 FETCH (UID 2 FLAGS () ENVELOPE (\"Tue\" \x01 broken))\r\n";
  testing::ScriptedServer* self = nullptr;
  testing::ScriptedServer server(
      "* OK ready\r\n",
      [&](const std::string& tag, const std::string& command) {
        const std::string& line = self->lines().back();
        if (command == "LOGIN") return tag + " OK logged in\r\n";
        if (command == "SELECT")
          return "* 3 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\n* OK [UIDNEXT 4] n\r\n" + tag +
                 " OK selected\r\n";
        if (command != "UID FETCH") return tag + " OK done\r\n";
        if (line.find("ENVELOPE") == std::string::npos)
          return "* 1 FETCH (UID 1)\r\n* 2 FETCH (UID 2)\r\n* 3 FETCH (UID 3)\r\n" + tag +
                 " OK listed\r\n";
        // The batch, then UID 3, 2 and 1 one at a time.
        const std::string set = line.substr(10, line.find(' ', 10) - 10);
        std::string answer;
        const bool batch = set.find_first_of(":,") != std::string::npos;
        for (int uid : {3, 2, 1})
          if (batch || set == std::to_string(uid)) answer += uid == 2 ? broken : envelope(uid);
        return answer + tag + " OK fetched\r\n";
      },
      3);
  self = &server;
  store::EmailAccount scripted = account_;
  scripted.imapHost = "127.0.0.1";
  scripted.imapPort = server.port();
  const auto result = flow_.syncFolder(scripted, password_, inbox, std::nullopt, 50);
  server.finish();
  std::vector<std::string> subjects;
  for (const auto& message : stored(inbox)) subjects.push_back(message.subject);
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(subjects, (std::vector<std::string>{"Readable 1", "Readable 3"}));
  EXPECT_EQ(result.newMessages.size(), 2u);
  // The broken answer was never followed by another command on its connection.
  const auto& commands = server.commands();
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "LOGIN"), 3);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), "LOGOUT"), 1);
}

// A first load stores its messages, their conversations, the folder's count and last sync
// and the folder's first UIDVALIDITY together: when any of it fails, none of it is kept, and
// the next sync stores all of it.
TEST_F(EmailSyncTest, FirstLoadIsStoredWholeOrNotAtAll) {
  servers_.deliver(user_, "INBOX", raw_message("Plan", "x", "<p1@x>"));
  servers_.deliver(user_, "INBOX", raw_message("Re: Plan", "y", "<p2@x>"));
  servers_.deliver(user_, "INBOX", raw_message("Other", "z", "<o1@x>"));
  const EmailFolder inbox = folderAt("INBOX");
  // Messages, conversations, whether the folder has a state, its count and whether synced.
  using Kept = std::tuple<int64_t, int64_t, bool, int64_t, bool>;
  auto kept = [&] {
    return db_->read([&](store::Connection& c) {
      auto s = c.prepare(
          "SELECT (SELECT COUNT(*) FROM email_messages WHERE account_id = ?1), (SELECT COUNT(*) "
          "FROM email_threads WHERE account_id = ?1), total_count, last_sync_date IS NOT NULL "
          "FROM email_folders WHERE id = ?2");
      s.bind_all(account_.id, inbox.id);
      EXPECT_TRUE(s.step());
      const bool state = store::folder_sync_state(c, account_.id, "INBOX").has_value();
      return Kept{*s.integer(0), *s.integer(1), state, *s.integer(2), *s.integer(3) != 0};
    });
  };

  // The conversation summaries are the last rows the save writes before the folder's.
  db_->write([](store::Connection& c) {
    c.execute(
        "CREATE TRIGGER refuse_threads BEFORE INSERT ON email_threads BEGIN SELECT "
        "RAISE(ABORT, 'refused'); END");
  });
  EXPECT_ANY_THROW(flow_.syncFolder(account_, password_, inbox, std::nullopt, 50));
  EXPECT_EQ(kept(), Kept(0, 0, false, 0, false));

  db_->write([](store::Connection& c) { c.execute("DROP TRIGGER refuse_threads"); });
  const auto result = flow_.syncFolder(account_, password_, inbox, std::nullopt, 50);
  EXPECT_EQ(result.newMessages.size(), 3u);
  EXPECT_EQ(kept(), Kept(3, 2, true, 3, true));  // conversations "plan" and "other"
  EXPECT_EQ(result.folder.totalCount, 3);
  EXPECT_EQ(store_.getFolderMessageCount(inbox), 3);
}

TEST_F(EmailSyncTest, LocalFoldersAndMissingUidsFailWithoutTheNetwork) {
  store::EmailAccount offline = account_;
  offline.imapHost = "192.0.2.1";  // never reached: the checks come first
  EmailFolder local;
  local.id = new_uuid();
  local.accountId = offline.id;
  local.name = local.path = std::string(EmailFolder::kLocalSentPath);
  EmailMessage m;
  m.id = new_uuid();
  m.accountId = offline.id;
  m.folderId = local.id;
  m.uid = 5;
  const auto started = std::chrono::steady_clock::now();
  auto text_of = [](auto&& f) {
    try {
      f();
    } catch (const EmailServiceError& e) {
      return std::string(e.what());
    }
    return std::string("no error");
  };
  EXPECT_NE(text_of([&] { service_.fetchMessageBody(offline, password_, m, {local}); })
                .find("本地文件夹的邮件没有服务端正文可拉取"),
            std::string::npos);
  EXPECT_NE(text_of([&] { service_.fetchRawMessage(offline, password_, m, {local}); })
                .find("本地文件夹的邮件没有服务端原始数据可拉取"),
            std::string::npos);
  EXPECT_NE(text_of([&] { service_.downloadAttachment(offline, password_, m, {}, {local}); })
                .find("本地文件夹的邮件没有服务端附件可下载"),
            std::string::npos);
  EXPECT_NE(text_of([&] { service_.markAsRead(offline, password_, m, {}); }).find("找不到邮件所在文件夹"),
            std::string::npos);
  EmailFolder inbox = local;
  inbox.path = "INBOX";
  m.uid.reset();
  EXPECT_NE(text_of([&] { service_.fetchMessageBody(offline, password_, m, {inbox}); })
                .find("邮件 UID 不存在"),
            std::string::npos);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

// The server renumbers a folder between the sync and the body prefetch: the prefetch sends
// none of the old UIDs (under which the folder now holds other messages), and its next pass
// stores every body on the row of its own message.
TEST_F(EmailSyncTest, BodyPrefetchAfterARenumberingStoresEachBodyOnItsOwnRow) {
  char date[64];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S +0000", &utc);
  const std::vector<std::string> subjects = {"Note one", "Note two", "Note three", "Note four"};
  for (const auto& subject : subjects)
    servers_.deliver(user_, "Work",
                     "From: sender@example.com\r\nSubject: " + subject + "\r\nDate: " + date +
                         "\r\n\r\ntext of " + subject + "\r\n");
  const auto work = folderAt("Work");
  flow_.syncFolder(account_, password_, work, std::nullopt, 0);
  const auto renumbered = testing::run_process(
      "/usr/bin/python3",
      {KESTROVA_SOURCE_DIR "/tests/support/second_imap_client.py", servers_.host,
       std::to_string(servers_.imap_plain), user_, servers_.password, "renumber", "Work"},
      "");
  ASSERT_EQ(renumbered.exit_code, 0) << renumbered.err;

  const std::atomic<bool> stop{false};
  EmailBodyPrefetcher prefetcher(*db_, service_);
  const auto refused = prefetcher.prefetch(account_, password_, {}, stop);
  EXPECT_EQ(refused.stored, 0u);
  EXPECT_EQ(refused.failedFolders, 1u);
  const auto again = prefetcher.prefetch(account_, password_, {}, stop);
  EXPECT_EQ(again.stored, subjects.size());
  for (const auto& message : stored(work)) {
    ASSERT_TRUE(message.textBody) << message.subject;
    EXPECT_NE(message.textBody->find("text of " + message.subject), std::string::npos)
        << message.subject << ": " << *message.textBody;
  }
}

}  // namespace
}  // namespace kestrova::mail
