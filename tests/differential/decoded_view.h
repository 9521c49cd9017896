#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/email_content_decoder.h"

namespace kestrova::differential {

// What two MIME decoders are compared on: the chosen bodies and the attachment list.
struct AttachmentView {
  std::string partPath;
  std::string filename;
  std::string mimeType;
  int64_t size = 0;
  std::optional<std::string> contentId;
  bool isInline = false;
};

struct DecodedView {
  std::optional<std::string> textBody;
  std::optional<std::string> htmlBody;
  std::vector<AttachmentView> attachments;
};

DecodedView view_of(const mail::EmailBodyContent& content);

// A body as compared: CR LF and lone CR become LF, white space at the end of every line and
// blank lines at the end are dropped.
std::string normalise_body(std::string_view body);

// One field on which the decoders disagree. `field` is "text", "html" or "attachments";
// `detail` shows both sides around the first difference.
struct FieldDifference {
  std::string field;
  std::string detail;
};

std::vector<FieldDifference> compare_views(const DecodedView& ours, const DecodedView& reference);

}  // namespace kestrova::differential
