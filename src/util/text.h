#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrova::text {

// Unicode-aware text helpers over UTF-8 strings (ICU underneath). Invalid UTF-8 input is
// treated as U+FFFD where a conversion is needed.

// Removes white space and line breaks (Unicode White_Space) from both ends.
std::string trim(std::string_view s);
// Locale-independent full lower-case mapping ("Straße" stays, "İ" becomes "i̇").
std::string lower(std::string_view s);
// Case-insensitive substring test: lower(haystack) contains lower(needle).
bool contains_ci(std::string_view haystack, std::string_view needle);
// Case-insensitive substring test under the user's locale (ICU's default locale, from the
// environment): full case folding, so "STRASSE" contains "straße", with the Turkish and
// Azerbaijani dotted and dotless i under those locales. An empty needle is contained in
// everything.
bool contains_ci_locale(std::string_view haystack, std::string_view needle);
// The text folded for contains_ci_locale; folding both sides once and comparing with
// std::string::find gives the same answer.
std::string fold_case_locale(std::string_view s);
// Equality ignoring letter case (both sides lower-cased).
bool equals_ci(std::string_view a, std::string_view b);
// The first `count` user-perceived characters (grapheme clusters).
std::string prefix_characters(std::string_view s, size_t count);
// Number of user-perceived characters.
size_t character_count(std::string_view s);
// Splits on white space and line breaks, dropping empty pieces.
std::vector<std::string> split_whitespace(std::string_view s);
// Keeps only letters, marks, digits and white space (drops punctuation, symbols, emoji).
std::string keep_alphanumerics_and_spaces(std::string_view s);
bool is_valid_utf8(std::string_view s);

}  // namespace kestrova::text
