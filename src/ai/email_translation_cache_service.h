#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::ai {

struct CachedEmailTranslation {
  std::string translatedText;
  std::optional<std::string> sourceLanguage;
};

// Translations kept in `email_translation_cache`, keyed by message, target language and a
// fingerprint of the source text: an edited body misses the cache, and the old rows stay
// until their message is deleted. Failures are logged and read as a miss (lookup) or
// ignored (store): the cache only saves a request. Thread-safe (through the database).
class EmailTranslationCacheService {
 public:
  explicit EmailTranslationCacheService(store::EmailDatabase& database) : database_(database) {}

  std::optional<CachedEmailTranslation> lookup(std::string_view messageId,
                                               std::string_view targetLanguage,
                                               std::string_view sourceText) const;
  void store(std::string_view messageId, std::string_view targetLanguage,
             std::string_view sourceText, const CachedEmailTranslation& translation) const;

  // SHA-256 of the UTF-8 source text, 64 lower-case hexadecimal digits.
  static std::string fingerprint(std::string_view sourceText);

 private:
  store::EmailDatabase& database_;
};

}  // namespace kestrova::ai
