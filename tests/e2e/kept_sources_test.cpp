// Whole messages as a user gets them out again: mail imported from a Maildir or an mbox into
// a local account comes back byte for byte through export, raw and attachment save; a
// server message whose body was never loaded exports as its whole source and stays unread;
// an export that cannot be whole fails and writes nothing; a hostile Subject changes neither
// the file's lines nor its name beyond the reported one.

#include <gtest/gtest.h>

#include <fstream>

#include "e2e/cli_fixture.h"
#include "store/database.h"
#include "support/message_generator.h"
#include "util/file.h"

namespace kestrova::testing {
namespace {

namespace fs = std::filesystem;

// The messages as an mboxrd file: a "From " line before each, body lines that look like
// one quoted with ">", an empty line after each.
std::string mbox_of(const std::vector<GeneratedMessage>& messages) {
  std::string out;
  for (const auto& m : messages) {
    out += "From sender@example.org Tue Nov 14 22:13:20 2023\n";
    size_t start = 0;
    while (start < m.raw.size()) {
      size_t end = m.raw.find('\n', start);
      end = end == std::string::npos ? m.raw.size() : end + 1;
      const std::string_view line(m.raw.data() + start, end - start);
      const size_t text = line.find_first_not_of('>');
      if (text != std::string_view::npos && line.substr(text).starts_with("From ")) out += '>';
      out += line;
      start = end;
    }
    out += "\n";
  }
  return out;
}

class KeptSourcesTest : public CliTest {
 protected:
  fs::path database() const { return dir_.path() / "data" / "tivra" / "Email" / "email.db"; }

  // The stored row id of the message with `subject` in the account `address`.
  std::string row_of(const std::string& subject, const std::string& address) {
    auto db = store::EmailDatabase::open(database());
    return db->read([&](store::Connection& c) {
      auto s = c.prepare(
          "SELECT m.id FROM email_messages m JOIN email_accounts a ON a.id = m.account_id WHERE "
          "m.subject = ? AND a.email_address = ?");
      s.bind_all(subject, address);
      return s.step() ? s.text(0).value_or("") : std::string();
    });
  }

  // The stored row id of the message with Message-ID `messageId`.
  std::string row_with_id(const std::string& messageId) {
    auto db = store::EmailDatabase::open(database());
    return db->read([&](store::Connection& c) {
      auto s = c.prepare("SELECT id FROM email_messages WHERE message_id = ?");
      s.bind(1, messageId);
      return s.step() ? s.text(0).value_or("") : std::string();
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

  fs::path out_ = dir_.path() / "out";
};

TEST_F(KeptSourcesTest, ImportedMailComesBackByteForByte) {
  // One message of every shape the generator knows: multipart, nested, base64 attachments,
  // RFC 2231 names, legacy charsets, no Message-ID, HTML only.
  const auto corpus = generate_corpus(31, static_cast<int>(generated_kinds().size()));
  const fs::path maildir = dir_.path() / "Maildir";
  std::vector<MaildirMessage> files;
  for (const auto& m : corpus) files.push_back({m.raw, {m.seen, m.flagged}, std::nullopt});
  write_maildir_messages(maildir, "INBOX", files);
  const fs::path mbox = dir_.path() / "old.mbox";
  std::ofstream(mbox, std::ios::binary) << mbox_of(corpus);

  struct Source {
    std::string option, path, account;
  };
  const Source sources[] = {{"--maildir", maildir.string(), "maildir@example.org"},
                            {"--mbox", mbox.string(), "mbox@example.org"}};
  for (const auto& source : sources) {
    SCOPED_TRACE(source.option);
    ASSERT_EQ(
        run({"account", "add", "--local", "--email", source.account, "--name", "Old"}).exit_code,
        0);
    ASSERT_EQ(run({"folder", "create", "Old", "--account", source.account}).exit_code, 0);
    auto result =
        run({"import", source.option, source.path, "--account", source.account, "--folder", "Old"});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    fs::remove_all(out_);
    fs::create_directories(out_);
    for (const auto& m : corpus) {
      SCOPED_TRACE(m.kind);
      const std::string id = row_of(m.subject, source.account);
      ASSERT_FALSE(id.empty());
      const fs::path eml = out_ / (m.kind + ".eml");
      result = run({"export", id, "-o", eml.string()});
      ASSERT_EQ(result.exit_code, 0) << result.err;
      EXPECT_EQ(read_file(eml).value_or(""), m.raw);
      EXPECT_EQ((fs::status(eml).permissions() & fs::perms::all),
                fs::perms::owner_read | fs::perms::owner_write);
      result = run({"raw", id});
      ASSERT_EQ(result.exit_code, 0) << result.err;
      EXPECT_EQ(result.out, m.raw);
      for (const auto& a : m.attachments) {
        if (a.isInline) continue;
        const fs::path saved = out_ / (m.kind + "-attachment");
        result = run({"attachment", "save", id, a.filename, "-o", saved.string(), "--force"});
        ASSERT_EQ(result.exit_code, 0) << a.filename << ": " << result.err;
        EXPECT_EQ(read_file(saved).value_or(""), a.data) << a.filename;
      }
    }
  }
  // The bytes go with their message.
  const int64_t kept = count("SELECT COUNT(*) FROM message_sources");
  EXPECT_EQ(kept, 2 * static_cast<int64_t>(corpus.size()));
  ASSERT_EQ(run({"account", "remove", "mbox@example.org", "--yes"}).exit_code, 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM message_sources"), kept / 2);
}

// A message with five attachments and a Subject that tries to add header lines (CR LF) and
// to cut the file name short (NUL), both as RFC 2047 encoded words.
std::string hostile(const std::string& encodedSubject, const std::string& id) {
  std::string raw =
      "From: =?UTF-8?B?RXZlCkJjYzogeEBldmlsLmV4YW1wbGU=?= <eve@example.net>\r\n"
      "To: USER\r\nSubject: " +
      encodedSubject + "\r\nDate: Tue, 2 Jan 2024 10:00:00 +0000\r\nMessage-ID: <" + id +
      "@example.net>\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\n"
      "Content-Type: text/plain; charset=utf-8\r\n\r\nFive files.\r\n";
  for (int i = 1; i <= 5; ++i)
    raw +=
        "--b\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; "
        "filename=\"part" +
        std::to_string(i) + ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        std::string(76, static_cast<char>('A' + i)) + "\r\n";
  return raw + "--b--\r\n";
}

TEST_F(KeptSourcesTest, ServerMailExportsWholeAndUnreadOrNotAtAll) {
  struct Case {
    std::string encodedSubject;
    std::string fileName;  // what the export reports and writes
  };
  const Case cases[] = {
      // "Hi\r\nBcc: x@evil.example\r\nX-Injected: 1"
      {"=?UTF-8?B?SGkNCkJjYzogeEBldmlsLmV4YW1wbGUNClgtSW5qZWN0ZWQ6IDE=?=",
       "Hi__Bcc_ x@evil.example__X-Injected_ 1.eml"},
      // "a\0b/../c"
      {"=?UTF-8?Q?a=00b/../c?=", "a_b_.._c.eml"},
      // "..": no hidden file
      {"..", "__.eml"},
  };
  std::vector<std::string> raws;
  for (size_t i = 0; i < std::size(cases); ++i) {
    std::string raw = hostile(cases[i].encodedSubject, "h" + std::to_string(i));
    raw.replace(raw.find("USER"), 4, user_);
    servers_.deliver(user_, "INBOX", raw);
    raws.push_back(raw);
  }
  add_account();
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  ASSERT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE is_body_loaded = 0"), 3);
  fs::create_directories(out_);

  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].fileName);
    const std::string id = row_with_id("<h" + std::to_string(i) + "@example.net>");
    auto result = run({"export", id, "-o", out_.string()});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const fs::path eml = out_ / cases[i].fileName;
    EXPECT_EQ(result.out, "已导出: " + eml.string() + "\n");
    EXPECT_EQ(read_file(eml).value_or(""), raws[i]);

    // The text form keeps one line per field, whatever the Subject and names hold.
    result = run({"export", id, "--format", "text", "-o", out_.string()});
    ASSERT_EQ(result.exit_code, 0) << result.err;
    fs::path txt = eml;
    txt.replace_extension(".txt");
    const std::string text = read_file(txt).value_or("");
    const std::string head = text.substr(0, text.find("---\n"));
    EXPECT_EQ(std::count(head.begin(), head.end(), '\n'), 4) << head;
    EXPECT_NE(text.find("---\n\nFive files."), std::string::npos) << text;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(out_), fs::directory_iterator()), 6);

  // Nothing was marked read on the server: a new sync still finds every message unread.
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE is_read = 0"), 3);

  // Gone from the server (expunged by another client): the export fails and writes nothing.
  for (const char* sub : {"cur", "new"})
    for (const auto& entry : fs::directory_iterator(servers_.maildir_of(user_) / sub))
      if (read_file(entry.path()).value_or("").find("<h0@example.net>") != std::string::npos)
        fs::remove(entry.path());
  const fs::path nowhere = dir_.path() / "gone.eml";
  auto result = run({"export", row_with_id("<h0@example.net>"), "-o", nowhere.string()});
  EXPECT_NE(result.exit_code, 0);
  EXPECT_NE(result.err.find("无法从服务器读取这封邮件的原始内容"), std::string::npos) << result.err;
  EXPECT_FALSE(fs::exists(nowhere));

  // The server out of reach: the same, for a message whose source was never read.
  store::EmailDatabase::open(database())->write([&](store::Connection& c) {
    c.prepare("UPDATE email_accounts SET imap_port = 1").run();
    c.prepare("UPDATE email_messages SET is_body_loaded = 0, text_body = NULL").run();
  });
  for (const char* format : {"eml", "text"}) {
    result = run(
        {"export", row_with_id("<h1@example.net>"), "--format", format, "-o", nowhere.string()});
    EXPECT_NE(result.exit_code, 0) << format;
    EXPECT_NE(result.err.find("无法从服务器读取这封邮件的原始内容"), std::string::npos)
        << result.err;
    EXPECT_FALSE(fs::exists(nowhere));
  }
}

}  // namespace
}  // namespace kestrova::testing
