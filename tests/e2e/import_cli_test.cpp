// `kestrova import` as a user runs it: an account and its folders in a temporary home, a
// Maildir and an mbox written on disk, the database read back afterwards.

#include <gtest/gtest.h>

#include <fstream>

#include "cli_fixture.h"
#include "store/database.h"

namespace kestrova {
namespace {

namespace fs = std::filesystem;

constexpr const char* kAccountId = "5E0A7C1B-2D3F-4A5B-8C6D-7E8F9A0B1C2D";
constexpr const char* kInboxId = "6F1B8D2C-3E4A-4B5C-9D7E-8F9A0B1C2D3E";
constexpr const char* kArchiveId = "7A2C9E3D-4F5B-4C6D-8E8F-9A0B1C2D3E4F";

void write_file(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string message_text(const std::string& id, const std::string& subject) {
  return "From: Alice <alice@example.org>\nTo: bob@example.org\nSubject: " + subject +
         "\nDate: Tue, 14 Nov 2023 22:13:20 +0000\nMessage-ID: " + id + "\n\nBody of " + subject +
         ".\n";
}

class ImportCliTest : public testing::CliTest {
 protected:
  ImportCliTest() {
    auto db = store::EmailDatabase::open(database());
    db->write([](store::Connection& c) {
      c.prepare(
           "INSERT INTO email_accounts (id, email_address, display_name, service_type, imap_host, "
           "imap_port, imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, "
           "updated_at) VALUES (?, 'me@example.org', 'Me', '自定义', '', 993, 'ssl', '', 587, "
           "'startTLS', 0, 0)")
          .bind_all(kAccountId)
          .run();
      c.prepare(
           "INSERT INTO email_folders (id, account_id, name, type, path) VALUES (?, ?, 'INBOX', "
           "'inbox', 'INBOX'), (?, ?, 'Old mail', 'archive', 'Archive/Old')")
          .bind_all(kInboxId, kAccountId, kArchiveId, kAccountId)
          .run();
    });
  }

  int64_t count(const std::string& sql) {
    auto db = store::EmailDatabase::open(database());
    return db->read([&](store::Connection& c) {
      auto s = c.prepare(sql);
      s.step();
      return s.integer(0).value_or(-1);
    });
  }

  fs::path database() const { return dir_.path() / "data" / "tivra" / "Email" / "email.db"; }
};

TEST_F(ImportCliTest, MboxAndMaildirLandInTheNamedFolderOnce) {
  const fs::path mbox = dir_.path() / "old.mbox";
  write_file(mbox, "From alice@example.org Tue Nov 14 22:13:20 2023\n" +
                       message_text("<m1@x>", "First") +
                       "\nFrom alice@example.org Tue Nov 14 22:13:20 2023\n" +
                       message_text("<m2@x>", "Second"));
  auto result = run(
      {"import", "--mbox", mbox.string(), "--account", "me@example.org", "--folder", "Old mail"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(
      result.out,
      "已导入到 me@example.org / Old mail: 新增 2 封，跳过 0 封（已存在或重复），失败 0 封\n");
  EXPECT_EQ(result.err, "");  // not a terminal: no progress line
  EXPECT_EQ(count(std::string("SELECT COUNT(*) FROM email_messages WHERE folder_id = '") +
                  kArchiveId + "' AND is_body_loaded = 1 AND uid IS NULL"),
            2);

  // The Maildir shares one message with the mbox; the folder is named by its path.
  const fs::path box = dir_.path() / "Maildir";
  write_file(box / "cur" / "1700000000.M1.host:2,FS", message_text("<m2@x>", "Second"));
  write_file(box / "new" / "1700000001.M2.host", message_text("<m3@x>", "Third"));
  result = run(
      {"import", "--maildir", box.string(), "--account", kAccountId, "--folder", "Archive/Old"});
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_EQ(
      result.out,
      "已导入到 me@example.org / Old mail: 新增 1 封，跳过 1 封（已存在或重复），失败 0 封\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages"), 3);
  EXPECT_EQ(count("SELECT is_read FROM email_messages WHERE message_id = '<m3@x>'"), 0);

  result = run(
      {"import", "--mbox", mbox.string(), "--account", "me@example.org", "--folder", "old MAIL"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(
      result.out,
      "已导入到 me@example.org / Old mail: 新增 0 封，跳过 2 封（已存在或重复），失败 0 封\n");
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages"), 3);
}

TEST_F(ImportCliTest, WrongFolderOrSourceIsRefusedWithoutWriting) {
  const fs::path mbox = dir_.path() / "one.mbox";
  write_file(mbox, "From a Tue Nov 14 22:13:20 2023\n" + message_text("<m1@x>", "First"));

  auto result = run(
      {"import", "--mbox", mbox.string(), "--account", "me@example.org", "--folder", "Imports"});
  EXPECT_NE(result.exit_code, 0);
  EXPECT_NE(result.err.find("没有文件夹「Imports」；可用的文件夹: Old mail (Archive/Old), INBOX"),
            std::string::npos)
      << result.err;

  result = run({"import", "--account", "me@example.org", "--folder", "INBOX"});
  EXPECT_NE(result.exit_code, 0);
  EXPECT_NE(result.err.find("需要 --maildir 或 --mbox"), std::string::npos) << result.err;

  result = run({"import", "--maildir", (dir_.path() / "nothing").string(), "--account",
                "me@example.org", "--folder", "INBOX"});
  EXPECT_NE(result.exit_code, 0);
  EXPECT_NE(result.err.find("不是 Maildir 目录"), std::string::npos) << result.err;

  result = run(
      {"import", "--mbox", mbox.string(), "--account", "nobody@example.org", "--folder", "INBOX"});
  EXPECT_NE(result.exit_code, 0);
  EXPECT_NE(result.err.find("未找到账户"), std::string::npos) << result.err;
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages"), 0);
}

}  // namespace
}  // namespace kestrova
