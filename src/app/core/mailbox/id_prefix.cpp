#include "app/core/mailbox/id_prefix.h"

#include <cctype>
#include <iostream>
#include <optional>

#include "util/error.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

// Upper case (the canonical form of stored ids), or nothing when `typed` cannot be the
// start of a UUID.
std::optional<std::string> canonical_prefix(std::string_view typed) {
  std::string prefix;
  for (char ch : text::trim(typed)) {
    if (!std::isxdigit(static_cast<unsigned char>(ch)) && ch != '-') return std::nullopt;
    prefix += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
  if (prefix.size() > 36) return std::nullopt;
  return prefix;
}

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& ch : out) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  return out;
}

constexpr size_t kCandidatesShown = 10;

}  // namespace

std::string short_id(std::string_view id) { return std::string(id.substr(0, kShortIdLength)); }

std::vector<std::string> prefix_matches(std::string_view typed,
                                        const std::vector<std::string>& candidates) {
  const auto prefix = canonical_prefix(typed);
  if (!prefix || prefix->size() < kMinimumPrefix) return {};
  std::vector<std::string> matches;
  for (const auto& candidate : candidates) {
    const std::string upper = ascii_upper(candidate);
    if (upper == *prefix) return {candidate};
    if (upper.starts_with(*prefix)) matches.push_back(candidate);
  }
  return matches;
}

std::string match_id_prefix(std::string_view typed, const std::vector<std::string>& candidates,
                            std::string_view what_key) {
  const std::string what = localized(what_key);
  const std::string shown = text::trim(typed);
  const auto prefix = canonical_prefix(typed);
  if (!prefix) throw Error(localized_format("cli.id.not_an_id", what, shown));
  if (prefix->size() < kMinimumPrefix)
    throw Error(localized_format("cli.id.too_short", what, kMinimumPrefix, shown));
  const auto matches = prefix_matches(typed, candidates);
  if (matches.size() == 1) return matches.front();
  if (matches.empty()) throw Error(localized_format("cli.id.not_found", what, shown));
  std::string list;
  for (size_t i = 0; i < matches.size() && i < kCandidatesShown; ++i) list += "\n  " + matches[i];
  if (matches.size() > kCandidatesShown) list += "\n  …";
  throw Error(localized_format("cli.id.ambiguous", what, shown, list));
}

std::string resolve_id(store::Connection& c, std::string_view table, std::string_view typed,
                       std::string_view what_key) {
  const auto prefix = canonical_prefix(typed);
  std::vector<std::string> candidates;
  if (prefix && prefix->size() >= kMinimumPrefix) {
    // Ids hold hex digits and hyphens only, so the prefix needs no LIKE escaping.
    auto s = c.prepare("SELECT id FROM " + std::string(table) +
                       " WHERE UPPER(id) LIKE ? ORDER BY id LIMIT " +
                       std::to_string(kCandidatesShown + 1));
    s.bind(1, *prefix + "%");
    while (s.step()) candidates.push_back(s.text(0).value_or(""));
  }
  return match_id_prefix(typed, candidates, what_key);
}

std::vector<std::string> expand_id_arguments(const std::vector<std::string>& arguments) {
  std::vector<std::string> ids;
  for (const auto& argument : arguments) {
    if (argument != "-") {
      ids.push_back(argument);
      continue;
    }
    std::string word;
    while (std::cin >> word) ids.push_back(word);
  }
  if (ids.empty()) throw Error(localized("cli.id.none_given"));
  return ids;
}

}  // namespace kestrova::app
