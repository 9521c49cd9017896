#include "store/search_filter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "store/email_message.h"

namespace kestrova::store {
namespace {

// Sets the local time zone for the life of the object.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (saved_)
      setenv("TZ", saved_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

double local_time(int year, int month, int day, int hour = 0, int minute = 0) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_isdst = -1;
  return static_cast<double>(std::mktime(&tm));
}

EmailMessage sample() {
  return EmailMessage::make({.subject = "Quarterly REPORT",
                             .from = {"Émile Zola", "emile@example.com"},
                             .to = {{std::nullopt, "team@example.com"}, {"Ärger", "a@x"}},
                             .textBody = "Please review the Ünïcode figures.",
                             .date = 0,
                             .hasAttachments = true,
                             .tags = {"Finance"},
                             .aiTags = {"报表", "Urgent"},
                             .aiCategory = EmailCategory::updates});
}

TEST(SearchFilterTest, TextCriteriaIgnoreCase) {
  const EmailMessage m = sample();
  EXPECT_TRUE(SearchFilter{.from = "ÉMILE Z"}.matches(m));       // the name
  EXPECT_TRUE(SearchFilter{.from = "@EXAMPLE.com"}.matches(m));  // the address
  EXPECT_FALSE(SearchFilter{.from = "zola@"}.matches(m));
  EXPECT_TRUE(SearchFilter{.to = "ärger"}.matches(m));
  EXPECT_TRUE(SearchFilter{.to = "TEAM"}.matches(m));
  EXPECT_FALSE(SearchFilter{.to = "boss"}.matches(m));
  EXPECT_FALSE(SearchFilter{.to = "a"}.matches(EmailMessage{}));  // no recipients at all
  EXPECT_TRUE(SearchFilter{.subject = "report"}.matches(m));
  EXPECT_TRUE(SearchFilter{.keyword = "ÜNÏCODE"}.matches(m));    // only in the body
  EXPECT_TRUE(SearchFilter{.keyword = "quarterly"}.matches(m));  // the subject
  EXPECT_FALSE(SearchFilter{.keyword = "absent"}.matches(m));
  EXPECT_FALSE((SearchFilter{.subject = "report", .keyword = "absent"}.matches(m)));
}

TEST(SearchFilterTest, FlagsCategoryAndWholeTags) {
  const EmailMessage m = sample();
  EXPECT_TRUE((SearchFilter{.hasAttachments = true, .isRead = false}.matches(m)));
  EXPECT_FALSE(SearchFilter{.isStarred = true}.matches(m));
  EXPECT_TRUE(SearchFilter{.category = EmailCategory::updates}.matches(m));
  EXPECT_FALSE(SearchFilter{.category = EmailCategory::primary}.matches(m));
  EXPECT_FALSE(SearchFilter{.category = EmailCategory::primary}.matches(EmailMessage{}));
  EXPECT_TRUE(SearchFilter{.tag = "urgent"}.matches(m));   // an AI tag
  EXPECT_TRUE(SearchFilter{.tag = "FINANCE"}.matches(m));  // a user tag
  EXPECT_TRUE(SearchFilter{.tag = "报表"}.matches(m));
  EXPECT_FALSE(SearchFilter{.tag = "Fin"}.matches(m));  // whole entries only
}

TEST(SearchFilterTest, DateToCoversTheWholeLocalDay) {
  ScopedTimeZone zone("Asia/Shanghai");
  EmailMessage m = sample();
  const double day = local_time(2024, 5, 10);
  m.date = local_time(2024, 5, 10, 23, 59);
  EXPECT_TRUE(SearchFilter{.dateTo = day}.matches(m));
  EXPECT_TRUE((SearchFilter{.dateFrom = day, .dateTo = day}.matches(m)));
  m.date = local_time(2024, 5, 11);
  EXPECT_FALSE(SearchFilter{.dateTo = day}.matches(m));
  m.date = day - 1;
  EXPECT_FALSE(SearchFilter{.dateFrom = day}.matches(m));
}

TEST(SearchFilterTest, DateToFollowsCalendarDaysAcrossDaylightSaving) {
  if (!std::filesystem::exists("/usr/share/zoneinfo/Europe/Berlin"))
    GTEST_SKIP() << "no time zone data";
  ScopedTimeZone zone("Europe/Berlin");
  EmailMessage m = sample();
  // 31 March 2024 has 23 hours: the next midnight comes before 24 hours have passed.
  const double short_day = local_time(2024, 3, 31);
  m.date = local_time(2024, 4, 1, 0, 30);
  EXPECT_FALSE(SearchFilter{.dateTo = short_day}.matches(m));
  // 27 October 2024 has 25 hours: 23:30 that evening is more than 24 hours after midnight.
  const double long_day = local_time(2024, 10, 27);
  m.date = local_time(2024, 10, 27, 23, 30);
  EXPECT_TRUE(SearchFilter{.dateTo = long_day}.matches(m));
}

}  // namespace
}  // namespace kestrova::store
