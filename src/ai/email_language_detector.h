#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova::ai {

enum class EmailDetectedLanguage { chinese, english, japanese, korean, unknown };

std::string_view raw_value(EmailDetectedLanguage language);  // "zh", "en", ..., "unknown"
std::optional<EmailDetectedLanguage> detected_language_from_raw(std::string_view raw);
// The display key ("email.language.chinese" ...); nothing for `unknown`.
std::optional<std::string> display_key(EmailDetectedLanguage language);

// Guesses a message's language by counting letters of four scripts, without AI; decides
// whether a message needs translating. Links are left out of the count: their Latin letters
// would make every Chinese message with a long URL look English.
struct EmailLanguageDetector {
  static EmailDetectedLanguage detect(std::string_view text);
};

}  // namespace kestrova::ai
