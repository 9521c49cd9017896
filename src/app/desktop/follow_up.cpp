#include "app/desktop/follow_up.h"

#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_follow_up_service.h"
#include "store/email_message.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "store/snooze_service.h"
#include "util/error.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

FollowUpActions::FollowUpActions(store::EmailDatabase& database, platform::SettingsStore& settings)
    : database_(database),
      store_(std::make_unique<store::EmailStore>(database, settings)),
      followUp_(std::make_unique<store::EmailFollowUpService>(database, *store_, settings)),
      snooze_(std::make_unique<store::SnoozeService>(database, *store_)) {}

FollowUpActions::~FollowUpActions() = default;

std::optional<FollowUpMarks> FollowUpActions::marks_of(const std::string& id) {
  return database_.read([&](store::Connection& c) -> std::optional<FollowUpMarks> {
    auto s = c.prepare(
        "SELECT reply_later_until, waiting_since, snoozed_until FROM email_messages WHERE id = ?");
    s.bind(1, id);
    if (!s.step()) return std::nullopt;
    return FollowUpMarks{s.real(0), s.real(1), s.real(2)};
  });
}

template <class Change>
void FollowUpActions::each(const std::vector<std::string>& ids, std::string_view failureKey,
                           Change change) {
  for (const auto& id : ids) {
    const auto message =
        database_.read([&](store::Connection& c) { return store::read_stored_message(c, id); });
    if (!message) continue;  // gone meanwhile (expunged by a sync)
    if (!change(*message)) throw Error(localized_format(failureKey, message->subject));
  }
}

void FollowUpActions::set_reply_later(const std::vector<std::string>& ids, double until) {
  each(ids, "cli.followup.reply_later_set_failed",
       [&](const store::EmailMessage& m) { return followUp_->set_reply_later(m, until); });
}

void FollowUpActions::clear_reply_later(const std::vector<std::string>& ids) {
  each(ids, "cli.followup.reply_later_clear_failed",
       [&](const store::EmailMessage& m) { return followUp_->clear_reply_later(m); });
}

void FollowUpActions::set_waiting(const std::vector<std::string>& ids, double since) {
  each(ids, "cli.followup.waiting_set_failed",
       [&](const store::EmailMessage& m) { return followUp_->set_waiting(m, since); });
}

void FollowUpActions::clear_waiting(const std::vector<std::string>& ids) {
  each(ids, "cli.followup.waiting_clear_failed",
       [&](const store::EmailMessage& m) { return followUp_->clear_waiting(m); });
}

void FollowUpActions::snooze(const std::vector<std::string>& ids, double until) {
  each(ids, "desktop.followup.snooze_failed",
       [&](const store::EmailMessage& m) { return snooze_->snooze(m, until); });
}

void FollowUpActions::unsnooze(const std::vector<std::string>& ids) {
  each(ids, "desktop.followup.snooze_failed",
       [&](const store::EmailMessage& m) { return snooze_->unsnooze(m); });
}

std::vector<FollowUpTimeChoice> follow_up_time_choices(double now) {
  std::vector<FollowUpTimeChoice> choices;
  for (const auto duration : store::all_snooze_durations())
    choices.push_back({std::string(store::localization_key(duration)),
                       store::SnoozeService::target_time(duration, now)});
  return choices;
}

}  // namespace kestrova::app::desktop
