#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "store/email_enums.h"

namespace kestrova::store {
class Connection;
class EmailDatabase;
}  // namespace kestrova::store

namespace kestrova::app::desktop {

// What the message list shows: the unified inbox, one folder, one of the store's views, or
// the results of a search. The scheduled queue is chosen like a view but lists no message.
struct MailboxSelection {
  enum class Kind {
    unifiedInbox,
    folder,
    starred,
    replyLater,
    waitingOn,
    snoozed,
    actionItems,
    priority,
    scheduled,  // not messages: the queue of mail to be sent later
    search,
  };
  Kind kind = Kind::unifiedInbox;
  std::string folderId;  // for `folder`
  std::string query;     // for `search`: the command line's search language

  bool operator==(const MailboxSelection&) const = default;
};

// One line of the message list: what the list draws, not the whole message.
struct MessageSummary {
  std::string id;
  std::string accountId;
  std::string folderId;
  std::string folderName;  // filled for views and searches that span folders
  std::string threadId;
  std::string fromName;
  std::string fromEmail;
  std::string subject;
  std::string preview;
  double date = 0;
  bool isRead = false;
  bool isStarred = false;
  bool hasAttachments = false;
  std::vector<std::string> tags;  // user tags, then the AI's
  std::optional<store::EmailPriority> aiPriority;
  int threadSize = 1;  // messages of its conversation in the same list
};

// The condition of a selection on email_messages (alias m) with its bound values, in order.
// A search needs `now` for its spans. Throws kestrova::Error for a search it cannot read.
struct MailboxCondition {
  std::string sql;
  std::vector<std::string> values;
};
MailboxCondition mailbox_condition(store::Connection& c, const MailboxSelection& selection,
                                   double now);

// The message list of one selection, read page by page from the database as rows are asked
// for, newest first: a folder of 100,000 messages costs one count and the pages looked at.
// At most kMaxPages pages are held; the least recently used goes first. A page after a held
// one starts where that one ends (no OFFSET), so walking down a long list reads each row
// once. Conversations: with grouping on, each conversation (account and thread id) appears
// once, as its newest message, carrying the number of its messages in the selection;
// conversations of equal date stand in the order of those messages' ids.
//
// Searches and lists of conversations are open-ended: counting every match of a broad query,
// or the conversations of a large folder, costs a read of most of it, so such a list holds
// the rows read so far (its first page, read by count()) and grows by a page at a time
// (fetch_more) while has_more() says more rows follow. Each page goes on after the last row
// of the one before: the messages in date order, passing over those of conversations already
// listed, so a page costs about its own rows. Search rows are found as `kestrova search`
// finds them (search_message_ids: the index's plan, then the newest matches only). All pages
// of an open-ended list stay held.
//
// Not thread-safe; the database is borrowed for the pager's lifetime.
class MessagePager {
 public:
  static constexpr int kPageSize = 100;
  static constexpr size_t kMaxPages = 20;

  MessagePager(store::EmailDatabase& database, MailboxSelection selection,
               bool groupConversations = false, double now = 0);

  const MailboxSelection& selection() const { return selection_; }
  // Number of rows (read once, again after refresh()). Open-ended lists: the rows read so
  // far, reading the first page when none is.
  int64_t count();
  bool open_ended() const { return group_ || selection_.kind == MailboxSelection::Kind::search; }
  // Messages the list holds: with conversations, what its conversations hold (one count,
  // kept until refresh()); searches: the rows read so far, as count().
  int64_t message_count();
  // Whether an open-ended list has rows past count().
  bool has_more();
  // Reads the next page of an open-ended list; `before_shown(first, last)` runs once its
  // rows are read and before count() includes them (a model announces them there). Does
  // nothing when there is no more.
  void fetch_more(const std::function<void(int64_t first, int64_t last)>& before_shown);
  // Row `index` (0 newest), reading its page when it is not held. Nothing past the end.
  const MessageSummary* at(int64_t index);
  // Index of the message `id` among the held pages, if one holds it.
  std::optional<int64_t> held_index_of(const std::string& id) const;
  // Index of the message `id` in the whole list (one counting query), if the selection
  // lists it. Conversations: the index of its conversation's row.
  std::optional<int64_t> index_of(const std::string& id);
  // The messages of `head`'s conversation in the selection, newest first (at most 1,000; a
  // message without a thread id is a conversation of its own).
  std::vector<MessageSummary> conversation_of(const MessageSummary& head);
  // Forgets the count and the pages, so that the next access reads the database again.
  void refresh();

  // Pages read from the database since construction (for tests and the benchmark).
  int pages_read() const { return pagesRead_; }
  size_t pages_held() const { return pages_.size(); }

 private:
  std::vector<MessageSummary> read_page(int64_t page);
  // The next page of an open-ended list, after the rows read so far; learns whether more
  // rows follow.
  std::vector<MessageSummary> read_walk_page(bool* more);
  void hold_page(int64_t page, std::vector<MessageSummary> rows);

  store::EmailDatabase& database_;
  MailboxSelection selection_;
  bool group_;
  double now_;
  std::optional<int64_t> count_;
  bool more_ = false;  // open-ended: rows match past count_
  std::map<int64_t, std::vector<MessageSummary>> pages_;
  std::list<int64_t> recent_;  // most recently used first
  int pagesRead_ = 0;
  std::optional<int64_t> messageCount_;
  // An open-ended list goes on after the date and id of its last row read; with
  // conversations, the conversations already listed are not listed again.
  std::optional<std::pair<double, std::string>> walkAfter_;
  std::unordered_set<std::string> walkThreads_;
};

// The mailbox tree of the left pane: the unified inbox, the store's views, then each
// account with its folders in their hierarchy, each with its unread count.
struct MailboxNode {
  enum class Kind { view, account, folder };
  Kind kind = Kind::view;
  MailboxSelection selection;  // what choosing the node shows (accounts: their inbox)
  std::string label;           // the display name; views carry their localisation key
  std::optional<store::EmailFolderType> folderType;
  int64_t unread = 0;
  std::vector<MailboxNode> children;
};
std::vector<MailboxNode> read_mailbox_tree(store::EmailDatabase& database, double now);

// Unread messages of all inboxes (the status-area icon's number).
int64_t unified_unread_count(store::EmailDatabase& database);

}  // namespace kestrova::app::desktop
