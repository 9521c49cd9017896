#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::platform {
class SettingsStore;
}

namespace kestrova::store {
class EmailDatabase;
class EmailStore;
class EmailFollowUpService;
class SnoozeService;
}  // namespace kestrova::store

namespace kestrova::app::desktop {

// The three follow-up marks of one message.
struct FollowUpMarks {
  std::optional<double> replyLaterUntil;
  std::optional<double> waitingSince;
  std::optional<double> snoozedUntil;
};

// What the window does to the follow-up marks: reply later, waiting on and snooze, written
// on every stored copy of each message by the store's follow-up and snooze services — the
// calls behind `kestrova reply-later` and `kestrova waiting`, so the command line and the
// tool server see the same marks. The services' timers are not started here: the service
// (or the window's own service work) runs them. Throws kestrova::Error with a user-facing
// text when a write fails. Main thread only; the database and settings are borrowed.
class FollowUpActions {
 public:
  FollowUpActions(store::EmailDatabase& database, platform::SettingsStore& settings);
  ~FollowUpActions();
  FollowUpActions(const FollowUpActions&) = delete;
  FollowUpActions& operator=(const FollowUpActions&) = delete;

  // The marks of the message `id`; nothing when there is no such message.
  std::optional<FollowUpMarks> marks_of(const std::string& id);

  void set_reply_later(const std::vector<std::string>& ids, double until);
  void clear_reply_later(const std::vector<std::string>& ids);
  void set_waiting(const std::vector<std::string>& ids, double since);
  void clear_waiting(const std::vector<std::string>& ids);
  // A snoozed message leaves its folder's list until `until`; the Snoozed view lists it.
  void snooze(const std::vector<std::string>& ids, double until);
  void unsnooze(const std::vector<std::string>& ids);

 private:
  template <class Change>
  void each(const std::vector<std::string>& ids, std::string_view failureKey, Change change);

  store::EmailDatabase& database_;
  std::unique_ptr<store::EmailStore> store_;
  std::unique_ptr<store::EmailFollowUpService> followUp_;
  std::unique_ptr<store::SnoozeService> snooze_;
};

// One choice of the time picker shown for snooze and reply later: a preset with its time,
// or the custom entry, whose time the user picks.
struct FollowUpTimeChoice {
  std::string titleKey;        // "snooze.duration.tomorrow", ...
  std::optional<double> time;  // nothing for the custom entry
};
// The presets counted from `now` in the local time zone (in one hour, tonight at 20:00,
// tomorrow at 08:00, next Monday at 08:00), then the custom entry.
std::vector<FollowUpTimeChoice> follow_up_time_choices(double now);

}  // namespace kestrova::app::desktop
