#include "store/snooze_service.h"

#include <array>
#include <cmath>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "platform/repeating_timer.h"
#include "store/database.h"
#include "store/email_message.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::store {

namespace {

constexpr std::string_view kTag = "SnoozeService";

constexpr std::array kDurations = {SnoozeDuration::oneHour, SnoozeDuration::tonight,
                                   SnoozeDuration::tomorrow, SnoozeDuration::nextWeek,
                                   SnoozeDuration::custom};

constexpr std::string_view kSelectExpired =
    "SELECT id FROM email_messages WHERE snoozed_until IS NOT NULL AND snoozed_until <= ?";

constexpr int kMonday = 1;  // struct tm counts weekdays from Sunday = 0

std::tm local_calendar(double at) {
  tzset();  // follow a change of the time zone while running
  const auto seconds = static_cast<std::time_t>(std::floor(at));
  std::tm local{};
  localtime_r(&seconds, &local);
  return local;
}

// `days` after the local date of `day`, at hour:00:00 local time. mktime normalises the day
// count across months and picks the daylight-saving offset in force on the target date.
double local_time(std::tm day, int days, int hour) {
  day.tm_mday += days;
  day.tm_hour = hour;
  day.tm_min = 0;
  day.tm_sec = 0;
  day.tm_isdst = -1;
  return static_cast<double>(std::mktime(&day));
}

}  // namespace

std::span<const SnoozeDuration> all_snooze_durations() { return kDurations; }

std::string_view localization_key(SnoozeDuration value) {
  switch (value) {
    case SnoozeDuration::oneHour:
      return "snooze.duration.one_hour";
    case SnoozeDuration::tonight:
      return "snooze.duration.tonight";
    case SnoozeDuration::tomorrow:
      return "snooze.duration.tomorrow";
    case SnoozeDuration::nextWeek:
      return "snooze.duration.next_week";
    case SnoozeDuration::custom:
      return "snooze.duration.custom";
  }
  return "";
}

std::string_view symbol(SnoozeDuration value) {
  switch (value) {
    case SnoozeDuration::oneHour:
      return "clock";
    case SnoozeDuration::tonight:
      return "moon.stars";
    case SnoozeDuration::tomorrow:
      return "sunrise";
    case SnoozeDuration::nextWeek:
      return "calendar";
    case SnoozeDuration::custom:
      return "calendar.badge.clock";
  }
  return "";
}

std::optional<double> SnoozeService::target_time(SnoozeDuration duration, double now) {
  switch (duration) {
    case SnoozeDuration::oneHour:
      return now + 3600;
    case SnoozeDuration::tonight: {
      const std::tm today = local_calendar(now);
      const double tonight = local_time(today, 0, 20);
      return tonight > now ? tonight : local_time(today, 1, 20);
    }
    case SnoozeDuration::tomorrow:
      return local_time(local_calendar(now), 1, 8);
    case SnoozeDuration::nextWeek: {
      const std::tm today = local_calendar(now);
      int days = (kMonday - today.tm_wday + 7) % 7;
      if (days == 0) days = 7;  // on a Monday, the Monday after
      return local_time(today, days, 8);
    }
    case SnoozeDuration::custom:
      return std::nullopt;
  }
  return std::nullopt;
}

SnoozeService::SnoozeService(EmailDatabase& database, EmailStore& mail_store, Options options)
    : database_(database),
      mail_store_(mail_store),
      clock_(std::move(options.clock)),
      poster_(options.poster ? std::move(options.poster) : desktop_notification_poster()) {}

SnoozeService::~SnoozeService() = default;

double SnoozeService::now() const { return clock_ ? clock_() : now_seconds(); }

void SnoozeService::start() {
  check_timer_.reset();
  check_timer_ =
      std::make_unique<platform::RepeatingTimer>(kCheckInterval, [this] { check_expired(); });
}

bool SnoozeService::write_mark(const EmailMessage& message, std::optional<double> until) {
  try {
    // Read and written in one transaction (see EmailFollowUpService::change_mark).
    mail_store_.database().write([&](Connection& c) {
      EmailMessage changed = read_stored_message(c, message.id).value_or(message);
      changed.snoozedUntil = until;
      changed.updatedAt = now();
      mail_store_.updateFlagsOnAllCopies(changed);
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kTag, std::string("保存 Snooze 失败: ") + e.what());
    return false;
  }
  return true;
}

bool SnoozeService::snooze(const EmailMessage& message, SnoozeDuration duration) {
  auto until = target_time(duration, now());
  if (!until) return false;
  return write_mark(message, until);
}

bool SnoozeService::snooze(const EmailMessage& message, double until) {
  return write_mark(message, until);
}

bool SnoozeService::unsnooze(const EmailMessage& message) {
  return write_mark(message, std::nullopt);
}

int SnoozeService::check_expired() {
  const double at = now();
  int woken = 0;
  try {
    // Read and woken in one transaction, so that marks another process sets meanwhile stay.
    // Copies of one message share the mark; it is woken (and announced) once.
    const auto subjects = mail_store_.database().write([&](Connection& c) {
      std::vector<std::string> ids;
      auto s = c.prepare(kSelectExpired);
      s.bind(1, at);
      while (s.step()) ids.push_back(s.text(0).value_or(""));
      std::set<std::string> woken_copies;
      std::vector<std::string> woken_subjects;
      for (const std::string& id : ids) {
        auto message = woken_copies.contains(id) ? std::nullopt : read_stored_message(c, id);
        if (!message) continue;
        message->snoozedUntil.reset();
        message->updatedAt = at;
        for (std::string& copy : mail_store_.updateFlagsOnAllCopies(*message))
          woken_copies.insert(std::move(copy));
        woken_subjects.push_back(message->subject);
      }
      return woken_subjects;
    });
    for (const std::string& subject : subjects) {
      poster_(LocalNotification{
          .title = localized("snooze.expired.title"),
          .body = localized_format("snooze.expired.body", text::trim(subject).empty()
                                                              ? localized("email.no.subject")
                                                              : subject),
      });
      ++woken;
    }
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kTag, std::string("检查过期 Snooze 失败: ") + e.what());
  }
  return woken;
}

}  // namespace kestrova::store
