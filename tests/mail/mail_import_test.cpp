#include "mail/mail_import.h"

#include <gtest/gtest.h>

#include <fstream>

#include "store/mail_test_fixture.h"
#include "support/test_support.h"
#include "util/error.h"

namespace kestrova::mail {
namespace {

namespace fs = std::filesystem;

void write_file(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string message_text(const std::string& id, const std::string& subject,
                         const std::string& body = "Hello.\n") {
  return "From: Alice <alice@example.org>\nTo: bob@example.org\nSubject: " + subject +
         "\nDate: Tue, 14 Nov 2023 22:13:20 +0000\n" +
         (id.empty() ? "" : "Message-ID: " + id + "\n") + "\n" + body;
}

std::vector<ArchivedMessage> read_all(MboxReader& reader) {
  std::vector<ArchivedMessage> out;
  while (auto m = reader.next()) out.push_back(std::move(*m));
  return out;
}

TEST(MaildirReaderTest, ReadsCurThenNewWithFlagsAndLeavesTmpAlone) {
  testing::TempDir dir;
  const fs::path box = dir.path() / "box";
  write_file(box / "cur" / "1700000200.M2P1.host:2,FS", "B");
  write_file(box / "cur" / "1700000100.M1P1.host:2,RS", "A");
  write_file(box / "cur" / ".hidden", "hidden");
  write_file(box / "new" / "1700000300.M3P1.host", "C");
  write_file(box / "tmp" / "1700000400.M4P1.host", "being delivered");
  fs::create_directories(box / ".Sub" / "cur");
  write_file(box / ".Sub" / "cur" / "1.x:2,S", "sub-folder");

  MaildirReader reader(box);
  EXPECT_EQ(reader.size(), 3u);
  auto a = reader.next(), b = reader.next(), c = reader.next();
  ASSERT_TRUE(a && b && c);
  EXPECT_FALSE(reader.next().has_value());
  EXPECT_EQ(a->raw, "A");
  EXPECT_TRUE(a->isRead);
  EXPECT_TRUE(a->hasBeenReplied);
  EXPECT_FALSE(a->isStarred);
  EXPECT_EQ(a->archiveDate, 1'700'000'100);
  EXPECT_EQ(b->raw, "B");
  EXPECT_TRUE(b->isRead && b->isStarred);
  EXPECT_EQ(c->raw, "C");
  EXPECT_FALSE(c->isRead || c->isStarred);
  EXPECT_EQ(c->origin, (box / "new" / "1700000300.M3P1.host").string());

  EXPECT_THROW(MaildirReader(dir.path() / "missing"), Error);
}

TEST(MboxReaderTest, SplitsAtFromLinesAfterEmptyLinesAndUnquotes) {
  testing::TempDir dir;
  const fs::path file = dir.path() / "archive.mbox";
  write_file(file,
             "\n"
             "From alice@example.org Tue Nov 14 22:13:20 2023\n"
             "Subject: one\n"
             "Status: RO\n"
             "X-Status: AF\n"
             "\n"
             ">From the quoted line\n"
             ">>From twice quoted\n"
             "From inside a paragraph is body text\n"
             "> From with a space stays\n"
             "\n"
             "From bob@example.org Wed Nov  1 08:00:00 2023\r\n"
             "Subject: two\r\n"
             "\r\n"
             "crlf body\r\n"
             "\r\n"
             "From MAILER-DAEMON nonsense date\n"
             "Subject: three\n"
             "\n"
             "last\n"
             "\n");
  MboxReader reader(file);
  auto messages = read_all(reader);
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].raw,
            "Subject: one\nStatus: RO\nX-Status: AF\n\nFrom the quoted line\n>From twice quoted\n"
            "From inside a paragraph is body text\n> From with a space stays\n");
  EXPECT_TRUE(messages[0].isRead);
  EXPECT_TRUE(messages[0].isStarred);
  EXPECT_TRUE(messages[0].hasBeenReplied);
  EXPECT_EQ(messages[0].archiveDate, 1'700'000'000);
  EXPECT_EQ(messages[0].origin, file.string() + ":2");
  EXPECT_EQ(messages[1].raw, "Subject: two\r\n\r\ncrlf body\r\n");
  EXPECT_FALSE(messages[1].isRead);
  EXPECT_EQ(messages[1].archiveDate, 1'698'825'600);  // day padded with a space
  EXPECT_EQ(messages[2].raw, "Subject: three\n\nlast\n");
  EXPECT_EQ(messages[2].archiveDate, std::nullopt);
  EXPECT_FALSE(reader.next().has_value());
}

TEST(MboxReaderTest, RefusesOtherFilesAndReadsAnEmptyOne) {
  testing::TempDir dir;
  write_file(dir.path() / "letter.eml", "Subject: not an mbox\n\nbody\n");
  EXPECT_THROW(MboxReader(dir.path() / "letter.eml"), Error);
  EXPECT_THROW(MboxReader(dir.path() / "missing.mbox"), Error);
  EXPECT_THROW(MboxReader(dir.path()), Error);
  write_file(dir.path() / "empty.mbox", "");
  MboxReader empty(dir.path() / "empty.mbox");
  EXPECT_FALSE(empty.next().has_value());
}

// A message above the decode limit is still held whole: its bytes are kept for export.
TEST(MboxReaderTest, ALargeMessageIsHeldWholeAndTheNextOneStillRead) {
  testing::TempDir dir;
  const fs::path file = dir.path() / "big.mbox";
  {
    std::ofstream out(file, std::ios::binary);
    out << "From a@example.org Tue Nov 14 22:13:20 2023\nSubject: big\n\n";
    const std::string line(1023, 'x');
    for (int i = 0; i < 11 * 1024; ++i) out << line << '\n';  // 11 MiB of body
    out << "\nFrom b@example.org Tue Nov 14 22:13:21 2023\nSubject: small\n\nok\n";
  }
  MboxReader reader(file);
  auto big = reader.next();
  ASSERT_TRUE(big.has_value());
  EXPECT_FALSE(big->wasTruncated);
  EXPECT_EQ(big->originalSize, std::string("Subject: big\n\n").size() + 11u * 1024 * 1024);
  EXPECT_EQ(big->raw.size(), big->originalSize);
  auto small = reader.next();
  ASSERT_TRUE(small.has_value());
  EXPECT_EQ(small->raw, "Subject: small\n\nok\n");
  EXPECT_FALSE(small->wasTruncated);
}

using MailImporterTest = testing::MailTest;

TEST_F(MailImporterTest, AnUnreadableMessageCountsAsFailedAndTheRestGoesOn) {
  // A source that fails in the middle, as a Maildir file that cannot be read does.
  int call = 0;
  auto source = [&]() -> std::optional<ArchivedMessage> {
    switch (call++) {
      case 0:
        return ArchivedMessage{.raw = message_text("<a@example.org>", "A"), .isRead = true};
      case 1:
        throw Error("无法读取邮件文件: /archive/cur/2");
      case 2:
        return ArchivedMessage{.raw = message_text("<b@example.org>", "B")};
      default:
        return std::nullopt;
    }
  };
  std::vector<std::string> failures;
  MailImporter importer(mail_, account_id_, inbox_id_);
  auto counts =
      importer.run(source, {}, [&](const std::string& what) { failures.push_back(what); });
  EXPECT_EQ(counts.imported, 2u);
  EXPECT_EQ(counts.failed, 1u);
  EXPECT_EQ(failures, std::vector<std::string>{"无法读取邮件文件: /archive/cur/2"});
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE is_read = 1"), 1);
}

}  // namespace
}  // namespace kestrova::mail
