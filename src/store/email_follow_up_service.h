#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "store/local_notification_poster.h"

namespace kestrova::platform {
class RepeatingTimer;
class SettingsStore;
}  // namespace kestrova::platform

namespace kestrova::store {

class EmailDatabase;
class EmailStore;
struct EmailMessage;

// The figures behind the follow-up badges and menus.
struct FollowUpCounts {
  int64_t replyLaterDueCount = 0;     // reply-later time has come
  int64_t waitingOnOverdueCount = 0;  // waiting longer than the waiting period
  int64_t replyLaterPendingCount = 0;
  int64_t waitingOnPendingCount = 0;

  bool operator==(const FollowUpCounts&) const = default;
};

// The follow-up queues: messages to answer later (`reply_later_until`), messages waiting
// for an answer (`waiting_since`) and snoozed messages (`snoozed_until`).
//
// Marks are set and cleared through the mail store on every stored copy of a message.
// Once started, a 60-second timer on the main loop notifies when a reply-later time comes
// (and clears the mark, so it fires once) and when a waiting message is overdue (at most
// once a day per message, remembered in the settings), then refreshes the counts. While
// `followUpNotifyEnabled` is off the scans do nothing at all: the marks stay, so the due
// items still show in the counts and are announced once notifications are on again.
// Quiet hours are the notifier's business, not the scans'.
//
// Counts include soft-deleted messages; the lists leave them out. Database failures are
// logged; the previous counts stay and a failed scan runs again on the next tick. Not
// thread-safe: call it on the main thread.
class EmailFollowUpService {
 public:
  using Clock = std::function<double()>;
  using CountsObserver = std::function<void(const FollowUpCounts&)>;

  static constexpr std::chrono::seconds kScanInterval{60};
  // A waiting message is announced again at most this often (seconds).
  static constexpr double kWaitingRenotifyInterval = 86400;
  // Followed by the message id: when the message was last announced as overdue.
  static constexpr std::string_view kWaitingNotifiedKeyPrefix = "followup.waiting.notified.";

  struct Options {
    Clock clock;                     // empty: the system clock
    LocalNotificationPoster poster;  // empty: the desktop notifier
  };

  // Borrows the database, the mail store and the settings for the service's lifetime.
  EmailFollowUpService(EmailDatabase& database, EmailStore& mail_store,
                       platform::SettingsStore& settings, Options options = {});
  ~EmailFollowUpService();
  EmailFollowUpService(const EmailFollowUpService&) = delete;
  EmailFollowUpService& operator=(const EmailFollowUpService&) = delete;

  // Refreshes the counts now and (re)starts the timer.
  void start();

  const FollowUpCounts& counts() const { return counts_; }
  // Called after each refresh that changed the counts.
  void set_counts_observer(CountsObserver observer) { observer_ = std::move(observer); }
  // False when the counts could not be read (the previous ones stay).
  bool refresh_counts();

  // The queues as full messages (with attachments), soonest first, without soft-deleted
  // messages. Empty on failure.
  std::vector<EmailMessage> reply_later_messages();
  std::vector<EmailMessage> waiting_on_messages();
  std::vector<EmailMessage> snoozed_messages();

  // Set or clear a mark on every copy of the message, then refresh the counts. False when
  // the write failed.
  bool set_reply_later(const EmailMessage& message, double until);
  bool clear_reply_later(const EmailMessage& message);
  bool set_waiting(const EmailMessage& message, double since);
  bool clear_waiting(const EmailMessage& message);

  // The timer tick: both scans, then the counts.
  void tick();
  // Announces and clears every reply-later mark whose time has come; returns how many.
  int scan_reply_later();
  // Announces overdue waiting messages not announced in the last day; returns how many.
  int scan_waiting();

  // The waiting period in days: the `followUpWaitingDays` setting, at least 1.
  int64_t waiting_days();

 private:
  double now() const;
  bool notifications_enabled();
  std::vector<EmailMessage> list(std::string_view sql);
  template <class Change>
  bool change_mark(const EmailMessage& message, Change change);
  void clear_reply_later_in_memory(std::string_view id, double at);

  EmailDatabase& database_;
  EmailStore& mail_store_;
  platform::SettingsStore& settings_;
  Clock clock_;
  LocalNotificationPoster poster_;
  FollowUpCounts counts_;
  CountsObserver observer_;
  std::unique_ptr<platform::RepeatingTimer> timer_;
};

}  // namespace kestrova::store
