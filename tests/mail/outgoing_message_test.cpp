// The outgoing message as LibEtPanSMTPSession writes it: whole messages compared byte for
// byte with the date, Message-ID and boundary fixed, and the encoders on their own.
#include "mail/outgoing_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mail/libetpan_smtp_session.h"
#include "mail/mail_address.h"
#include "util/base64.h"

namespace kestrova::mail {
namespace {

const MessageStamp kStamp{"Sat, 05 Dec 2026 18:01:21 +0000", "11111111-2222-3333-4444-555555555555",
                          "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"};
constexpr std::string_view kBoundary = "boundary_AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE";

OutgoingMessage message() {
  OutgoingMessage m;
  m.from = "me@example.com";
  m.to = {"a@example.org", "b@example.org"};
  m.subject = "Hello";
  m.body = "Hi=there\r\nsecond line";
  return m;
}

std::string header_block(std::string_view extra_after_to = "", std::string_view subject = "Hello",
                         std::string_view receipt = "") {
  return "From: me@example.com\r\n"
         "To: a@example.org, b@example.org\r\n" +
         std::string(extra_after_to) + "Subject: " + std::string(subject) +
         "\r\n"
         "Date: Sat, 05 Dec 2026 18:01:21 +0000\r\n"
         "Message-ID: <11111111-2222-3333-4444-555555555555@example.com>\r\n" +
         std::string(receipt) + "MIME-Version: 1.0\r\n";
}

std::string text_part(std::string_view subtype, std::string_view encoded) {
  return "Content-Type: text/" + std::string(subtype) +
         "; charset=UTF-8\r\n"
         "Content-Transfer-Encoding: quoted-printable\r\n"
         "\r\n" +
         std::string(encoded) + "\r\n";
}

// The header lines (up to the first empty line) of a message.
std::vector<std::string> header_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (true) {
    const size_t end = text.find("\r\n", at);
    if (end == std::string::npos || end == at) return lines;
    lines.push_back(text.substr(at, end - at));
    at = end + 2;
  }
}

TEST(OutgoingMessage, AttachmentsWrapTheFixedAlternativeAndSkipEntriesWithoutData) {
  OutgoingMessage m = message();
  m.body = "plain";
  m.htmlBody = "<b>x</b>";
  const std::string data(120, 'x');  // 160 Base64 characters: lines of 76, 76 and 8
  m.attachments = {
      {data, "报告.pdf", "application/pdf"},
      {std::nullopt, "missing.txt", "text/plain"},
      {std::string("hello"), "say \"hi\".txt", std::nullopt},
      {std::string("\x01\x02"), std::nullopt, std::nullopt},
  };
  const std::string b(kBoundary);
  std::string line76;
  for (int i = 0; i < 19; ++i) line76 += "eHh4";
  EXPECT_EQ(build_outgoing_message(m, kStamp).text,
            header_block() + "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" + b +
                "\r\n"
                "Content-Type: multipart/alternative; boundary=\"alt_boundary\"\r\n\r\n"
                "--alt_boundary\r\n" +
                text_part("plain", "plain") + "--alt_boundary\r\n" + text_part("html", "<b>x</b>") +
                "--alt_boundary--\r\n"
                "--" + b + "\r\n"
                "Content-Type: application/pdf; name=\"=?UTF-8?B?5oql5ZGKLnBkZg==?=\"\r\n"
                "Content-Transfer-Encoding: base64\r\n"
                "Content-Disposition: attachment; filename=\"=?UTF-8?B?5oql5ZGKLnBkZg==?=\"\r\n"
                "\r\n" +
                line76 + "\r\n" + line76 + "\r\neHh4eHh4\r\n"
                "--" + b + "\r\n"
                "Content-Type: application/octet-stream; name=\"say \\\"hi\\\".txt\"\r\n"
                "Content-Transfer-Encoding: base64\r\n"
                "Content-Disposition: attachment; filename=\"say \\\"hi\\\".txt\"\r\n"
                "\r\n"
                "aGVsbG8=\r\n"
                "--" + b + "\r\n"
                "Content-Type: application/octet-stream; name=\"attachment\"\r\n"
                "Content-Transfer-Encoding: base64\r\n"
                "Content-Disposition: attachment; filename=\"attachment\"\r\n"
                "\r\n"
                "AQI=\r\n"
                "--" + b + "--\r\n");

  // Without HTML the plain part stands directly in the mixed body.
  m.htmlBody.reset();
  m.attachments = {{std::string("hello"), "a.txt", "text/plain"}};
  EXPECT_EQ(build_outgoing_message(m, kStamp).text,
            header_block() + "Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n\r\n--" + b +
                "\r\n" + text_part("plain", "plain") + "--" + b +
                "\r\n"
                "Content-Type: text/plain; name=\"a.txt\"\r\n"
                "Content-Transfer-Encoding: base64\r\n"
                "Content-Disposition: attachment; filename=\"a.txt\"\r\n"
                "\r\n"
                "aGVsbG8=\r\n"
                "--" + b + "--\r\n");
}

TEST(OutgoingMessage, HeaderEncoders) {
  EXPECT_EQ(LibEtPanSMTPSession::encodeMimeHeader("Hello"), "Hello");
  EXPECT_EQ(LibEtPanSMTPSession::encodeMimeHeader("Grüße"), "=?UTF-8?B?R3LDvMOfZQ==?=");
  // One encoded word for the whole text, however long.
  const std::string long_subject(100, 'a');
  EXPECT_EQ(LibEtPanSMTPSession::encodeMimeHeader(long_subject + "é"),
            "=?UTF-8?B?" + base64::encode(long_subject + "é") + "?=");
  EXPECT_EQ(LibEtPanSMTPSession::encodeMimeHeader(""), "");
  EXPECT_EQ(LibEtPanSMTPSession::encodeMimeHeaderValue("a\"b\\c.txt"), "a\\\"b\\\\c.txt");
  EXPECT_EQ(LibEtPanSMTPSession::encodeMimeHeaderValue("ü\".txt"), "=?UTF-8?B?w7wiLnR4dA==?=");
}

TEST(OutgoingMessage, QuotedPrintable) {
  auto qp = &LibEtPanSMTPSession::quotedPrintableEncode;
  EXPECT_EQ(qp("a=b"), "a=3Db");
  EXPECT_EQ(qp("é"), "=C3=A9");
  EXPECT_EQ(qp("tab\tspace \r\nend~"), "tab\tspace \r\nend~");
  EXPECT_EQ(qp(std::string("\x00\x7F\x1B", 3)), "=00=7F=1B");
  EXPECT_EQ(qp(""), "");

  // A soft break whenever the output reaches a multiple of 75 characters, counting the
  // breaks written before.
  const std::string a160(160, 'a');
  EXPECT_EQ(qp(a160), std::string(75, 'a') + "=\r\n" + std::string(72, 'a') + "=\r\n" +
                          std::string(13, 'a'));
  EXPECT_EQ(qp(std::string(75, 'a')), std::string(75, 'a') + "=\r\n");
  // An "=XX" triplet that steps over the mark makes a longer line without a break.
  EXPECT_EQ(qp(std::string(74, 'a') + "=" + "b"), std::string(74, 'a') + "=3Db");
  EXPECT_EQ(qp(std::string(72, 'a') + "=" + "b"), std::string(72, 'a') + "=3D=\r\nb");
}

TEST(OutgoingMessage, HostileHeaderValuesNeverBreakTheHeaderBlock) {
  OutgoingMessage m = message();
  m.to.clear();
  for (int i = 0; i < 10000; ++i)
    m.to.push_back("\"Name " + std::to_string(i) + "\" <u" + std::to_string(i) + "@example.org>");
  m.subject = "Re: a\r\nBcc: evil@example.org";
  m.inReplyTo = "<" + std::string(1 << 20, 'x') + "@example.org>";
  m.references = {*m.inReplyTo, "<a@b>\r\nX-Injected: 1"};
  const std::string text = build_outgoing_message(m, kStamp).text;
  const auto lines = header_lines(text);
  size_t names = 0;
  for (const auto& line : lines) {
    EXPECT_LE(line.size(), 998u);  // RFC 5322 §2.1.1
    EXPECT_FALSE(line.starts_with("Bcc") || line.starts_with("X-Injected") ||
                 line.starts_with("In-Reply-To") || line.starts_with("References"))
        << line;
    for (size_t at = 0; (at = line.find("@example.org>", at)) != std::string::npos; ++at) ++names;
  }
  EXPECT_EQ(names, 10000u);
  EXPECT_NE(text.find("Subject: Re: a Bcc: evil@example.org\r\n"), std::string::npos);
}

TEST(MailAddress, AddrSpecAndMailboxForms) {
  for (const char* good :
       {"a@example.org", "first.last+tag@sub.example.org", "\"john doe\"@example.org",
        "user@[192.0.2.1]", "用户@例子.中国", "x@localhost"})
    EXPECT_TRUE(is_valid_addr_spec(good)) << good;
  for (const char* bad :
       {"not an address", "a@", "@b", "a..b@example.org", ".a@example.org", "a@b@",
        "a@example.org\r\nRCPT TO:<x@y>", "a b@example.org", "a@exa mple.org", ""})
    EXPECT_FALSE(is_valid_addr_spec(bad)) << bad;
  EXPECT_FALSE(is_valid_addr_spec(std::string(250, 'a') + "@example.org"));

  EXPECT_EQ(parse_mailbox(" Ann Lee <ann@example.net> "), (Mailbox{"Ann Lee", "ann@example.net"}));
  EXPECT_EQ(parse_mailbox("\"Lee, Ann <boss>\" <ann@example.net>"),
            (Mailbox{"Lee, Ann <boss>", "ann@example.net"}));
  EXPECT_EQ(parse_mailbox("<ann@example.net>"), (Mailbox{"", "ann@example.net"}));
  EXPECT_FALSE(parse_mailbox("Ann <not an address>"));
  EXPECT_FALSE(parse_mailbox("Ann <a@b> trailing"));
  EXPECT_EQ(message_ids_in("<a@b> junk <c@d>\r\n <" + std::string(300, 'x') + "@e>"),
            (std::vector<std::string>{"<a@b>", "<c@d>"}));
}

}  // namespace
}  // namespace kestrova::mail
