// The content decoder against the test message generator: every shape of message decodes
// to exactly the headers, bodies and attachments the generator wrote.
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

}  // namespace
}  // namespace kestrova::mail
