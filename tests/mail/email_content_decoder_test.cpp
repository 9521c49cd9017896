#include "mail/email_content_decoder.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "mail/mime_charset.h"
#include "util/base64.h"
#include "util/text.h"

namespace kestrova::mail {
namespace {

// The lines joined with CR LF (and one after the last).
std::string message(std::initializer_list<std::string_view> lines) {
  std::string out;
  for (auto line : lines) {
    out += line;
    out += "\r\n";
  }
  return out;
}

// "中文" in GBK / GB 2312 and in UTF-8.
constexpr std::string_view kZhongwenGbk = "\xD6\xD0\xCE\xC4";
constexpr std::string_view kZhongwen = "中文";

EmailAttachmentMeta attachment_named(std::string path, std::string filename, std::string type) {
  EmailAttachmentMeta meta;
  meta.partPath = std::move(path);
  meta.filename = std::move(filename);
  meta.mimeType = std::move(type);
  return meta;
}

// ---- header fields ----

// RFC 2047 §8, the table of encoded words and the white space between them.
TEST(EmailContentDecoderHeader, Rfc2047Examples) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"(=?ISO-8859-1?Q?a?=)", "(a)"},
      {"(=?ISO-8859-1?Q?a?= b)", "(a b)"},
      {"(=?ISO-8859-1?Q?a?= =?ISO-8859-1?Q?b?=)", "(ab)"},
      {"(=?ISO-8859-1?Q?a?=  =?ISO-8859-1?Q?b?=)", "(ab)"},
      {"(=?ISO-8859-1?Q?a?=\r\n    =?ISO-8859-1?Q?b?=)", "(ab)"},
      {"(=?ISO-8859-1?Q?a_b?=)", "(a b)"},
      {"(=?ISO-8859-1?Q?a?= =?ISO-8859-2?Q?_b?=)", "(a b)"},
      {"=?US-ASCII?Q?Keith_Moore?= <moore@cs.utk.edu>", "Keith Moore <moore@cs.utk.edu>"},
      {"=?ISO-8859-1?Q?Andr=E9?= Pirard", "André Pirard"},
  };
  for (const auto& [encoded, decoded] : cases)
    EXPECT_EQ(EmailContentDecoder::decodeMimeHeader(encoded), decoded) << encoded;
}

TEST(EmailContentDecoderHeader, InvalidWordsAndRawBytes) {
  // Not words: no closing "?=", an unknown mode, bad Base64, an empty text.
  for (std::string_view raw : {"=?utf-8?B?5Lit", "=?utf-8?X?abc?=", "=?utf-8?B?!!!!?=",
                               "=?utf-8?Q?" "?=", "=??B?5Lit?=", "a =? b ?= c", "=?"})
    EXPECT_EQ(EmailContentDecoder::decodeMimeHeader(raw), raw);
  // A valid word after an invalid one still decodes.
  EXPECT_EQ(EmailContentDecoder::decodeMimeHeader("=?x?= =?utf-8?B?5Lit?="), "=?x?= 中");
  // An unknown charset reads as UTF-8.
  EXPECT_EQ(EmailContentDecoder::decodeMimeHeader("=?x-unknown-7?B?5Lit?="), "中");
  // Raw GBK bytes in a header (no charset at all) are recognised.
  EXPECT_EQ(EmailContentDecoder::decodeMimeHeader(std::string("Re: ") + std::string(kZhongwenGbk)),
            "Re: 中文");
  // Raw UTF-8 stays, folding goes.
  EXPECT_EQ(EmailContentDecoder::decodeMimeHeader("中文\r\n subject"), "中文 subject");
}

TEST(EmailContentDecoderHeader, DecodedHeaders) {
  const std::string raw = message({
      "From: =?UTF-8?B?5byg5LiJ?= <zhang@example.cn>",
      "To: \"Ann Lee\" <ann@example.org>, bob@example.org,",
      " Team: carol@example.org, =?gb2312?B?wO7LxA==?= <li@example.cn>;",
      "Cc: \xD6\xD0\xCE\xC4 <raw@example.cn>",
      "Reply-To: list@example.org",
      "Subject: =?UTF-8?Q?Re:_=E4=BC=9A=E8=AE=AE?=",
      " =?UTF-8?Q?=E9=80=9A=E7=9F=A5?=",
      "Date: Sat, 5 Dec 2026 18:01:21",
      " +0800",
      "Message-ID: <abc@example.cn>",
      "In-Reply-To: <parent@example.cn>",
      "",
      "Body: not a header",
  });
  const DecodedHeaders h = EmailContentDecoder::decodeHeaders(raw);
  EXPECT_EQ(h.subject, "Re: 会议通知");
  ASSERT_TRUE(h.from);
  EXPECT_EQ(h.from->name, "张三");
  EXPECT_EQ(h.from->email, "zhang@example.cn");
  ASSERT_EQ(h.to.size(), 4u);
  EXPECT_EQ(h.to[0], (store::EmailContact{"Ann Lee", "ann@example.org"}));
  EXPECT_EQ(h.to[1], (store::EmailContact{std::nullopt, "bob@example.org"}));
  EXPECT_EQ(h.to[2], (store::EmailContact{std::nullopt, "carol@example.org"}));
  EXPECT_EQ(h.to[3], (store::EmailContact{"李四", "li@example.cn"}));
  ASSERT_EQ(h.cc.size(), 1u);
  EXPECT_EQ(h.cc[0], (store::EmailContact{"中文", "raw@example.cn"}));
  ASSERT_EQ(h.replyTo.size(), 1u);
  EXPECT_EQ(h.replyTo[0].email, "list@example.org");
  EXPECT_EQ(h.date, "Sat, 5 Dec 2026 18:01:21 +0800");
  EXPECT_EQ(h.messageId, "<abc@example.cn>");
  EXPECT_EQ(h.inReplyTo, "<parent@example.cn>");

  const DecodedHeaders none = EmailContentDecoder::decodeHeaders("no header block at all");
  EXPECT_EQ(none.subject, "");
  EXPECT_FALSE(none.from);
  EXPECT_FALSE(none.date);
}

// ---- charsets and garbled text ----

TEST(EmailContentDecoderCharset, UnknownAndWrongCharsets) {
  EXPECT_EQ(EmailContentDecoder::decodeText("中文 ok", "x-no-such-charset"), "中文 ok");
  EXPECT_EQ(EmailContentDecoder::decodeText("a\xFF", "x-no-such-charset"), "a\xEF\xBF\xBD");
  // GBK labelled UTF-8 (a common mistake): the declared reading is full of U+FFFD, the GB
  // 18030 reading wins.
  EXPECT_EQ(EmailContentDecoder::decodeText(std::string(kZhongwenGbk) + "邮件", "utf-8").substr(0, 6),
            kZhongwen);
  // No charset: UTF-8 when valid, else recognised.
  EXPECT_EQ(EmailContentDecoder::decodeText(kZhongwenGbk, ""), kZhongwen);
  EXPECT_EQ(decode_charset_text("caf\xE9 au lait", ""), "café au lait");
  EXPECT_EQ(decode_charset_text("8-bit UTF-8: 中文", "us-ascii"), "8-bit UTF-8: 中文");
}

// Bytes a charset does not allow become U+FFFD, whatever substitute the converter table
// carries, so the fall-back readings see them.
TEST(EmailContentDecoderCharset, InvalidBytesBecomeReplacementCharacters) {
  // "朱镕基" in GBK labelled GB 2312, which has no "镕" (E9 46, the second byte ASCII "F").
  EXPECT_EQ(EmailContentDecoder::decodeText("\xD6\xEC\xE9\x46\xBB\xF9", "gb2312"), "朱镕基");
  // A byte a single-byte table leaves unassigned (ISO 8859-3 has nothing at A5).
  EXPECT_EQ(convert_charset("a\xA5z", "iso-8859-3"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(convert_charset("\xD6\xEC\xE9\x46", "gb2312"), "朱\xEF\xBF\xBD" "F");
}

TEST(EmailContentDecoderCharset, GarbledTextIsRepaired) {
  // UTF-8 read as Latin-1 and written out as UTF-8 again ("ä¸­æ–‡é‚®ä»¶").
  const std::string twice = *convert_charset("中文邮件内容", "windows-1252");
  EXPECT_TRUE(looks_garbled(twice));
  EXPECT_EQ(EmailContentDecoder::decodeText(twice, "utf-8"), "中文邮件内容");
  // GBK bytes labelled Latin-1: "ÖÐÎÄ" becomes Chinese again.
  EXPECT_EQ(EmailContentDecoder::decodeText(std::string(kZhongwenGbk) + " ok", "iso-8859-1"),
            "中文 ok");
  // Western text with accents is left alone, and so is text that is fine.
  for (std::string_view fine : {"Größe", "Ça coûte très cher, déjà réglé.", "中文", "naïve ×2"})
    EXPECT_EQ(repair_garbled_text(fine), fine);
  EXPECT_GT(readability_score("中文邮件"), readability_score("ÖÐÎÄÓÊ¼þ"));
  EXPECT_GT(readability_score("plain text"), readability_score("\xEF\xBF\xBD\xEF\xBF\xBD"));
}

// ---- transfer encodings ----

TEST(EmailContentDecoderTransfer, QuotedPrintable) {
  EXPECT_EQ(EmailContentDecoder::decodeTransferEncoding(
                "soft=\r\nbreak, soft =  \r\nwith space, lf=\nonly, =E4=B8=AD=e6=96=87\r\nend=",
                "Quoted-Printable"),
            "softbreak, soft with space, lfonly, 中文\r\nend");
  // An "=" without two hex digits is kept, and so is everything after it.
  EXPECT_EQ(EmailContentDecoder::decodeTransferEncoding("a=ZZb =3 c=3D", "quoted-printable"),
            "a=ZZb =3 c=");
}

// ---- structure ----

TEST(EmailContentDecoderStructure, PlainAndMissingContentType) {
  const std::string plain = message({"Subject: x", "Content-Type: text/plain; charset=\"gb2312\"",
                                     "Content-Transfer-Encoding: base64", "", "1tDOxA=="});
  EmailBodyContent c = EmailContentDecoder::decode(plain);
  EXPECT_EQ(c.textBody, kZhongwen);
  EXPECT_FALSE(c.htmlBody);
  EXPECT_TRUE(c.attachments.empty());
  EXPECT_EQ(c.originalSize, static_cast<int64_t>(plain.size()));
  EXPECT_FALSE(c.wasTruncated);

  // No MIME headers at all: text/plain, 8-bit GBK recognised.
  c = EmailContentDecoder::decode("Subject: old\r\n\r\n" + std::string(kZhongwenGbk) + "\r\n");
  EXPECT_EQ(c.textBody, "中文\r\n");

  // An HTML-only message with a remote image.
  c = EmailContentDecoder::decode(message({"Content-Type: text/html; charset=utf-8", "",
                                           "<img src=\"https://t.example/p.gif\">"}));
  EXPECT_FALSE(c.textBody);
  EXPECT_EQ(c.htmlBody, "<img src=\"https://t.example/p.gif\">\r\n");
  EXPECT_TRUE(c.containsRemoteResources);

  EXPECT_EQ(EmailContentDecoder::decode("").originalSize, 0);
}

// Preamble lines that start like a delimiter but are none (indented, or the boundary followed
// by more text) do not start the first part; delimiter lines inside parts are exact anyway.
TEST(EmailContentDecoderStructure, PreambleLinesThatResembleTheBoundary) {
  for (std::string_view preamble : {" --sep (indented)", "--separate", "\t--sep", "--sep-not"}) {
    const std::string raw = message({"Content-Type: multipart/alternative; boundary=\"sep\"", "",
                                     "This is a multi-part message.", preamble, "--sep",
                                     "Content-Type: text/plain", "", "real text", "--separate",
                                     "--sep", "Content-Type: text/html", "", "<p>real</p>", "--sep--"});
    const EmailBodyContent c = EmailContentDecoder::decode(raw);
    EXPECT_EQ(c.textBody, "real text\r\n--separate") << preamble;
    EXPECT_EQ(c.htmlBody, "<p>real</p>") << preamble;
  }
}

// Leaves that are not text are attachments even without a name; other text leaves are
// neither bodies nor attachments.
TEST(EmailContentDecoderStructure, BounceReport) {
  const std::string raw = message({
      "Content-Type: multipart/report; report-type=delivery-status; boundary=r", "", "--r",
      "Content-Type: text/plain", "", "Delivery failed.", "--r",
      "Content-Type: message/delivery-status", "", "Action: failed", "Status: 5.1.1", "", "--r",
      "Content-Type: text/rfc822-headers", "", "Subject: hello", "--r",
      "Content-Type: application/pdf", "Content-Transfer-Encoding: base64", "", "JVBERg==", "--r--"});
  const EmailBodyContent c = EmailContentDecoder::decode(raw);
  EXPECT_EQ(c.textBody, "Delivery failed.");
  ASSERT_EQ(c.attachments.size(), 2u);
  EXPECT_EQ(c.attachments[0].partPath, "2");
  EXPECT_EQ(c.attachments[0].filename, "attachment");
  EXPECT_EQ(c.attachments[0].mimeType, "message/delivery-status");
  EXPECT_EQ(c.attachments[0].size, 31);
  EXPECT_EQ(c.attachments[1].partPath, "4");
  EXPECT_EQ(c.attachments[1].mimeType, "application/pdf");
  EXPECT_EQ(c.attachments[1].size, 4);
  EXPECT_FALSE(c.attachments[1].isInline);
}

TEST(EmailContentDecoderStructure, AttachedAndInlineMessages) {
  const std::string inner = message({"From: b@example.org", "Subject: =?UTF-8?B?5Lit5paH?= report",
                                     "Content-Type: multipart/mixed; boundary=in", "", "--in",
                                     "Content-Type: text/plain", "", "inner text", "--in",
                                     "Content-Type: image/gif; name=dot.gif", "", "GIF89a", "--in--"});
  // As an attachment: one entry named after its subject, not descended into.
  const std::string attached =
      message({"Content-Type: multipart/mixed; boundary=out", "", "--out",
               "Content-Type: text/plain", "", "outer text", "--out",
               "Content-Type: message/rfc822", "Content-Disposition: attachment", ""}) +
      inner + "--out--\r\n";
  EmailBodyContent c = EmailContentDecoder::decode(attached);
  EXPECT_EQ(c.textBody, "outer text");
  ASSERT_EQ(c.attachments.size(), 1u);
  EXPECT_EQ(c.attachments[0].partPath, "2");
  EXPECT_EQ(c.attachments[0].filename, "中文 report.eml");
  EXPECT_EQ(c.attachments[0].mimeType, "message/rfc822");
  std::optional<std::string> data = EmailContentDecoder::attachmentData(attached, c.attachments[0]);
  ASSERT_TRUE(data);
  EXPECT_NE(data->find("Subject: =?UTF-8?B?5Lit5paH?= report"), std::string::npos);
  EXPECT_EQ(c.attachments[0].size, static_cast<int64_t>(data->size()));

  // Inline (a forwarded message without disposition): walked with IMAP's numbering, its
  // text used only because the outer message has none.
  const std::string forwarded =
      message({"Content-Type: multipart/mixed; boundary=out", "", "--out",
               "Content-Type: text/html", "", "<p>see below</p>", "--out",
               "Content-Type: message/rfc822", ""}) +
      inner + "--out--\r\n";
  c = EmailContentDecoder::decode(forwarded);
  EXPECT_EQ(c.htmlBody, "<p>see below</p>");
  EXPECT_EQ(c.textBody, "inner text");
  ASSERT_EQ(c.attachments.size(), 1u);
  EXPECT_EQ(c.attachments[0].partPath, "2.2");
  EXPECT_EQ(c.attachments[0].filename, "dot.gif");
  EXPECT_EQ(EmailContentDecoder::attachmentData(forwarded, c.attachments[0]), "GIF89a");

  // A message/rfc822 whose body is not multipart: its body is "<n>.1".
  const std::string single =
      message({"Content-Type: multipart/mixed; boundary=out", "", "--out",
               "Content-Type: message/rfc822", "", "Subject: inner",
               "Content-Type: application/pdf; name=a.pdf", "", "PDF", "--out--"});
  c = EmailContentDecoder::decode(single);
  ASSERT_EQ(c.attachments.size(), 1u);
  EXPECT_EQ(c.attachments[0].partPath, "1.1");
}

// ---- bounded cost ----

TEST(EmailContentDecoderLimits, DeeplyNestedMultipartsComplete) {
  constexpr int kDepth = 20000;
  std::string raw = "Subject: bomb\r\n";
  for (int i = 0; i < kDepth; ++i)
    raw += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" +
           std::to_string(i) + "\r\n";
  raw += "Content-Type: text/plain\r\n\r\ndeep\r\n";
  for (int i = kDepth - 1; i >= 0; --i) raw += "--b" + std::to_string(i) + "--\r\n";
  const EmailBodyContent c = EmailContentDecoder::decode(raw);
  EXPECT_EQ(c.originalSize, static_cast<int64_t>(raw.size()));
  EXPECT_FALSE(c.textBody);  // the text sits below the containers that are parsed as such
  for (const auto& a : c.attachments) EXPECT_FALSE(a.partPath.empty());
  EXPECT_FALSE(EmailContentDecoder::attachmentData(raw, attachment_named("1.1.1", "", "")));

  // Many parts side by side: the walk stops at its part limit.
  std::string wide = "Content-Type: multipart/mixed; boundary=w\r\n\r\n";
  for (int i = 0; i < 10000; ++i)
    wide += "--w\r\nContent-Type: application/octet-stream; name=f" + std::to_string(i) + "\r\n\r\nx\r\n";
  wide += "--w--\r\n";
  const EmailBodyContent w = EmailContentDecoder::decode(wide);
  EXPECT_GT(w.attachments.size(), 1000u);
  EXPECT_LT(w.attachments.size(), 10000u);
  EXPECT_EQ(w.attachments[0].partPath, "1");
  EXPECT_EQ(w.attachments[41].partPath, "42");
}

TEST(EmailContentDecoderLimits, HugeHeaderCompletes) {
  // A 100 MiB Subject of encoded words and folds, then a normal body: the field is cut at
  // 1 MiB, so the decoded subject stays small and the message still decodes.
  std::string raw = "Subject: ";
  const std::string chunk = "=?UTF-8?B?5Lit?=\r\n =?gb2312?Q?=D6=D0?= plain ";
  while (raw.size() < (100u << 20)) raw += chunk;
  raw += "\r\nContent-Type: text/plain\r\n\r\nbody\r\n";
  const DecodedHeaders h = EmailContentDecoder::decodeHeaders(raw);
  EXPECT_EQ(h.subject.substr(0, 16), "中中 plain 中");
  EXPECT_TRUE(text::is_valid_utf8(h.subject));
  EXPECT_LE(h.subject.size(), 1u << 20);
  const EmailBodyContent c = EmailContentDecoder::decode(raw);
  EXPECT_EQ(c.originalSize, static_cast<int64_t>(raw.size()));
  EXPECT_TRUE(!c.textBody || c.textBody == "body\r\n");
}

}  // namespace
}  // namespace kestrova::mail
