#include "store/snooze_service.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "mail_test_fixture.h"

namespace kestrova::store {
namespace {

// Sets the process time zone for one test (POSIX rules, so no zone files are needed).
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

double utc(int year, int month, int day, int hour, int minute = 0) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  return static_cast<double>(timegm(&t));
}

std::optional<double> target(SnoozeDuration d, double now) {
  return SnoozeService::target_time(d, now);
}

TEST(SnoozeTargetTime, PresetsInAFixedZone) {
  ScopedTimeZone zone("<+08>-8");  // UTC+8
  // Wednesday 2024-03-06, 21:00 local (13:00 UTC).
  const double wednesday_night = utc(2024, 3, 6, 13);
  EXPECT_EQ(target(SnoozeDuration::tonight, wednesday_night), utc(2024, 3, 7, 12));  // Thu 20:00
  EXPECT_EQ(target(SnoozeDuration::tonight, utc(2024, 3, 6, 11)), utc(2024, 3, 6, 12));
  EXPECT_EQ(target(SnoozeDuration::tonight, utc(2024, 3, 6, 12)),
            utc(2024, 3, 7, 12));  // 20:00 sharp
  EXPECT_EQ(target(SnoozeDuration::oneHour, wednesday_night), wednesday_night + 3600);
  EXPECT_EQ(target(SnoozeDuration::tomorrow, wednesday_night), utc(2024, 3, 7, 0));  // Thu 08:00
  // Across a month end: 23:30 on 31 March gives 1 April 08:00.
  EXPECT_EQ(target(SnoozeDuration::tomorrow, utc(2024, 3, 31, 15, 30)), utc(2024, 4, 1, 0));
  EXPECT_EQ(target(SnoozeDuration::nextWeek, wednesday_night), utc(2024, 3, 11, 0));  // Mon 08:00
  // On a Monday before 08:00 the target is the Monday after, not the same day.
  EXPECT_EQ(target(SnoozeDuration::nextWeek, utc(2024, 3, 10, 23)), utc(2024, 3, 18, 0));
  // Sunday evening: the next day.
  EXPECT_EQ(target(SnoozeDuration::nextWeek, utc(2024, 3, 10, 12)), utc(2024, 3, 11, 0));
  EXPECT_EQ(target(SnoozeDuration::custom, wednesday_night), std::nullopt);
}

TEST(SnoozeTargetTime, WallClockHoursAcrossADaylightSavingChange) {
  ScopedTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  // Saturday 2024-03-30, 21:00 CET; clocks go forward during the night.
  const double saturday_night = utc(2024, 3, 30, 20);
  EXPECT_EQ(target(SnoozeDuration::tonight, saturday_night), utc(2024, 3, 31, 18));  // 20:00 CEST
  EXPECT_EQ(target(SnoozeDuration::tomorrow, saturday_night), utc(2024, 3, 31, 6));  // 08:00 CEST
}

using SnoozeServiceTest = testing::MailTest;

TEST_F(SnoozeServiceTest, ExpiredSnoozeWakesTheMessageOnceOnAllCopies) {
  const auto due = add_message("Renewal", [&](EmailMessage& m) { m.snoozedUntil = now_ - 60; });
  const auto later = add_message("Later", [&](EmailMessage& m) { m.snoozedUntil = now_ + 3600; });
  // A second stored copy of the due message (same Message-ID, another row).
  exec(
      "INSERT INTO email_messages (id, account_id, folder_id, message_id, subject, from_email, "
      "date, synced_at, updated_at, snoozed_until) SELECT '" +
      new_uuid() +
      "', account_id, NULL, message_id, subject, from_email, date, synced_at, updated_at, "
      "snoozed_until FROM email_messages WHERE id = '" +
      due.id + "'");
  ASSERT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE snoozed_until IS NOT NULL"), 3);

  SnoozeService service(*db_, mail_, {clock(), poster()});
  EXPECT_EQ(service.check_expired(), 1);
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_EQ(posted_[0].title, "稍后处理的邮件回来了");
  EXPECT_EQ(posted_[0].body, "「Renewal」已回到邮件列表");
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_messages WHERE snoozed_until IS NOT NULL"), 1);
  EXPECT_EQ(real_column(later.id, "snoozed_until"), now_ + 3600);

  EXPECT_EQ(service.check_expired(), 0);
  now_ += 3600;
  EXPECT_EQ(service.check_expired(), 1);
  EXPECT_EQ(posted_.size(), 2u);
}

}  // namespace
}  // namespace kestrova::store
