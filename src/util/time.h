#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova {

// Times are seconds since 1970-01-01 00:00:00 UTC as doubles (fractions kept).
double now_seconds();

// "yyyy-MM-ddTHH:mm:ssZ" in UTC, whole seconds (fractions are dropped).
std::string iso8601_utc(double seconds);

// ISO-8601 date and time with a zone designator ("Z", "+08:00", "+0800"), optionally with
// fractional seconds. Nothing when the text is not such a date.
std::optional<double> parse_iso8601(std::string_view text);

// "yyyy-MM-dd HH:mm:ss" read in the local time zone.
std::optional<double> parse_local_datetime(std::string_view text);

// Date arguments of the agent tools: ISO-8601 first, then the local form.
std::optional<double> parse_date_argument(std::string_view text);

}  // namespace kestrova
