#include "mail/email_deduplication_service.h"

#include <cstdio>
#include <functional>
#include <unordered_set>

#include "platform/digest.h"
#include "util/text.h"

namespace kestrova::mail {

namespace {

constexpr size_t kPreviewCharacters = 100;

// Mixes `value` into `seed` (the boost::hash_combine recipe).
void combine(size_t& seed, size_t value) {
  seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}

}  // namespace

size_t EmailDeduplicationService::KeyHash::operator()(const DeduplicationKey& key) const noexcept {
  size_t seed = key.index();
  std::hash<std::string> text_hash;
  std::visit(
      [&](const auto& k) {
        using K = std::decay_t<decltype(k)>;
        if constexpr (std::is_same_v<K, MessageIdKey>) {
          combine(seed, text_hash(k.messageId));
        } else if constexpr (std::is_same_v<K, UidKey>) {
          combine(seed, text_hash(k.accountId));
          combine(seed, text_hash(k.folderId));
          combine(seed, std::hash<uint32_t>{}(k.uid));
        } else if constexpr (std::is_same_v<K, ContentHashKey>) {
          combine(seed, text_hash(k.sha256Hex));
        } else {
          combine(seed, text_hash(k.text));
        }
      },
      key);
  return seed;
}

EmailDeduplicationService::DeduplicationKey EmailDeduplicationService::key(
    const store::EmailMessage& message) {
  if (message.messageId) {
    std::string trimmed = text::trim(*message.messageId);
    if (!trimmed.empty()) return MessageIdKey{std::move(trimmed)};
  }
  if (message.folderId && message.uid) {
    return UidKey{message.accountId, *message.folderId, *message.uid};
  }
  std::string hash_text = contentHashText(message);
  std::string digest = sha256Hex(hash_text);
  if (digest.empty()) return FallbackKey{std::move(hash_text)};
  return ContentHashKey{std::move(digest)};
}

std::string EmailDeduplicationService::contentHashText(const store::EmailMessage& message) {
  char seconds[64];
  std::snprintf(seconds, sizeof seconds, "%.0f", message.date);
  std::string out = text::lower(text::trim(message.subject));
  out += '|';
  out += text::lower(message.from.email);
  out += '|';
  out += seconds;
  out += '|';
  out += text::lower(text::trim(text::prefix_characters(message.preview, kPreviewCharacters)));
  return out;
}

std::string EmailDeduplicationService::sha256Hex(std::string_view bytes) {
  return platform::sha256_hex(bytes);
}

std::vector<store::EmailMessage> EmailDeduplicationService::deduplicate(
    std::vector<store::EmailMessage> batch) {
  std::unordered_set<DeduplicationKey, KeyHash> seen;
  seen.reserve(batch.size());
  std::vector<store::EmailMessage> kept;
  kept.reserve(batch.size());
  for (auto& message : batch) {
    if (seen.insert(key(message)).second) kept.push_back(std::move(message));
  }
  return kept;
}

}  // namespace kestrova::mail
