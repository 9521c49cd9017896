#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "store/database.h"

namespace kestrova::app {

// Ids people can type: a full UUID, or any prefix of one of at least four characters,
// either case, that names exactly one candidate.

inline constexpr size_t kShortIdLength = 8;  // what listings show
inline constexpr size_t kMinimumPrefix = 4;

// The first characters of an id as listings show them.
std::string short_id(std::string_view id);

// The candidates `typed` may name: the one equal to it, else all that start with it;
// nothing when `typed` is too short or not the start of a UUID.
std::vector<std::string> prefix_matches(std::string_view typed,
                                        const std::vector<std::string>& candidates);

// The candidate `typed` names: the one equal to it as a UUID, else the only one that starts
// with it (ignoring case). Throws when it is too short, matches nothing or matches several
// (the error lists them); `what_key` is the localisation key of the noun the errors name
// ("cli.noun.rule").
std::string match_id_prefix(std::string_view typed, const std::vector<std::string>& candidates,
                            std::string_view what_key);

// The same over the `id` column of `table` (a fixed table name, never user text).
std::string resolve_id(store::Connection& c, std::string_view table, std::string_view typed,
                       std::string_view what_key);

// The ids a command was given: each argument as it is, except "-", which stands for the
// whitespace-separated ids on standard input (as `kestrova search ... --ids` prints them).
std::vector<std::string> expand_id_arguments(const std::vector<std::string>& arguments);

}  // namespace kestrova::app
