#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "store/local_notification_poster.h"

namespace kestrova::platform {
class RepeatingTimer;
}

namespace kestrova::store {

class EmailDatabase;
class EmailStore;
struct EmailMessage;

// The snooze presets offered to the user.
enum class SnoozeDuration { oneHour, tonight, tomorrow, nextWeek, custom };

std::span<const SnoozeDuration> all_snooze_durations();
// "snooze.duration.one_hour", ...
std::string_view localization_key(SnoozeDuration value);
std::string_view symbol(SnoozeDuration value);

// Snoozing hides a message until a chosen time (`snoozed_until`, set on every stored copy
// through the mail store). Once started, a 60-second timer on the main loop brings back
// each message whose time has come: the mark is cleared on all copies and the user is
// notified. Not thread-safe: call it on the main thread.
class SnoozeService {
 public:
  using Clock = std::function<double()>;
  static constexpr std::chrono::seconds kCheckInterval{60};

  struct Options {
    Clock clock;                     // empty: the system clock
    LocalNotificationPoster poster;  // empty: the desktop notifier
  };

  // Borrows the database and the mail store for the service's lifetime.
  SnoozeService(EmailDatabase& database, EmailStore& mail_store, Options options = {});
  ~SnoozeService();
  SnoozeService(const SnoozeService&) = delete;
  SnoozeService& operator=(const SnoozeService&) = delete;

  // (Re)starts the timer.
  void start();

  // The time a preset snoozes until, counted from `now` in the local time zone: one hour
  // later; today at 20:00 (tomorrow when that is not later than now); tomorrow at 08:00;
  // the next Monday after today at 08:00. Nothing for custom, which the user picks.
  static std::optional<double> target_time(SnoozeDuration duration, double now);

  // False for custom (use the overload with a time) and when the write failed.
  bool snooze(const EmailMessage& message, SnoozeDuration duration);
  bool snooze(const EmailMessage& message, double until);
  bool unsnooze(const EmailMessage& message);

  // The timer tick: wakes every message whose snooze time has come; returns how many.
  int check_expired();

 private:
  double now() const;
  bool write_mark(const EmailMessage& message, std::optional<double> until);

  EmailDatabase& database_;
  EmailStore& mail_store_;
  Clock clock_;
  LocalNotificationPoster poster_;
  std::unique_ptr<platform::RepeatingTimer> check_timer_;
};

}  // namespace kestrova::store
