// The content decoder against the test message generator: every shape of message decodes
// to exactly the headers, bodies and attachments the generator wrote; and the generator
// writes what the servers and other MIME parsers expect (CRLF, short lines, ASCII headers,
// the same bytes for the same seed).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "generated_message_checks.h"
#include "mail/email_content_decoder.h"
#include "mail/email_message_conversion.h"
#include "mail/mime_charset.h"
#include "support/message_generator.h"

namespace kestrova::mail {
namespace {

using testing::GeneratedMessage;

TEST(GeneratedCorpusDecoding, EveryKindDecodesToWhatWasWritten) {
  const size_t kinds = testing::generated_kinds().size();
  for (const GeneratedMessage& m : testing::generate_corpus(11, static_cast<int>(2 * kinds))) {
    SCOPED_TRACE(m.kind + ": " + m.raw.substr(0, 600));
    const DecodedHeaders headers = EmailContentDecoder::decodeHeaders(m.raw);
    EXPECT_EQ(headers.subject, m.subject);
    ASSERT_TRUE(headers.from);
    EXPECT_EQ(headers.from->name.value_or(""), m.fromName);
    EXPECT_EQ(headers.from->email, m.fromEmail);
    std::vector<std::string> to;
    for (const auto& c : headers.to) to.push_back(c.email);
    EXPECT_EQ(to, m.to);
    EXPECT_EQ(headers.messageId.value_or(""), m.messageId);
    EXPECT_EQ(headers.inReplyTo.value_or(""), m.inReplyTo);
    ASSERT_TRUE(headers.date);
    EXPECT_EQ(parse_header_date(*headers.date), static_cast<double>(m.date)) << *headers.date;

    expect_decoded_as_generated(
        EmailContentDecoder::decode(m.raw), m, [&](const EmailAttachmentMeta& a) {
          return EmailContentDecoder::attachmentData(m.raw, a).value_or("(not found)");
        });
  }
}

TEST(GeneratedCorpus, IsReproducibleAndWellFormed) {
  const auto corpus = testing::generate_corpus(5, 60);
  std::set<std::string> kinds, subjects;
  bool seen = false, unseen = false, flagged = false;
  for (size_t i = 0; i < corpus.size(); ++i) {
    const GeneratedMessage& m = corpus[i];
    SCOPED_TRACE(m.kind);
    EXPECT_EQ(m.raw, testing::generate_message(5, static_cast<int>(i)).raw);
    EXPECT_NE(m.raw, testing::generate_message(6, static_cast<int>(i)).raw);
    EXPECT_EQ(m.kind, testing::generated_kinds()[i % testing::generated_kinds().size()]);
    kinds.insert(m.kind);
    if (m.kind != "reply") subjects.insert(m.subject);  // replies share their root's
    seen |= m.seen;
    unseen |= !m.seen;
    flagged |= m.flagged;
    // RFC 5322 §2.1-2.2: CRLF only, lines of at most 998 octets, header fields in ASCII.
    const size_t header_end = m.raw.find("\r\n\r\n");
    ASSERT_NE(header_end, std::string::npos);
    for (size_t at = 0; at < m.raw.size();) {
      const size_t lf = m.raw.find('\n', at);
      ASSERT_NE(lf, std::string::npos) << "unterminated last line";
      ASSERT_GT(lf, 0u);
      EXPECT_EQ(m.raw[lf - 1], '\r') << "bare LF at " << lf;
      EXPECT_LE(lf - at, 1000u);
      at = lf + 1;
    }
    for (size_t k = 0; k < header_end; ++k)
      EXPECT_LT(static_cast<unsigned char>(m.raw[k]), 0x80) << k;
    if (m.kind == "gbk") {
      // The body needs GBK: read as GB 2312 it loses characters.
      const std::string body = m.raw.substr(header_end + 4);
      EXPECT_NE(convert_charset(body, "gb2312")->find("\xEF\xBF\xBD"), std::string::npos);
    }
    if (m.kind == "reply") {
      const auto root = std::find_if(corpus.begin(), corpus.end(),
                                     [&](const auto& r) { return r.messageId == m.inReplyTo; });
      ASSERT_NE(root, corpus.end());
      EXPECT_EQ(m.subject, "Re: " + root->subject);
      EXPECT_LT(root->date, m.date);
    }
    EXPECT_EQ(m.messageId.empty(), m.kind == "no-message-id");
  }
  EXPECT_EQ(kinds.size(), testing::generated_kinds().size());
  EXPECT_EQ(subjects.size(), corpus.size() - static_cast<size_t>(std::count_if(
                                                 corpus.begin(), corpus.end(),
                                                 [](const auto& m) { return m.kind == "reply"; })));
  EXPECT_TRUE(seen && unseen && flagged);
}

}  // namespace
}  // namespace kestrova::mail
