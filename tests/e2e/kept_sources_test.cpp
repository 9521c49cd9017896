// Whole messages out again: imported mail byte for byte through export, raw and attachment
// save; server mail whose body was never loaded exports whole and unread, or not at all; a
// hostile Subject bends neither the exported lines nor the file's name.

#include <gtest/gtest.h>

#include <fstream>

#include "e2e/cli_fixture.h"
#include "store/database.h"
#include "support/message_generator.h"
#include "util/file.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

class KeptSourcesTest : public CliTest {
 protected:
  // The first value of `sql`, with `value` bound when given.
  std::string query(const std::string& sql, const std::string& value = "") {
    auto db = store::EmailDatabase::open(dir_.path() / "data" / "tivra" / "Email" / "email.db");
    return db->read([&](store::Connection& c) {
      auto s = c.prepare(sql);
      if (!value.empty()) s.bind(1, value);
      return s.step() ? s.text(0).value_or("") : std::string();
    });
  }
  fs::path out_ = dir_.path() / "out";
};

TEST_F(KeptSourcesTest, ImportedMailComesBackByteForByte) {
  // Every shape the generator knows: nested multiparts, base64 attachments, RFC 2231 names,
  // legacy charsets, no Message-ID. None has a "From " line that an mbox would quote.
  const auto corpus = generate_corpus(31, static_cast<int>(generated_kinds().size()));
  std::vector<MaildirMessage> files;
  std::string mbox;
  for (const auto& m : corpus) {
    files.push_back({m.raw, {}, std::nullopt});
    mbox += "From x@example.org Tue Nov 14 22:13:20 2023\n" + m.raw + "\n";
  }
  write_maildir_messages(dir_.path() / "Maildir", "INBOX", files);
  std::ofstream(dir_.path() / "old.mbox", std::ios::binary) << mbox;

  for (const std::string source : {"maildir", "mbox"}) {
    SCOPED_TRACE(source);
    const std::string account = source + "@example.org";
    ASSERT_EQ(run({"account", "add", "--local", "--email", account, "--name", "Old"}).exit_code, 0);
    ASSERT_EQ(run({"folder", "create", "Old", "--account", account}).exit_code, 0);
    const fs::path archive = dir_.path() / (source == "mbox" ? "old.mbox" : "Maildir");
    auto result =
        run({"import", "--" + source, archive.string(), "--account", account, "--folder", "Old"});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    for (const auto& m : corpus) {
      SCOPED_TRACE(m.kind);
      const std::string id = query(
          "SELECT m.id FROM email_messages m JOIN email_accounts a ON a.id = m.account_id WHERE "
          "a.email_address = '" +
              account + "' AND m.subject = ?",
          m.subject);
      const fs::path eml = out_ / (source + "-" + m.kind + ".eml");
      fs::create_directories(out_);
      ASSERT_EQ(run({"export", id, "-o", eml.string()}).exit_code, 0);
      EXPECT_EQ(read_file(eml).value_or(""), m.raw);
      EXPECT_EQ(fs::status(eml).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write);
      EXPECT_EQ(run({"raw", id}).out, m.raw);
      for (const auto& a : m.attachments) {
        const fs::path saved = out_ / "attachment";
        result = run({"attachment", "save", id, a.filename, "-o", saved.string(), "--force"});
        ASSERT_EQ(result.exit_code, 0) << a.filename << ": " << result.err;
        EXPECT_EQ(read_file(saved).value_or(""), a.data) << a.filename;
      }
    }
  }
  // The bytes go with their rows.
  ASSERT_EQ(run({"account", "remove", "mbox@example.org", "--yes"}).exit_code, 0);
  EXPECT_EQ(query("SELECT COUNT(*) FROM message_sources"), std::to_string(corpus.size()));
}

TEST_F(KeptSourcesTest, ServerMailExportsWholeAndUnreadOrNotAtAll) {
  struct Case {
    std::string subject;   // as the header carries it
    std::string fileName;  // what is reported and written
  };
  const Case cases[] = {
      // "Hi\r\nBcc: x@evil.example\r\nX-Injected: 1"
      {"=?UTF-8?B?SGkNCkJjYzogeEBldmlsLmV4YW1wbGUNClgtSW5qZWN0ZWQ6IDE=?=",
       "Hi__Bcc_ x@evil.example__X-Injected_ 1.eml"},
      {"=?UTF-8?Q?a=00b/../c?=", "a_b_.._c.eml"},  // NUL and a path
      {"..", "__.eml"},                            // no hidden file
  };
  std::vector<std::string> raws;
  for (const auto& c : cases) {
    raws.push_back(
        "From: =?UTF-8?B?RXZlCkJjYzogeEBldmlsLmV4YW1wbGU=?= <eve@example.net>\r\n"
        "To: " +
        user_ + "\r\nSubject: " + c.subject + "\r\nMessage-ID: <h" + std::to_string(raws.size()) +
        "@example.net>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; "
        "boundary=b\r\n\r\n--b\r\n\r\nFive files.\r\n--b\r\nContent-Type: "
        "application/pdf; name=a.pdf\r\n\r\n%PDF\r\n--b--\r\n");
    servers_.deliver(user_, "INBOX", raws.back());
  }
  add_account();
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  fs::create_directories(out_);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].fileName);
    const std::string id = query("SELECT id FROM email_messages WHERE message_id = ?",
                                 "<h" + std::to_string(i) + "@example.net>");
    auto result = run({"export", id, "-o", out_.string()});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, "已导出: " + (out_ / cases[i].fileName).string() + "\n");
    EXPECT_EQ(read_file(out_ / cases[i].fileName).value_or(""), raws[i]);
    // The text keeps one line per field (From, To, Subject, Date), whatever they hold.
    ASSERT_EQ(run({"export", id, "--format", "text", "-o", out_.string()}).exit_code, 0);
    const std::string text =
        read_file((out_ / cases[i].fileName).replace_extension(".txt")).value_or("");
    EXPECT_EQ(std::count(text.begin(), text.begin() + text.find("---\n\nFive files."), '\n'), 4);
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(out_), fs::directory_iterator()), 6);
  ASSERT_EQ(run({"sync"}).exit_code, 0);  // nothing was marked read on the server
  EXPECT_EQ(query("SELECT COUNT(*) FROM email_messages WHERE is_read = 0"), "3");

  // Expunged by another client, then the server out of reach: an error, and no file.
  for (const char* sub : {"cur", "new"})
    for (const auto& entry : fs::directory_iterator(servers_.maildir_of(user_) / sub))
      if (read_file(entry.path()).value_or("").find("<h0@") != std::string::npos)
        fs::remove(entry.path());
  const fs::path target = dir_.path() / "x.eml";
  for (const std::string message : {"<h0@example.net>", "<h1@example.net>"}) {
    if (message == "<h1@example.net>") query("UPDATE email_accounts SET imap_port = 1");
    const auto result =
        run({"export", query("SELECT id FROM email_messages WHERE message_id = ?", message), "-o",
             target.string()});
    EXPECT_NE(result.exit_code, 0);
    EXPECT_NE(result.err.find("无法从服务器读取这封邮件的原始内容"), std::string::npos)
        << result.err;
    EXPECT_FALSE(fs::exists(target));
  }
}

}  // namespace
}  // namespace kestrova::testing
