#pragma once

// Content of the demo mailbox (`kestrova-generate-db --demo`): real attachment files, HTML-only
// newsletters and receipts, and a few written-out conversations. Everything is chosen by the
// numbers the caller draws from its seeded generator, so a seed gives the same content.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::tools {

struct DemoAttachment {
  std::string filename;
  std::string mimeType;
  std::string bytes;  // the whole file
};

// One or two attachments that fit a message (a PDF invoice, a CSV table, meeting notes, a
// calendar invitation, an SVG chart), named in the message's language. `pick` chooses the
// kinds, `number` goes into names and contents.
std::vector<DemoAttachment> demo_attachments(uint64_t pick, bool chinese, int64_t number);

// A newsletter, digest, statement or receipt as its sender writes it: HTML only.
struct DemoBulkMail {
  std::string subject;
  std::string html;
};
// `sender` is the sender's position in the generator's bulk-sender table (its name and
// language come with it).
DemoBulkMail demo_bulk_mail(size_t sender, std::string_view senderName, bool chinese, uint64_t pick,
                            int64_t number, std::string_view toName);

// A conversation between one of the demo accounts and a correspondent, oldest message first.
struct DemoConversationMessage {
  bool fromMe = false;
  double hoursAfterStart = 0;
  std::string text;
  int attachment = -1;  // when not negative, the `pick` of demo_attachments for its files
};
struct DemoConversation {
  size_t account = 0;  // position in the generator's account table
  bool chinese = false;
  std::string subject;
  std::string partnerName, partnerEmail;
  double daysAgo = 0;  // when the first message was written
  std::vector<DemoConversationMessage> messages;
};
const std::vector<DemoConversation>& demo_conversations();

}  // namespace kestrova::tools
