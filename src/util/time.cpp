#include "util/time.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace kestrova {

namespace {

// Reads exactly `width` decimal digits at text[pos].
std::optional<int> digits(std::string_view text, size_t pos, size_t width) {
  if (pos + width > text.size()) return std::nullopt;
  int value = 0;
  for (size_t i = pos; i < pos + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

struct Fields {
  int year, month, day, hour, minute, second;
};

bool valid(const Fields& f) {
  return f.month >= 1 && f.month <= 12 && f.day >= 1 && f.day <= 31 && f.hour <= 23 &&
         f.minute <= 59 && f.second <= 60;
}

// "yyyy-MM-dd?HH:mm:ss" where ? is `separator`.
std::optional<Fields> date_time(std::string_view text, char separator) {
  if (text.size() < 19 || text[4] != '-' || text[7] != '-' || text[10] != separator ||
      text[13] != ':' || text[16] != ':')
    return std::nullopt;
  auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
  auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
  if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
  Fields f{*y, *mo, *d, *h, *mi, *s};
  if (!valid(f)) return std::nullopt;
  return f;
}

std::tm to_tm(const Fields& f) {
  std::tm tm{};
  tm.tm_year = f.year - 1900;
  tm.tm_mon = f.month - 1;
  tm.tm_mday = f.day;
  tm.tm_hour = f.hour;
  tm.tm_min = f.minute;
  tm.tm_sec = f.second;
  tm.tm_isdst = -1;
  return tm;
}

}  // namespace

double now_seconds() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

std::string iso8601_utc(double seconds) {
  // Years 1 to 9999 fit the four-digit form. Times outside it (only a damaged or foreign
  // database holds them) print as the epoch, like non-finite ones; converting them to
  // time_t would not even be defined for the largest.
  constexpr double kFirst = -62135596800.0;  // 0001-01-01T00:00:00Z
  constexpr double kLast = 253402300799.0;   // 9999-12-31T23:59:59Z
  if (!std::isfinite(seconds) || seconds < kFirst || seconds >= kLast + 1) seconds = 0;
  std::time_t t = static_cast<std::time_t>(std::floor(seconds));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::optional<double> parse_iso8601(std::string_view text) {
  auto fields = date_time(text, 'T');
  if (!fields) return std::nullopt;
  size_t pos = 19;
  double fraction = 0;
  if (pos < text.size() && text[pos] == '.') {
    size_t start = ++pos;
    double scale = 0.1;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      fraction += (text[pos] - '0') * scale;
      scale /= 10;
      ++pos;
    }
    if (pos == start) return std::nullopt;
  }
  if (pos >= text.size()) return std::nullopt;  // a zone designator is required
  int offset = 0;
  if (text[pos] == 'Z' || text[pos] == 'z') {
    ++pos;
  } else if (text[pos] == '+' || text[pos] == '-') {
    const int sign = text[pos] == '-' ? -1 : 1;
    ++pos;
    auto oh = digits(text, pos, 2);
    if (!oh) return std::nullopt;
    pos += 2;
    if (pos < text.size() && text[pos] == ':') ++pos;
    auto om = digits(text, pos, 2);
    if (!om) return std::nullopt;
    pos += 2;
    if (*oh > 23 || *om > 59) return std::nullopt;
    offset = sign * (*oh * 3600 + *om * 60);
  } else {
    return std::nullopt;
  }
  if (pos != text.size()) return std::nullopt;
  std::tm tm = to_tm(*fields);
  return static_cast<double>(timegm(&tm)) - offset + fraction;
}

std::optional<double> parse_local_datetime(std::string_view text) {
  if (text.size() != 19) return std::nullopt;
  auto fields = date_time(text, ' ');
  if (!fields) return std::nullopt;
  std::tm tm = to_tm(*fields);
  std::time_t t = mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<double>(t);
}

std::optional<double> parse_date_argument(std::string_view text) {
  if (auto v = parse_iso8601(text)) return v;
  return parse_local_datetime(text);
}

}  // namespace kestrova
