#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/mailbox/local_mail_change.h"

class QTimer;

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app::desktop {

// What the window does to messages: each action is the local change and its entries in the
// server-change journal, in one transaction, through the same core functions the tool
// server uses; the service replays the journal. Moves (archive, trash, spam, move) give
// back what is needed to take them back. Throws kestrova::Error with a user-facing text
// when an account lacks the folder an action needs; database errors come out unchanged.
class MessageActions {
 public:
  enum class Kind { archive, trash, spam, move };
  struct Undo {
    Kind kind = Kind::move;
    std::vector<MessagePlacement> placements;
  };

  explicit MessageActions(store::EmailDatabase& database) : database_(database) {}

  void set_read(const std::vector<std::string>& ids, bool isRead);
  void set_starred(const std::vector<std::string>& ids, bool isStarred);
  // Into each message's account folder of the kind (archive, trash, spam); a message
  // already there stays. `move` files into `folderId`.
  Undo archive(const std::vector<std::string>& ids);
  Undo trash(const std::vector<std::string>& ids);
  Undo spam(const std::vector<std::string>& ids);
  Undo move(const std::vector<std::string>& ids, const std::string& folderId);
  // Puts the messages back where they were, in one transaction.
  void undo(const Undo& undo);

 private:
  Undo move_to_type(Kind kind, const std::vector<std::string>& ids);

  store::EmailDatabase& database_;
};

// Marks an opened message read once it has stayed open for the delay (the setting
// `emailMarkAsReadDelaySeconds`); opening another message first cancels it. A delay of zero
// marks at once. Needs a Qt event loop for delays above zero. Main thread only.
class ReadAfterDelay {
 public:
  using Mark = std::function<void(const std::string& messageId)>;

  ReadAfterDelay(std::chrono::milliseconds delay, Mark mark);
  ~ReadAfterDelay();

  // The message now open; `isRead` messages need nothing.
  void opened(const std::string& messageId, bool isRead);
  void cancel();
  // The message waiting for its mark, if any.
  const std::optional<std::string>& pending() const { return pending_; }
  void set_delay(std::chrono::milliseconds delay) { delay_ = delay; }

 private:
  std::chrono::milliseconds delay_;
  Mark mark_;
  std::optional<std::string> pending_;
  std::unique_ptr<QTimer> timer_;
};

}  // namespace kestrova::app::desktop
