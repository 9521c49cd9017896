#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/writing/message_sender.h"
#include "store/local_notification_poster.h"
#include "store/scheduled_message.h"

namespace kestrova::platform {
class RepeatingTimer;
}
namespace kestrova::store {
class EmailDatabase;
class EmailStore;
}  // namespace kestrova::store

namespace kestrova::app {

// "2026-12-08 09:00" (local time), ISO-8601 ("2026-12-08T09:00:00Z"), or a time from now
// ("+90m", "+2h", "+1d"); nothing for anything else.
std::optional<double> parse_send_time(std::string_view text, double now);

// Messages to be sent at a chosen time: kept in `scheduled_messages`, checked every 30 s
// while the service runs, sent through the send path of the command line (sent copy
// included), with a notification on success and on failure. A row left "sending" by an
// interrupted run is sent again at the next start. Attachments are copied at scheduling
// time into a private directory (0700) under the data directory and removed once the
// message is sent or cancelled.
//
// start, stop and tick run on the main thread (the timer runs on the main loop); a send
// blocks that thread for its duration.
class EmailScheduledSendService {
 public:
  using Clock = std::function<double()>;
  // Sends one message for an account; send_composed unless a test wants otherwise.
  using Sender = std::function<void(const store::EmailAccount&, const ComposedMessage&)>;

  static constexpr int kCheckIntervalSeconds = 30;

  EmailScheduledSendService(store::EmailDatabase& database, store::EmailStore& store,
                            store::LocalNotificationPoster notify, Sender sender = {},
                            Clock clock = {});
  ~EmailScheduledSendService();
  EmailScheduledSendService(const EmailScheduledSendService&) = delete;
  EmailScheduledSendService& operator=(const EmailScheduledSendService&) = delete;

  // Loads the pending and sending rows, checks once, and starts the 30-second timer.
  void start();
  void stop();
  // Sends every loaded message that is due, earliest first.
  void tick();
  // The messages waiting, earliest first.
  const std::vector<store::ScheduledMessage>& scheduledMessages() const { return messages_; }

  // Stores `message` to go out at `at`, its attachments copied into the message's private
  // directory under numbered names. Throws when a copy or the row cannot be written
  // (nothing is left behind).
  static store::ScheduledMessage schedule(store::EmailDatabase& database,
                                          const std::string& accountId,
                                          const ComposedMessage& message, double at);
  // Deletes the row (from any state) and its private directory; false when there was none.
  static bool cancel(store::EmailDatabase& database, std::string_view id);
  // $XDG_DATA_HOME/kestrova/scheduled/<id>
  static std::filesystem::path attachmentDirectory(std::string_view id);

 private:
  void sendOne(store::ScheduledMessage message);
  double now() const;

  store::EmailDatabase& database_;
  store::EmailStore& store_;
  store::ScheduledMessageStore table_;
  store::LocalNotificationPoster notify_;
  Sender sender_;
  Clock clock_;
  std::vector<store::ScheduledMessage> messages_;
  std::unique_ptr<platform::RepeatingTimer> timer_;
};

}  // namespace kestrova::app
