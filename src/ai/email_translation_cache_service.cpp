#include "ai/email_translation_cache_service.h"

#include <exception>

#include "platform/digest.h"
#include "store/database.h"
#include "util/log.h"
#include "util/time.h"

namespace kestrova::ai {

namespace {

constexpr std::string_view kComponent = "EmailTranslationCacheService";

constexpr const char* kLookup =
    "SELECT translated_text, source_language\n"
    "FROM email_translation_cache\n"
    "WHERE message_id = ?\n"
    "  AND target_language = ?\n"
    "  AND source_fingerprint = ?\n"
    "LIMIT 1";

constexpr const char* kStore =
    "INSERT INTO email_translation_cache (\n"
    "    message_id,\n"
    "    target_language,\n"
    "    source_fingerprint,\n"
    "    source_language,\n"
    "    translated_text,\n"
    "    created_at,\n"
    "    updated_at\n"
    ")\n"
    "VALUES (?, ?, ?, ?, ?, ?, ?)\n"
    "ON CONFLICT(message_id, target_language, source_fingerprint)\n"
    "DO UPDATE SET\n"
    "    source_language = excluded.source_language,\n"
    "    translated_text = excluded.translated_text,\n"
    "    updated_at = excluded.updated_at";

}  // namespace

std::string EmailTranslationCacheService::fingerprint(std::string_view sourceText) {
  return platform::sha256_hex(sourceText);
}

std::optional<CachedEmailTranslation> EmailTranslationCacheService::lookup(
    std::string_view messageId, std::string_view targetLanguage,
    std::string_view sourceText) const {
  const std::string key = fingerprint(sourceText);
  try {
    return database_.read([&](store::Connection& c) -> std::optional<CachedEmailTranslation> {
      auto statement = c.prepare(kLookup);
      statement.bind_all(messageId, targetLanguage, key);
      if (!statement.step()) return std::nullopt;
      return CachedEmailTranslation{statement.text(0).value_or(""), statement.text(1)};
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, "读取翻译缓存失败: " + std::string(e.what()));
    return std::nullopt;
  }
}

void EmailTranslationCacheService::store(std::string_view messageId,
                                         std::string_view targetLanguage,
                                         std::string_view sourceText,
                                         const CachedEmailTranslation& translation) const {
  const std::string key = fingerprint(sourceText);
  const double now = now_seconds();
  try {
    database_.write([&](store::Connection& c) {
      auto statement = c.prepare(kStore);
      statement.bind_all(messageId, targetLanguage, key, translation.sourceLanguage,
                         translation.translatedText, now, now);
      statement.step();
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, "写入翻译缓存失败: " + std::string(e.what()));
  }
}

}  // namespace kestrova::ai
