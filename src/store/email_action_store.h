#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "store/email_action_item.h"
#include "store/local_notification_poster.h"

namespace kestrova::platform {
class RepeatingTimer;
}

namespace kestrova::store {

class EmailDatabase;

// The to-do items extracted by the AI or added by hand (`email_action_items`), kept in
// memory newest first and written through at once. Deleting an item leaves a tombstone for
// its (message, title key), so that analysing the message again does not bring back what
// the user threw away.
//
// While the store exists a 60-second timer on the main loop wakes snoozed items: each item
// whose snooze time has come is announced once and stored as open again, with its snooze
// time cleared. Storing it as open is what makes the announcement happen once across
// restarts too. Due items are read from the database, not from the in-memory list, so that
// items snoozed by the agent tool server (another process) are woken as well.
//
// Database failures are logged and leave the in-memory list unchanged. Not thread-safe:
// call it on the main thread.
class EmailActionStore {
 public:
  using Clock = std::function<double()>;
  static constexpr std::chrono::seconds kWakeInterval{60};

  struct Options {
    Clock clock;                     // empty: the system clock
    LocalNotificationPoster poster;  // empty: the desktop notifier
    // Set for a second reader of the items in a process whose service already wakes them
    // (the window): no timer is started.
    bool withoutWakeTimer;
  };

  // Borrows `database` for the store's lifetime; loads the items and starts the timer.
  explicit EmailActionStore(EmailDatabase& database, Options options = {});
  ~EmailActionStore();
  EmailActionStore(const EmailActionStore&) = delete;
  EmailActionStore& operator=(const EmailActionStore&) = delete;

  // Newest first. Valid until the next call that changes the list.
  const std::vector<EmailActionItem>& items() const { return items_; }
  std::optional<EmailActionItem> item(std::string_view id) const;

  void load();

  // Adds one item (its title key derived from the title when empty; a new id and now as
  // both dates when unset). False when an item with the same (message, title key) or id
  // exists, which is not an error, or on failure.
  bool add(EmailActionItem item);

  // Stores the AI's action items for one message in one transaction. A title is skipped
  // when the message already has an item with its title key, when the user deleted such an
  // item before, or when the key is empty (a title of only punctuation or emoji). Returns
  // the items created.
  std::vector<EmailActionItem> add_ai_items(std::string_view message_id,
                                            std::string_view account_id,
                                            const std::vector<std::string>& titles);

  // Writes the changeable fields of an item; updatedAt is written as given.
  bool update(const EmailActionItem& item);
  bool complete(std::string_view id);
  bool snooze(std::string_view id, double until);
  bool reopen(std::string_view id);

  // Deletes the item and records its tombstone (one per message and title key).
  bool remove(std::string_view id);

  // One timer tick: announces and reopens every snoozed item whose time has come. Returns
  // the number announced.
  int wake_due_items();

 private:
  double now() const;
  template <class Change>
  bool change(std::string_view id, Change apply);
  void remember(const EmailActionItem& item);
  void announce(const EmailActionItem& item);

  EmailDatabase& database_;
  Clock clock_;
  LocalNotificationPoster poster_;
  std::vector<EmailActionItem> items_;
  // Announced items whose reopening could not be stored; keeps them from being announced
  // again in this run.
  std::set<std::string> announced_;
  std::unique_ptr<platform::RepeatingTimer> timer_;
};

}  // namespace kestrova::store
