// Header and body fetches of LibEtPanIMAPSession against the real Dovecot. Every test
// has a mailbox of its own (fresh_user), filled through the fixture's Maildir delivery.
#include <gtest/gtest.h>
#include <libetpan/libetpan.h>

#include <string>
#include <vector>

#include "mail/libetpan_imap_session.h"
#include "support/mail_servers.h"
#include "support/test_support.h"

namespace kestrova::mail {
namespace {

using testing::MailServers;
using testing::ScopedHome;
using testing::TempDir;

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

TEST_F(ImapMailboxTest, HeaderRecordsKeepServerTextInBothAddressStyles) {
  const std::string first =
      "From: =?UTF-8?B?w4RsaWNl?= <alice@example.com>\r\n"
      "To: bob@example.com, \"Carol C\" <carol@example.org>\r\n"
      "Subject: =?UTF-8?B?R3LDvMOfZQ==?=\r\n"
      "Date: Wed, 3 Jan 2024 09:30:00 +0100\r\n"
      "Message-ID: <a1@kestrova.test>\r\n"
      "In-Reply-To: <parent@kestrova.test>\r\n"
      "\r\nHello\r\n";
  const std::string second =
      "From: dave@example.net\r\nTo: eve@example.net\r\nSubject: plain\r\n\r\nHi\r\n";
  deliver(first);
  deliver(second, true);
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
  expected.size = first.size();  // RFC822.SIZE: the message's bytes as stored, CR LF lines
  EXPECT_EQ(*single, expected);

  const auto batch = imap_->fetchBatchMessageHeadersWithUIDs({2, 1, 99}, &error);
  ASSERT_TRUE(batch) << error.localizedDescription;
  ASSERT_EQ(batch->size(), 2u);
  expected.from = "=?UTF-8?B?w4RsaWNl?= <alice@example.com>";
  EXPECT_EQ((*batch)[0], expected);
  EXPECT_EQ((*batch)[1].uid, 2u);
  EXPECT_EQ((*batch)[1].from, "dave@example.net");
  EXPECT_EQ((*batch)[1].to, "eve@example.net");
  EXPECT_EQ((*batch)[1].size, second.size());
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

}  // namespace
}  // namespace kestrova::mail
