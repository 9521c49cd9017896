#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "util/json.h"

namespace kestrova::store {

class Statement;

// One attachment of a message (a row of email_attachments; the owning message's id is the
// row's message_id and not part of the record).
struct EmailAttachment {
  std::string id{};  // canonical UUID
  std::string filename{};
  std::string mimeType{};
  int64_t size = 0;                        // bytes
  std::optional<std::string> contentId{};  // without angle brackets
  bool isInline = false;
  std::optional<std::string> localPath{};  // the downloaded file
  std::optional<std::string> partPath{};   // MIME part path ("2", "1.2") to fetch it later
  std::optional<std::string> encoding{};   // the part's transfer encoding
  std::optional<std::string> charset{};

  bool operator==(const EmailAttachment&) const = default;

  // Nothing when `id` is NULL or not a UUID.
  static std::optional<EmailAttachment> from_row(const Statement& row);

  // Keys are the field names; absent optionals are left out. The decoder needs valid
  // `id` and takes the member defaults for missing keys.
  OrderedJson to_json() const;
  static std::optional<EmailAttachment> from_json(const OrderedJson& json);
};

}  // namespace kestrova::store
