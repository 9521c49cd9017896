#pragma once

#include <concepts>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

// User-facing texts by localisation key. The Chinese texts are the defaults; in English
// (see set_text_language) a key without an English text falls back to its Chinese one, and
// a key without any text returns the key itself, so a missing entry shows up instead of an
// empty label.
std::string localized(std::string_view key);

enum class TextLanguage { chinese, english };

// Chooses the language of localized() from a language tag such as the `defaultLanguage`
// setting: a tag starting with "en" selects English, anything else Chinese. Called once at
// start, before other threads read texts.
void set_text_language(std::string_view language_tag);
TextLanguage text_language();

// Fills a localised pattern. Each "%@" (a text) and each "%d" (a whole number) takes the
// next argument in order; "%%" is a literal percent sign; any other "%" stays as it is.
// A placeholder left without an argument stays in the result as written, so a caller that
// passes too few arguments shows a visible gap rather than losing text; surplus arguments
// are ignored.
std::string format_placeholders(std::string_view pattern, std::span<const std::string> args);

namespace detail {
inline std::string placeholder_argument(std::string_view text) { return std::string(text); }
template <std::integral Number>
std::string placeholder_argument(Number number) {
  return std::to_string(number);
}
}  // namespace detail

// The localised text of `key` with its placeholders filled from `args` (texts or whole
// numbers): localized_format("followup.notify.waiting.body", subject, days).
template <typename... Args>
std::string localized_format(std::string_view key, const Args&... args) {
  const std::vector<std::string> values{detail::placeholder_argument(args)...};
  return format_placeholders(localized(key), values);
}

}  // namespace kestrova
