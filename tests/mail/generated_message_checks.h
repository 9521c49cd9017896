#pragma once

// Comparisons of what the mail code made of a generated message with what the generator
// wrote (tests/support/message_generator.h).

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "mail/email_content_decoder.h"
#include "support/message_generator.h"

namespace kestrova::mail {

// The decoded bodies and attachments of `m`; `bytes_of` gives an attachment's decoded
// bytes (from the raw message, or downloaded from the server).
inline void expect_decoded_as_generated(
    const EmailBodyContent& content, const testing::GeneratedMessage& m,
    const std::function<std::string(const EmailAttachmentMeta&)>& bytes_of) {
  EXPECT_EQ(content.textBody.value_or(""), m.text);
  EXPECT_EQ(content.htmlBody.value_or(""), m.html);
  ASSERT_EQ(content.attachments.size(), m.attachments.size());
  for (size_t i = 0; i < m.attachments.size(); ++i) {
    const auto& expected = m.attachments[i];
    const auto& found = content.attachments[i];
    EXPECT_EQ(found.filename, expected.filename);
    EXPECT_EQ(found.mimeType, expected.mimeType) << expected.filename;
    EXPECT_EQ(found.contentId.value_or(""), expected.contentId) << expected.filename;
    EXPECT_EQ(found.isInline, expected.isInline) << expected.filename;
    EXPECT_EQ(found.size, static_cast<int64_t>(expected.data.size())) << expected.filename;
    EXPECT_EQ(bytes_of(found), expected.data) << expected.filename;
  }
}

}  // namespace kestrova::mail
