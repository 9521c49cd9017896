// The account service's folder and message operations and the sync flow, against the real
// Dovecot and a mail database in a temporary directory: what a sync stores, what a body
// load decodes, that server-side actions really change the server, that the background
// loader delivers exactly the remainder, and that syncing twice adds nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "email_sync_fixture.h"
#include "mail/email_message_conversion.h"
#include "mail/email_service.h"
#include "mail/email_sync_flow.h"
#include "mail/libetpan_imap_session.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "support/mail_servers.h"
#include "support/scripted_imap_server.h"
#include "support/test_support.h"
#include "util/uuid.h"

namespace kestrova::mail {
namespace {

using store::EmailAccount;
using store::EmailFolder;
using store::EmailFolderType;
using store::EmailMessage;
using testing::MailServers;

// ---- conversion rules ----

TEST(EmailMessageConversionTest, FoldersAreClassifiedByTheFirstMatchingName) {
  EXPECT_EQ(classify_folder("INBOX"), EmailFolderType::inbox);
  EXPECT_EQ(classify_folder("inbox"), EmailFolderType::inbox);
  EXPECT_EQ(classify_folder("INBOX.Sent"), EmailFolderType::sent);  // not the whole name
  EXPECT_EQ(classify_folder("[Gmail]/Sent Mail"), EmailFolderType::sent);
  EXPECT_EQ(classify_folder("Drafts"), EmailFolderType::drafts);
  EXPECT_EQ(classify_folder("Deleted Items"), EmailFolderType::trash);
  EXPECT_EQ(classify_folder("Junk E-mail"), EmailFolderType::spam);
  EXPECT_EQ(classify_folder("Archive/2024"), EmailFolderType::archive);
  EXPECT_EQ(classify_folder("已发送"), EmailFolderType::custom);
  // Order matters: "Sent" is tested before "Trash".
  EXPECT_EQ(classify_folder("Sent Trash"), EmailFolderType::sent);
}

TEST(EmailMessageConversionTest, ThreadIdDropsOnePrefixAndFallsBack) {
  EXPECT_EQ(normalized_thread_id("Re: Hello", std::nullopt), "hello");
  EXPECT_EQ(normalized_thread_id("回复: Hello", std::nullopt), "hello");
  EXPECT_EQ(normalized_thread_id("  Hello \r\n", std::nullopt), "hello");
  EXPECT_EQ(normalized_thread_id("FW：  Plan", std::nullopt), "plan");
  EXPECT_EQ(normalized_thread_id("Re: Re: x", std::nullopt), "re: x");
  EXPECT_EQ(normalized_thread_id("rE: x", std::nullopt), "re: x");  // not a listed prefix
  EXPECT_EQ(normalized_thread_id("  ", std::string("<id@x>")), "<id@x>");
  const std::string fresh = normalized_thread_id("", std::nullopt);
  EXPECT_TRUE(parse_uuid(fresh)) << fresh;
  EXPECT_NE(fresh, normalized_thread_id("", std::nullopt));
}

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
}

TEST(EmailMessageConversionTest, RecordsBecomeMessages) {
  ImapHeaderRecord record;
  record.uid = 42;
  record.subject = "=?UTF-8?B?5L2g5aW9?= world";
  record.from = "=?UTF-8?Q?J=C3=B6rg?= <NoReply@Example.com>";
  record.to = "a@example.com, Bob <b@example.com>";
  record.date = "Tue, 2 Jan 2024 10:00:00 +0000";
  record.messageId = "<m1@example.com>";
  record.seen = true;
  const auto m = message_from_header_record(record, "acc", "fold");
  EXPECT_EQ(m.subject, "你好 world");
  EXPECT_EQ(m.from.name, "Jörg");
  EXPECT_EQ(m.from.email, "NoReply@Example.com");
  ASSERT_EQ(m.to.size(), 2u);
  EXPECT_EQ(m.to[1], (store::EmailContact{std::string("Bob"), "b@example.com"}));
  EXPECT_EQ(m.date, 1704189600);
  EXPECT_EQ(m.threadId, "你好 world");
  EXPECT_TRUE(m.isRead);
  EXPECT_FALSE(m.isStarred);
  EXPECT_TRUE(m.isNoReply);
  EXPECT_EQ(m.uid, 42u);
  EXPECT_FALSE(m.isBodyLoaded);

  ImapHeaderRecord bare;
  bare.uid = 7;
  const auto empty = message_from_header_record(bare, "acc", "fold");
  EXPECT_EQ(empty.date, 0);  // fixed, so that a later sync recognises it
  EXPECT_TRUE(parse_uuid(*empty.threadId));
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

class EmailSyncTest : public EmailSyncFixture {};

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

TEST_F(EmailSyncTest, SyncStoresNewestFirstAndTwiceAddsNothing) {
  servers_.deliver(user_, "INBOX", raw_message("First", "one", "<s1@x>", "",
                                               "Mon, 1 Jan 2024 10:00:00 +0000"));
  servers_.deliver(user_, "INBOX",
                   raw_message("=?UTF-8?B?5rWL6K+V?=", "two", "<s2@x>", "",
                               "Tue, 2 Jan 2024 10:00:00 +0000"),
                   true);
  servers_.deliver(user_, "INBOX", raw_message("No id", "three", "", "",
                                               "Wed, 3 Jan 2024 10:00:00 +0000"));
  const EmailFolder inbox = folderAt("INBOX");

  auto result = flow_.syncFolder(account_, password_, inbox, std::nullopt, 50);
  EXPECT_EQ(result.fetched, 3u);
  ASSERT_EQ(result.newMessages.size(), 3u);
  auto messages = stored(inbox);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].subject, "No id");
  EXPECT_EQ(messages[1].subject, "测试");
  EXPECT_TRUE(messages[1].isRead);
  EXPECT_FALSE(messages[0].isRead);
  EXPECT_EQ(messages[2].messageId, "<s1@x>");
  EXPECT_TRUE(messages[2].uid);

  // The user tags one locally; a second sync finds nothing new and keeps the tag.
  EmailMessage tagged = messages[2];
  tagged.tags = {"keep"};
  store_.updateMessage(tagged);
  auto again = flow_.syncFolder(account_, password_, inbox, std::nullopt, 50);
  EXPECT_EQ(again.fetched, 3u);
  EXPECT_TRUE(again.newMessages.empty());
  messages = stored(inbox);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[2].tags, std::vector<std::string>{"keep"});
  EXPECT_EQ(messages[2].id, tagged.id);

  // A message that arrives later is the only new one.
  servers_.deliver(user_, "INBOX", raw_message("Later", "four", "<s4@x>", "",
                                               "Thu, 4 Jan 2024 10:00:00 +0000"));
  auto third = flow_.syncFolder(account_, password_, inbox, std::nullopt, 50);
  ASSERT_EQ(third.newMessages.size(), 1u);
  EXPECT_EQ(third.newMessages[0].subject, "Later");
  EXPECT_EQ(stored(inbox).size(), 4u);

  store_.loadAccounts();
  flow_.recordAccountSync(account_);
  store_.loadAccounts();
  ASSERT_FALSE(store_.accounts().empty());
  EXPECT_TRUE(store_.accounts()[0].lastSyncDate);
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

TEST_F(EmailSyncTest, CancelledLoaderStopsQuietly) {
  for (int i = 0; i < 1200; ++i)
    servers_.deliver(user_, "INBOX", raw_message("C " + std::to_string(i), "b", "<c" + std::to_string(i) + "@x>"));
  const EmailFolder inbox = folderAt("INBOX");
  std::atomic<size_t> delivered{0};
  bool completed = false;
  service_.syncMessages(account_, password_, inbox, std::nullopt, 5000, false,
                        [&](std::vector<EmailMessage> chunk) { delivered += chunk.size(); },
                        [&](size_t) { completed = true; });
  service_.cancelBackgroundTasks(account_.id);
  service_.waitForBackgroundTasks(account_.id);
  EXPECT_FALSE(completed);
  EXPECT_LT(delivered.load(), 200u);
  EXPECT_FALSE(service_.hasBackgroundTask(account_.id));
}

TEST_F(EmailSyncTest, BodyLoadDecodesAndMarksSeen) {
  const std::string multipart =
      "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n";
  const std::string body =
      "--b1\r\nContent-Type: text/plain; charset=gb2312\r\nContent-Transfer-Encoding: base64\r\n\r\n"
      "xOO6w6OsysC95w==\r\n"  // "你好，世界" in GB 2312
      "--b1\r\nContent-Type: application/pdf; name=\"r.pdf\"\r\nContent-Disposition: attachment; "
      "filename=\"r.pdf\"\r\nContent-Transfer-Encoding: base64\r\n\r\nJVBERi0xLjQK\r\n--b1--";
  servers_.deliver(user_, "INBOX", raw_message("Body", body, "<b1@x>", multipart));
  const EmailFolder inbox = folderAt("INBOX");
  flow_.syncFolder(account_, password_, inbox, std::nullopt, 10);
  auto messages = stored(inbox);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_FALSE(messages[0].isRead);

  const auto content = service_.fetchMessageBody(account_, password_, messages[0], {inbox});
  ASSERT_TRUE(content.textBody);
  EXPECT_NE(content.textBody->find("你好"), std::string::npos) << *content.textBody;
  ASSERT_EQ(content.attachments.size(), 1u);
  EXPECT_EQ(content.attachments[0].filename, "r.pdf");
  EXPECT_EQ(content.attachments[0].partPath, "2");
  EXPECT_FALSE(content.wasTruncated);

  // The download set \Seen on the server.
  auto again = service_.syncMessages(account_, password_, inbox, std::nullopt, 10);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_TRUE(again[0].isRead);

  // The attachment by its part, and raw.
  const auto bytes =
      service_.downloadAttachment(account_, password_, messages[0], content.attachments[0], {inbox});
  EXPECT_EQ(bytes, "%PDF-1.4\n");
  const auto raw = service_.fetchRawMessage(account_, password_, messages[0], {inbox});
  EXPECT_NE(raw.find("Message-ID: <b1@x>"), std::string::npos);
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

TEST_F(EmailSyncTest, DeleteAndMoveTouchOnlyTheirOwnConfirmedMessage) {
  servers_.deliver(user_, "INBOX", raw_message("Ours", "x", "<ours@x.org>"));
  servers_.deliver(user_, "INBOX", raw_message("Flagged", "y", "<flagged@x.org>"));
  servers_.deliver(user_, "Archive", raw_message("Theirs", "z", "<theirs@x.org>"));
  const auto folders = syncFolders();
  const EmailFolder inbox = folderAt("INBOX"), archive = folderAt("Archive");
  const auto listed = service_.syncMessages(account_, password_, inbox, std::nullopt, 10);
  ASSERT_EQ(listed.size(), 2u);
  EmailMessage ours = listed[0].subject == "Ours" ? listed[0] : listed[1];
  // Another client flags UID 2 \Deleted and may still take that back.
  auto other = imap();
  ASSERT_TRUE(other->selectFolder("INBOX"));
  ASSERT_TRUE(other->storeFlagWithUID(2, "\\Deleted", +1, "标记为删除"));

  // The agent's local move_message leaves the row in Archive with its INBOX UID, which names
  // another message there; UID 7 names none.
  EmailMessage movedLocally = ours, expunged = ours;
  movedLocally.folderId = archive.id;
  expunged.uid = 7;
  for (const auto& [row, text] : std::vector<std::pair<EmailMessage, std::string>>{
           {movedLocally,
            "文件夹「Archive」中 UID 1 的邮件不是本地记录的这封邮件（Message-ID 不同）"},
           {expunged, "文件夹「INBOX」中已没有 UID 7 的邮件"}}) {
    for (bool remove : {true, false}) {
      try {
        remove ? service_.deleteMessage(account_, password_, row, folders)
               : service_.moveMessage(account_, password_, row,
                                      row.folderId == inbox.id ? archive : inbox, folders);
        ADD_FAILURE() << text << " not refused";
      } catch (const EmailServiceError& e) {
        EXPECT_NE(std::string(e.what()).find("邮件不匹配: 服务器上" + text), std::string::npos)
            << e.what();
      }
    }
  }
  EXPECT_EQ(serverUids("Archive"), std::vector<uint32_t>{1});

  // The row as synced is confirmed however its Message-ID is spelled, and the flagged message
  // stays where it is.
  ours.messageId = " ours@X.ORG ";
  service_.moveMessage(account_, password_, ours, archive, folders);
  EXPECT_EQ(serverUids("INBOX"), std::vector<uint32_t>{2});
  EXPECT_EQ(serverUids("Archive"), (std::vector<uint32_t>{1, 2}));
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
  EmailAccount broken = account_;
  broken.imapHost = "127.0.0.1";
  broken.imapPort = dropping.port();
  EXPECT_THROW(flow_.syncFolder(broken, password_, inbox, std::nullopt, 50), EmailServiceError);
  EXPECT_TRUE(stored(inbox).empty());

  auto result = flow_.syncFolder(account_, password_, inbox, std::nullopt, 50);
  EXPECT_EQ(result.newMessages.size(), 1u);
  EXPECT_EQ(stored(inbox).size(), 1u);
}

TEST_F(EmailSyncTest, LocalFoldersAndMissingUidsFailWithoutTheNetwork) {
  EmailAccount offline = account_;
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

}  // namespace
}  // namespace kestrova::mail
