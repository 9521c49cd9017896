#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/core/mailbox/local_mail_change.h"

namespace kestrova::store {
class Connection;
}

namespace kestrova::app {

// What the last `mark`, `move`, `delete` or `spam` changed, kept in the state folder so that
// `kestrova undo` can take it back: the flags as they were, and where moved messages were.
// Each command that changed something replaces the record; a permanent delete leaves a
// record that says it cannot be undone.
class UndoRecord {
 public:
  enum class Flag { read, starred };
  struct Step {
    std::string messageId, subject;
    std::optional<Flag> flag;  // a flag step; otherwise a placement
    bool wasSet = false;
    MessagePlacement placement;
  };

  void flag(const std::string& message_id, const std::string& subject, Flag flag, bool was_set);
  void placement(const MessagePlacement& was, const std::string& subject);
  // A change nothing can take back (a permanent delete).
  void irreversible() { irreversible_ = true; }

  // Replaces the kept record with this one when this one holds anything.
  void save() const;
  // The kept record, if there is one; `take` also removes it.
  static std::optional<UndoRecord> take();

  const std::vector<Step>& steps() const { return steps_; }
  bool isIrreversible() const { return irreversible_; }

  // Takes one step back in the write block `c` (journalled, as every change the servers
  // follow). Answers the message's account, or nothing when it is no longer stored.
  static std::optional<std::string> undo(store::Connection& c, const Step& step);

 private:
  std::vector<Step> steps_;
  bool irreversible_ = false;
};

}  // namespace kestrova::app
