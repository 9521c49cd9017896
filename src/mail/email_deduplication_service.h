#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "store/email_message.h"

namespace kestrova::mail {

// Recognises the same message arriving twice: forms each message's identity and drops the
// repeats of a freshly fetched batch before it reaches the store. Stateless; thread-safe.
class EmailDeduplicationService {
 public:
  // The identity of a message. The first rule that applies: the Message-ID (trimmed, when
  // not blank); else account, folder and UID; else a SHA-256 of subject, sender, date and
  // preview. `Fallback` is kept for a record that yields none of these (hashing failed).
  struct MessageIdKey {
    std::string messageId;
    bool operator==(const MessageIdKey&) const = default;
  };
  struct UidKey {
    std::string accountId;
    std::string folderId;
    uint32_t uid = 0;
    bool operator==(const UidKey&) const = default;
  };
  struct ContentHashKey {
    std::string sha256Hex;  // 64 lower-case hex digits
    bool operator==(const ContentHashKey&) const = default;
  };
  struct FallbackKey {
    std::string text;
    bool operator==(const FallbackKey&) const = default;
  };
  using DeduplicationKey = std::variant<MessageIdKey, UidKey, ContentHashKey, FallbackKey>;

  // Hash of a key, for unordered containers; keys of different kinds never compare equal.
  struct KeyHash {
    size_t operator()(const DeduplicationKey& key) const noexcept;
  };

  static DeduplicationKey key(const store::EmailMessage& message);

  // The text the content hash is taken of: the trimmed lower-cased subject, "|", the
  // lower-cased sender address, "|", the date in whole seconds ("%.0f"), "|", the first
  // 100 characters (grapheme clusters) of the preview, trimmed and lower-cased.
  static std::string contentHashText(const store::EmailMessage& message);
  // Lower-case hex SHA-256 of the UTF-8 bytes; empty when no digest could be made.
  static std::string sha256Hex(std::string_view bytes);

  // The batch without the records whose key an earlier record of the batch already has;
  // the order of the kept records is unchanged.
  static std::vector<store::EmailMessage> deduplicate(std::vector<store::EmailMessage> batch);
};

}  // namespace kestrova::mail
