// Folder and message operations of LibEtPanIMAPSession against the real Dovecot. Every test
// has a mailbox of its own (fresh_user), filled through the fixture's Maildir delivery.
#include <libetpan/libetpan.h>
#include <poll.h>
#include <sys/time.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/libetpan_imap_session.h"
#include "support/mail_servers.h"
#include "support/test_support.h"

namespace kestrova::mail {
namespace {

using testing::MailServers;
using testing::ScopedHome;
using testing::TempDir;
using Clock = std::chrono::system_clock;

std::string message(const std::string& subject, const std::string& body,
                    const std::string& headers = "") {
  return "From: sender@example.com\r\nTo: user@kestrova.test\r\nSubject: " + subject +
         "\r\nDate: Tue, 2 Jan 2024 10:00:00 +0000\r\nMessage-ID: <" + std::to_string(std::hash<std::string>{}(subject)) +
         "@kestrova.test>\r\n" + headers + "\r\n" + body + "\r\n";
}

std::vector<uint32_t> uids(const std::optional<std::vector<ImapUidEntry>>& entries) {
  std::vector<uint32_t> out;
  if (entries) {
    for (const auto& entry : *entries) out.push_back(entry.uid);
  }
  return out;
}

class ImapMailboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    imap_ = open_session();
    ASSERT_TRUE(imap_);
  }

  std::unique_ptr<LibEtPanIMAPSession> open_session() {
    auto imap = LibEtPanIMAPSession::initWithHost(servers_.host, servers_.imap_plain, "none", user_,
                                                  servers_.password);
    LibEtPanError error;
    if (!imap->connectWithError(&error) || !imap->loginWithError(&error)) {
      ADD_FAILURE() << error.localizedDescription;
      return nullptr;
    }
    return imap;
  }

  void deliver(const std::string& raw, bool seen = false, const std::string& folder = "INBOX") {
    servers_.deliver(user_, folder, raw, seen);
  }

  // Delivers to INBOX with the given arrival time (the INTERNALDATE that SINCE compares):
  // Dovecot takes it from the Maildir file's modification time when it first sees the file.
  void deliver_received(const std::string& raw, Clock::time_point received) {
    const auto incoming = servers_.root / "home" / user_ / "Maildir" / "new";
    std::set<std::filesystem::path> before;
    if (std::filesystem::exists(incoming)) {
      for (const auto& entry : std::filesystem::directory_iterator(incoming)) before.insert(entry.path());
    }
    deliver(raw);
    const auto seconds = Clock::to_time_t(received);
    const timeval times[2] = {{seconds, 0}, {seconds, 0}};
    for (const auto& entry : std::filesystem::directory_iterator(incoming)) {
      if (!before.count(entry.path())) ASSERT_EQ(utimes(entry.path().c_str(), times), 0);
    }
  }

  ImapHeaderRecord headers(uint32_t uid) {
    auto record = imap_->fetchMessageHeadersWithUID(uid);
    return record ? *record : ImapHeaderRecord{};
  }

  TempDir dir_;
  ScopedHome home_{dir_.path()};
  const MailServers& servers_ = MailServers::shared();
  const std::string user_ = servers_.fresh_user();
  std::unique_ptr<LibEtPanIMAPSession> imap_;
};

TEST_F(ImapMailboxTest, NonAsciiFolderNamesRoundTrip) {
  LibEtPanError error;
  for (const char* name : {"Entwürfe", "日本語", "A&-B"}) {
    EXPECT_TRUE(imap_->createFolder(name, &error)) << name << ": " << error.localizedDescription;
  }
  // An ASCII name goes out as it is, and Dovecot refuses a bare "&".
  EXPECT_FALSE(imap_->createFolder("A&B", &error));
  EXPECT_TRUE(error.localizedDescription.starts_with("创建文件夹失败: " + std::to_string(MAILIMAP_ERROR_CREATE) +
                                                    "（服务器: Mailbox name is not valid mUTF-7"))
      << error.localizedDescription;
  EXPECT_FALSE(imap_->createFolder("Entwürfe", &error));  // exists already
  EXPECT_EQ(error.code, MAILIMAP_ERROR_CREATE);

  auto folders = imap_->fetchFoldersWithError(&error);
  ASSERT_TRUE(folders);
  EXPECT_EQ(std::set<std::string>(folders->begin(), folders->end()),
            (std::set<std::string>{"INBOX", "Entwürfe", "日本語", "A&B"}));

  deliver(message("im Entwurf", "x"), false, "Entwürfe");
  ASSERT_TRUE(imap_->selectFolder("Entwürfe", &error)) << error.localizedDescription;
  EXPECT_EQ(uids(imap_->fetchMessagesFromUID(1, 0)), std::vector<uint32_t>{1});
  EXPECT_TRUE(imap_->selectFolder("日本語", &error));
  EXPECT_EQ(uids(imap_->fetchMessagesFromUID(1, 0)), std::vector<uint32_t>{});

  EXPECT_FALSE(imap_->selectFolder("Gibt es nicht", &error));
  EXPECT_EQ(error.code, MAILIMAP_ERROR_SELECT);
  EXPECT_TRUE(error.localizedDescription.starts_with("选择文件夹失败: " + std::to_string(MAILIMAP_ERROR_SELECT) + "（服务器: "))
      << error.localizedDescription;
}

TEST_F(ImapMailboxTest, SearchesReturnNewestFirstWithinLimits) {
  const auto now = Clock::now();
  const auto day = std::chrono::hours(24);
  deliver_received(message("Old zebra", "a zebra crossing"), now - 10 * day);
  deliver_received(message("Zebra report", "numbers"), now - 3 * day);
  deliver_received(message("Plain", "nothing to see"), now);
  deliver_received(message("Greeting", "Grüße aus Köln",
                           "MIME-Version: 1.0\r\nContent-Type: text/plain; charset=utf-8\r\n"
                           "Content-Transfer-Encoding: 8bit\r\n"),
                   now);
  ASSERT_TRUE(imap_->selectFolder("INBOX"));

  LibEtPanError error;
  EXPECT_EQ(uids(imap_->fetchMessagesSinceDate(now - 5 * day, 0, &error)),
            (std::vector<uint32_t>{4, 3, 2}));
  EXPECT_EQ(uids(imap_->fetchMessagesSinceDate(now - 5 * day, 2)), (std::vector<uint32_t>{4, 3}));
  EXPECT_EQ(uids(imap_->fetchMessagesSinceDate(std::nullopt, 0)), (std::vector<uint32_t>{4, 3, 2, 1}));
  // Only the day counts: later today still finds what arrived earlier today.
  EXPECT_EQ(uids(imap_->fetchMessagesSinceDate(now + std::chrono::seconds(1), 0)),
            (std::vector<uint32_t>{4, 3}));
  auto none = imap_->fetchMessagesSinceDate(now + 2 * day, 0);
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());

  EXPECT_EQ(uids(imap_->searchMessagesWithQuery("zebra", 0)), (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(uids(imap_->searchMessagesWithQuery("zebra", 1)), std::vector<uint32_t>{2});
  EXPECT_EQ(uids(imap_->searchMessagesWithQuery("Grüße", 0)), std::vector<uint32_t>{4});
  EXPECT_EQ(uids(imap_->searchMessagesWithQuery("\"quoted\" \\ text", 0)), std::vector<uint32_t>{});
  EXPECT_FALSE(imap_->searchMessagesWithQuery("", 10, &error));
  EXPECT_EQ(error.code, -1);
  EXPECT_EQ(error.localizedDescription, "搜索查询不能为空");

  EXPECT_EQ(uids(imap_->fetchMessagesFromUID(2, 3)), (std::vector<uint32_t>{2, 3}));
  EXPECT_EQ(uids(imap_->fetchMessagesFromUID(3, 0)), (std::vector<uint32_t>{3, 4}));
  EXPECT_EQ(uids(imap_->fetchMessagesFromUID(9, 0)), std::vector<uint32_t>{});
}

TEST_F(ImapMailboxTest, FetchLatestReadsTheSelectedFolderStatus) {
  LibEtPanError error;
  EXPECT_FALSE(imap_->fetchLatestMessagesWithLimit(5, &error));
  EXPECT_EQ(error.code, -1);
  EXPECT_EQ(error.localizedDescription, "未选择文件夹");

  ASSERT_TRUE(imap_->createFolder("Leer"));
  ASSERT_TRUE(imap_->selectFolder("Leer"));
  auto empty = imap_->fetchLatestMessagesWithLimit(5, &error);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  for (int i = 1; i <= 4; ++i) deliver(message("m" + std::to_string(i), "body"));
  ASSERT_TRUE(imap_->selectFolder("INBOX"));
  ASSERT_TRUE(imap_->deleteAndExpungeWithUID(2));
  ASSERT_TRUE(imap_->selectFolder("INBOX"));  // EXISTS 3, UIDNEXT 5
  // The newest three UIDs are 2..4; UID 2 is gone, so only two come back.
  EXPECT_EQ(uids(imap_->fetchLatestMessagesWithLimit(3, &error)), (std::vector<uint32_t>{4, 3}));
  EXPECT_EQ(uids(imap_->fetchLatestMessagesWithLimit(1)), std::vector<uint32_t>{4});
  EXPECT_EQ(uids(imap_->fetchLatestMessagesWithLimit(100)), (std::vector<uint32_t>{4, 3, 1}));
  EXPECT_EQ(uids(imap_->fetchLatestMessagesWithLimit(0)), (std::vector<uint32_t>{4, 3, 1}));
}

TEST_F(ImapMailboxTest, HeaderRecordsKeepServerTextInBothAddressStyles) {
  deliver(
      "From: =?UTF-8?B?w4RsaWNl?= <alice@example.com>\r\n"
      "To: bob@example.com, \"Carol C\" <carol@example.org>\r\n"
      "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\r\n"
      "Date: Wed, 3 Jan 2024 09:30:00 +0100\r\n"
      "Message-ID: <a1@kestrova.test>\r\n"
      "In-Reply-To: <parent@kestrova.test>\r\n"
      "\r\nHello\r\n");
  deliver("From: dave@example.net\r\nTo: eve@example.net\r\nSubject: plain\r\n\r\nHi\r\n", true);
  ASSERT_TRUE(imap_->selectFolder("INBOX"));

  LibEtPanError error;
  const auto single = imap_->fetchMessageHeadersWithUID(1, &error);
  ASSERT_TRUE(single) << error.localizedDescription;
  ImapHeaderRecord expected;
  expected.uid = 1;
  expected.subject = "=?UTF-8?B?R3LDvMOfZQ==?=";
  expected.from = "alice@example.com";
  expected.to = "bob@example.com, carol@example.org";
  expected.date = "Wed, 3 Jan 2024 09:30:00 +0100";
  expected.messageId = "<a1@kestrova.test>";
  expected.inReplyTo = "<parent@kestrova.test>";
  EXPECT_EQ(*single, expected);

  const auto batch = imap_->fetchBatchMessageHeadersWithUIDs({2, 1, 99}, &error);
  ASSERT_TRUE(batch) << error.localizedDescription;
  ASSERT_EQ(batch->size(), 2u);
  expected.from = "=?UTF-8?B?w4RsaWNl?= <alice@example.com>";
  EXPECT_EQ((*batch)[0], expected);
  EXPECT_EQ((*batch)[1].uid, 2u);
  EXPECT_EQ((*batch)[1].from, "dave@example.net");
  EXPECT_EQ((*batch)[1].to, "eve@example.net");
  EXPECT_FALSE((*batch)[1].messageId);
  EXPECT_FALSE((*batch)[1].inReplyTo);
  EXPECT_TRUE((*batch)[1].seen);

  auto nothing = imap_->fetchBatchMessageHeadersWithUIDs({}, &error);
  ASSERT_TRUE(nothing);
  EXPECT_TRUE(nothing->empty());
  // A UID the folder does not have: nothing, and no error.
  LibEtPanError untouched;
  untouched.code = 12345;
  EXPECT_FALSE(imap_->fetchMessageHeadersWithUID(99, &untouched));
  EXPECT_EQ(untouched.code, 12345);
}

TEST_F(ImapMailboxTest, BodySetsSeenWhilePartsStayEncodedAndUnseen) {
  const std::string raw =
      "From: a@example.com\r\nTo: b@example.com\r\nSubject: parts\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
      "--outer\r\nContent-Type: multipart/alternative; boundary=\"inner\"\r\n\r\n"
      "--inner\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\nGr=C3=BC=C3=9Fe\r\n"
      "--inner\r\nContent-Type: text/html; charset=utf-8\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n<p>Gr=C3=BC=C3=9Fe</p>\r\n"
      "--inner--\r\n\r\n"
      "--outer\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename=\"data.bin\"\r\n\r\nAAECAwQFBgc=\r\n"
      "--outer--\r\n";
  deliver(raw);
  ASSERT_TRUE(imap_->selectFolder("INBOX"));

  LibEtPanError error;
  EXPECT_EQ(imap_->fetchMessagePartWithUID(1, "2", &error), "AAECAwQFBgc=");
  EXPECT_EQ(imap_->fetchMessagePartWithUID(1, "1.2", &error), "<p>Gr=C3=BC=C3=9Fe</p>");
  EXPECT_EQ(imap_->fetchMessagePartWithUID(1, "1.1", &error), "Gr=C3=BC=C3=9Fe");
  EXPECT_FALSE(headers(1).seen);

  for (const char* bad : {"1.0", "a", "1..2", "2.", "-1", "1a"}) {
    EXPECT_FALSE(imap_->fetchMessagePartWithUID(1, bad, &error));
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.localizedDescription, std::string("非法的 partPath: ") + bad);
  }
  EXPECT_FALSE(imap_->fetchMessagePartWithUID(1, "", &error));
  EXPECT_EQ(error.localizedDescription, "附件 partPath 不能为空");
  // A part or message the server does not have: nothing, and no error.
  LibEtPanError untouched;
  untouched.code = 12345;
  EXPECT_FALSE(imap_->fetchMessagePartWithUID(1, "9", &untouched));
  EXPECT_FALSE(imap_->fetchMessagePartWithUID(99, "1", &untouched));
  EXPECT_EQ(untouched.code, 12345);

  EXPECT_EQ(imap_->fetchMessageBodyWithUID(1, &error), raw);
  EXPECT_TRUE(headers(1).seen);

  EXPECT_FALSE(imap_->fetchMessageBodyWithUID(99, &error));
  EXPECT_EQ(error.code, -2);
  EXPECT_EQ(error.localizedDescription, "服务器未返回该邮件（UID 99）的正文，可能已被移动或删除");

  deliver("");
  EXPECT_TRUE(imap_->noopWithError());
  EXPECT_FALSE(imap_->fetchMessageBodyWithUID(2, &error));
  EXPECT_EQ(error.code, -3);
  EXPECT_EQ(error.localizedDescription, "邮件（UID 2）响应中未包含正文数据");
}

TEST_F(ImapMailboxTest, FlagChangesShowInTheHeaders) {
  deliver(message("flags", "body"));
  LibEtPanError error;
  // Before any SELECT libetpan refuses the command itself.
  EXPECT_FALSE(imap_->addFlaggedWithUID(1, &error));
  EXPECT_EQ(error.code, MAILIMAP_ERROR_BAD_STATE);
  EXPECT_EQ(error.localizedDescription, "添加星标 失败: " + std::to_string(MAILIMAP_ERROR_BAD_STATE));
  EXPECT_FALSE(imap_->markAsReadWithUID(1, &error));
  EXPECT_EQ(error.localizedDescription, "标记为已读失败: " + std::to_string(MAILIMAP_ERROR_BAD_STATE));

  ASSERT_TRUE(imap_->selectFolder("INBOX"));
  EXPECT_FALSE(headers(1).seen);
  EXPECT_TRUE(imap_->markAsReadWithUID(1, &error));
  EXPECT_TRUE(headers(1).seen);
  EXPECT_TRUE(imap_->markAsUnreadWithUID(1, &error));
  EXPECT_FALSE(headers(1).seen);
  EXPECT_TRUE(imap_->addFlaggedWithUID(1, &error));
  EXPECT_TRUE(headers(1).flagged);
  EXPECT_TRUE(imap_->removeFlaggedWithUID(1, &error));
  EXPECT_FALSE(headers(1).flagged);
  EXPECT_TRUE(imap_->storeFlagWithUID(1, "$Label1", +1, "添加标签", &error));
  EXPECT_TRUE(imap_->storeFlagWithUID(1, "\\Answered", +1, "标记为已回复", &error));
  EXPECT_TRUE(imap_->storeFlagWithUID(1, "\\flagged", +1, "添加星标", &error));
  EXPECT_TRUE(headers(1).flagged);
}

TEST_F(ImapMailboxTest, IdleWakesUpOnNewMail) {
  ASSERT_TRUE(imap_->selectFolder("INBOX"));
  LibEtPanError error;
  ASSERT_TRUE(imap_->idleWithError(&error)) << error.localizedDescription;
  pollfd readable{imap_->idleFd(), POLLIN, 0};
  ASSERT_GE(readable.fd, 0);
  EXPECT_EQ(poll(&readable, 1, 200), 0);  // quiet while nothing happens

  deliver(message("while idling", "body"));
  EXPECT_EQ(poll(&readable, 1, 10000), 1);
  EXPECT_TRUE(readable.revents & POLLIN);
  ASSERT_TRUE(imap_->idleDoneWithError(&error)) << error.localizedDescription;
  EXPECT_EQ(uids(imap_->fetchMessagesFromUID(1, 0)), std::vector<uint32_t>{1});
  EXPECT_TRUE(imap_->noopWithError());
}

}  // namespace
}  // namespace kestrova::mail
