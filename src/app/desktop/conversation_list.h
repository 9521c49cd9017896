#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/desktop/mailbox_view.h"

namespace kestrova::app::desktop {

// The rows of the message list: with conversations on, one row per conversation (its newest
// message, carrying the conversation's size), closed until the user opens it; an open
// conversation lists its older messages, newest first, under its row. Without
// conversations, one row per message. The conversations themselves are paged from the
// database as the MessagePager reads them; only the messages of open conversations are read
// whole, and only when opened.
//
// Not thread-safe; the database is borrowed for the list's lifetime.
class ConversationList {
 public:
  ConversationList(store::EmailDatabase& database, MailboxSelection selection, bool grouped,
                   double now);

  struct Row {
    const MessageSummary* message = nullptr;  // valid until the list changes
    int64_t conversation = 0;                 // index of the conversation's row in the pager
    int child = -1;      // -1 for the conversation's own row, else its older messages
    bool opens = false;  // a conversation row of more than one message
    bool open = false;   // that row's conversation is open
  };
  // An opened conversation's messages below its row, before they are shown.
  struct Opening {
    int64_t row = 0;           // the conversation's row
    int64_t conversation = 0;  // its index in the pager
    std::vector<MessageSummary> messages;
  };

  const MailboxSelection& selection() const { return pager_->selection(); }
  bool grouped() const { return grouped_; }
  // Rows shown: the conversations plus the older messages of the open ones.
  int64_t count();
  // Row `row`; no message past the end.
  Row at(int64_t row);
  // The messages opening the conversation at `row` would show under it, read from the
  // database; nothing when the row is not a closed conversation of several messages. Show
  // them with open(): a view announces the new rows between the two calls.
  std::optional<Opening> prepare_open(int64_t row);
  void open(Opening opening);
  // Closes the conversation that `row` belongs to (its own row or one of its messages) and
  // answers its row and how many rows left the list; nothing when it is not open.
  struct Closing {
    int64_t row = 0;
    int64_t conversation = 0;
    int removed = 0;
  };
  std::optional<Closing> prepare_close(int64_t row);
  void close(const Closing& closing);

  // The messages an action on `row` means: a closed conversation stands for all its
  // messages in the list, any other row for its own message.
  std::vector<std::string> messages_of(int64_t row);
  // Row of the message `id` in the whole list (its conversation's row when that is closed),
  // if the selection lists it.
  std::optional<int64_t> row_of(const std::string& id);
  // Reads the list again; conversations that were open and are still listed stay open.
  void refresh(double now);

  MessagePager& pager() { return *pager_; }

 private:
  // The first row of conversation `conversation` and the open conversations above it.
  int64_t row_of_conversation(int64_t conversation) const;

  store::EmailDatabase& database_;
  bool grouped_;
  std::unique_ptr<MessagePager> pager_;
  // Open conversations by their index in the pager: their messages after the newest.
  std::map<int64_t, std::vector<MessageSummary>> open_;
};

}  // namespace kestrova::app::desktop
