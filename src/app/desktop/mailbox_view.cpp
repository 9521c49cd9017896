#include "app/desktop/mailbox_view.h"

#include <algorithm>
#include <functional>
#include <unordered_map>

#include "app/core/mailbox/search_language.h"
#include "store/database.h"
#include "store/json_list.h"

namespace kestrova::app::desktop {

namespace {

constexpr std::string_view kColumns =
    "id, account_id, folder_id, thread_id, from_name, from_email, subject, preview, date, "
    "is_read, is_starred, has_attachments, tags, ai_tags, ai_priority, "
    "(SELECT name FROM email_folders f WHERE f.id = email_messages.folder_id) AS folder_name";

constexpr std::string_view kVisible = "is_deleted = 0 AND is_spam = 0 AND is_draft = 0";
// Folders leave out a snoozed message until its time (bound: now); the Snoozed view lists
// it. The few snoozed ids come from their own small index (idx_messages_snoozed).
constexpr std::string_view kNotSnoozed =
    " AND id NOT IN (SELECT id FROM email_messages WHERE snoozed_until > CAST(? AS REAL))";

// A conversation is the account with the thread id (the normalised subject the sync gives
// each message), else the message itself. Conversations never span accounts, as in the
// mailbox questions' thread scope.
std::string conversation_key(const std::string& account, const std::string& thread,
                             const std::string& id) {
  return account + "/" + (thread.empty() ? id : thread);
}

// The most messages one opened conversation lists.
constexpr int64_t kMaxConversationRows = 1000;

MessageSummary summary_from_row(const store::Statement& s) {
  MessageSummary m;
  m.id = s.text("id").value_or("");
  m.accountId = s.text("account_id").value_or("");
  m.folderId = s.text("folder_id").value_or("");
  m.folderName = s.text("folder_name").value_or("");
  m.threadId = s.text("thread_id").value_or("");
  m.fromName = s.text("from_name").value_or("");
  m.fromEmail = s.text("from_email").value_or("");
  m.subject = s.text("subject").value_or("");
  m.preview = s.text("preview").value_or("");
  m.date = s.real("date").value_or(0);
  m.isRead = s.integer("is_read").value_or(0) != 0;
  m.isStarred = s.integer("is_starred").value_or(0) != 0;
  m.hasAttachments = s.integer("has_attachments").value_or(0) != 0;
  m.tags = store::decode_string_list(s.text("tags"));
  for (auto& tag : store::decode_string_list(s.text("ai_tags")))
    if (std::find(m.tags.begin(), m.tags.end(), tag) == m.tags.end()) m.tags.push_back(tag);
  if (auto priority = s.text("ai_priority"))
    m.aiPriority = store::from_raw<store::EmailPriority>(*priority);
  return m;
}

// What a search lists: the mail that is not deleted and not a draft (spam included).
constexpr std::string_view kSearchListed = "is_deleted = 0 AND is_draft = 0";

// Sets the size of each conversation row: its messages that `condition` lists.
void count_thread_matches(store::Connection& c, const MailboxCondition& condition,
                          std::vector<MessageSummary>& rows) {
  std::vector<std::string> threads;
  for (const auto& m : rows)
    if (!m.threadId.empty()) threads.push_back(m.threadId);
  if (threads.empty()) return;
  // The conversations' own rows, through the thread index: a folder's listing index would
  // read every row of the folder to learn its thread.
  std::string sql =
      "SELECT account_id, thread_id, COUNT(*) FROM email_messages INDEXED BY idx_messages_thread "
      "WHERE thread_id IN (";
  for (size_t i = 0; i < threads.size(); ++i) sql += i ? ", ?" : "?";
  sql += ") AND " + condition.sql + " GROUP BY account_id, thread_id";
  auto s = c.prepare(sql);
  int index = 1;
  for (const auto& thread : threads) s.bind(index++, thread);
  for (const auto& value : condition.values) s.bind(index++, value);
  std::unordered_map<std::string, int> sizes;
  while (s.step())
    sizes[s.text(0).value_or("") + "/" + s.text(1).value_or("")] =
        static_cast<int>(s.integer(2).value_or(1));
  for (auto& m : rows)
    if (auto it = sizes.find(m.accountId + "/" + m.threadId); it != sizes.end())
      m.threadSize = it->second;
}

}  // namespace

MailboxCondition mailbox_condition(store::Connection& c, const MailboxSelection& selection,
                                   double now) {
  using Kind = MailboxSelection::Kind;
  const std::string visible(kVisible);
  switch (selection.kind) {
    case Kind::unifiedInbox:
      return {visible + " AND folder_id IN (SELECT id FROM email_folders WHERE type = 'inbox')" +
                  std::string(kNotSnoozed),
              {std::to_string(now)}};
    case Kind::folder: {
      auto s = c.prepare("SELECT type FROM email_folders WHERE id = ?");
      s.bind(1, selection.folderId);
      const std::string type = s.step() ? s.text(0).value_or("") : "";
      const std::string account =
          "account_id = (SELECT account_id FROM email_folders WHERE id = ?)";
      // The trash also lists the account's deleted mail, the spam folder its spam, as the
      // mail store's folder pages do.
      if (type == "trash")
        return {account + " AND (folder_id = ? OR is_deleted = 1)",
                {selection.folderId, selection.folderId}};
      if (type == "spam")
        return {account + " AND is_deleted = 0 AND (folder_id = ? OR is_spam = 1)",
                {selection.folderId, selection.folderId}};
      return {"folder_id = ? AND is_deleted = 0 AND is_spam = 0" + std::string(kNotSnoozed),
              {selection.folderId, std::to_string(now)}};
    }
    case Kind::starred:
      return {visible + " AND is_starred = 1", {}};
    case Kind::replyLater:
      return {visible + " AND reply_later_until IS NOT NULL", {}};
    case Kind::waitingOn:
      return {visible + " AND waiting_since IS NOT NULL", {}};
    case Kind::snoozed:
      return {visible + " AND snoozed_until > CAST(? AS REAL)", {std::to_string(now)}};
    case Kind::actionItems:
      return {
          visible + " AND id IN (SELECT message_id FROM email_action_items WHERE state != 'done')",
          {}};
    case Kind::priority:
      return {visible + " AND ai_priority IN ('high', 'urgent')", {}};
    case Kind::scheduled:
      return {"0", {}};
    case Kind::search: {
      const auto condition = search_condition(parse_search_query(selection.query), now, &c);
      return {std::string(kSearchListed) + " AND " + condition.sql, condition.texts};
    }
  }
  return {visible, {}};
}

MessagePager::MessagePager(store::EmailDatabase& database, MailboxSelection selection,
                           bool groupConversations, double now)
    : database_(database),
      selection_(std::move(selection)),
      group_(groupConversations),
      now_(now) {}

int64_t MessagePager::count() {
  if (count_) return *count_;
  if (open_ended()) {
    bool more = false;
    auto rows = read_walk_page(&more);
    count_ = static_cast<int64_t>(rows.size());
    more_ = more;
    hold_page(0, std::move(rows));
    return *count_;
  }
  count_ = message_count();
  return *count_;
}

bool MessagePager::has_more() {
  count();
  return more_;
}

void MessagePager::fetch_more(
    const std::function<void(int64_t first, int64_t last)>& before_shown) {
  if (!has_more()) return;
  // While more rows follow, every page read so far is full.
  const int64_t page = *count_ / kPageSize;
  bool more = false;
  auto rows = read_walk_page(&more);
  if (rows.empty()) {
    more_ = false;
    return;
  }
  const int64_t first = *count_;
  const int64_t last = first + static_cast<int64_t>(rows.size()) - 1;
  hold_page(page, std::move(rows));
  before_shown(first, last);
  count_ = last + 1;
  more_ = more;
}

const MessageSummary* MessagePager::at(int64_t index) {
  if (index < 0 || index >= count()) return nullptr;
  const int64_t page = index / kPageSize;
  if (!pages_.contains(page)) hold_page(page, read_page(page));
  recent_.remove(page);
  recent_.push_front(page);
  const auto& rows = pages_[page];
  const auto offset = static_cast<size_t>(index % kPageSize);
  return offset < rows.size() ? &rows[offset] : nullptr;
}

std::optional<int64_t> MessagePager::held_index_of(const std::string& id) const {
  for (const auto& [page, rows] : pages_)
    for (size_t i = 0; i < rows.size(); ++i)
      if (rows[i].id == id) return page * kPageSize + static_cast<int64_t>(i);
  return std::nullopt;
}

std::optional<int64_t> MessagePager::index_of(const std::string& id) {
  count();  // an open-ended list reads its first page
  if (auto held = held_index_of(id)) return held;
  if (!group_ && open_ended()) return std::nullopt;  // it lists only the rows read, all held
  if (group_) {
    // The row of the message's conversation, when the list has read it.
    const auto key = database_.read([&](store::Connection& c) -> std::optional<std::string> {
      const auto condition = mailbox_condition(c, selection_, now_);
      auto s = c.prepare("SELECT account_id, thread_id FROM email_messages WHERE " + condition.sql +
                         " AND id = ?");
      int index = 1;
      for (const auto& value : condition.values) s.bind(index++, value);
      s.bind(index, id);
      if (!s.step()) return std::nullopt;
      return conversation_key(s.text(0).value_or(""), s.text(1).value_or(""), id);
    });
    if (!key) return std::nullopt;
    for (const auto& [page, rows] : pages_)
      for (size_t i = 0; i < rows.size(); ++i)
        if (conversation_key(rows[i].accountId, rows[i].threadId, rows[i].id) == *key)
          return page * kPageSize + static_cast<int64_t>(i);
    return std::nullopt;
  }
  return database_.read([&](store::Connection& c) -> std::optional<int64_t> {
    const auto condition = mailbox_condition(c, selection_, now_);
    auto bind = [&](store::Statement& s) {
      int index = 1;
      for (const auto& value : condition.values) s.bind(index++, value);
      return index;
    };
    auto found =
        c.prepare("SELECT date FROM email_messages WHERE " + condition.sql + " AND id = ?");
    found.bind(bind(found), id);
    if (!found.step()) return std::nullopt;
    const double date = found.real(0).value_or(0);
    auto s = c.prepare("SELECT COUNT(*) FROM email_messages WHERE " + condition.sql +
                       " AND (date > ? OR (date = ? AND id < ?))");
    int index = bind(s);
    s.bind(index, date).bind(index + 1, date).bind(index + 2, id);
    return s.step() ? s.integer(0) : std::nullopt;
  });
}

std::vector<MessageSummary> MessagePager::conversation_of(const MessageSummary& head) {
  if (head.threadId.empty()) return {head};  // its own conversation
  return database_.read([&](store::Connection& c) {
    const auto condition = mailbox_condition(c, selection_, now_);
    auto s = c.prepare("SELECT " + std::string(kColumns) + " FROM email_messages WHERE " +
                       condition.sql +
                       " AND account_id = ? AND thread_id = ? ORDER BY date DESC, id LIMIT ?");
    int index = 1;
    for (const auto& value : condition.values) s.bind(index++, value);
    s.bind(index, head.accountId)
        .bind(index + 1, head.threadId)
        .bind(index + 2, kMaxConversationRows);
    std::vector<MessageSummary> out;
    while (s.step()) out.push_back(summary_from_row(s));
    return out;
  });
}

void MessagePager::refresh() {
  count_.reset();
  pages_.clear();
  recent_.clear();
  messageCount_.reset();
  walkAfter_.reset();
  walkThreads_.clear();
}

std::vector<MessageSummary> MessagePager::read_walk_page(bool* more) {
  const bool search = selection_.kind == MailboxSelection::Kind::search;
  const auto terms = search ? parse_search_query(selection_.query) : std::vector<SearchTerm>{};
  std::vector<MessageSummary> rows;
  std::vector<std::string> threads;  // the conversation of each row, with conversations on
  database_.read([&](store::Connection& c) {
    // The rows that follow `after` in the list's order, at most `wanted`.
    MailboxCondition condition;
    if (search) {
      const auto plain = search_condition(terms, now_);
      condition = {std::string(kSearchListed) + " AND " + plain.sql, plain.texts};
    } else {
      condition = mailbox_condition(c, selection_, now_);
    }
    auto next = [&](const std::optional<std::pair<double, std::string>>& after, int64_t wanted) {
      std::vector<MessageSummary> out;
      std::optional<store::Statement> s;
      if (search) {
        const SearchListing listing{kSearchListed, after};
        const auto ids = search_message_ids(c, terms, now_, std::nullopt, wanted, &listing);
        if (ids.empty()) return out;
        std::string sql = "SELECT " + std::string(kColumns) + " FROM email_messages WHERE id IN (";
        for (size_t i = 0; i < ids.size(); ++i) sql += i ? ", ?" : "?";
        s.emplace(c.prepare(sql + ") ORDER BY date DESC, id"));
        for (size_t i = 0; i < ids.size(); ++i) s->bind(static_cast<int>(i + 1), ids[i]);
      } else {
        s.emplace(c.prepare("SELECT " + std::string(kColumns) +
                            " FROM email_messages WHERE rowid IN (SELECT rowid FROM "
                            "email_messages WHERE " +
                            condition.sql +
                            (after ? " AND date <= ? AND (date < ? OR id > ?)" : "") +
                            " ORDER BY date DESC, id LIMIT ?) ORDER BY date DESC, id"));
        int index = 1;
        for (const auto& value : condition.values) s->bind(index++, value);
        if (after) {
          s->bind(index++, after->first);
          s->bind(index++, after->first);
          s->bind(index++, after->second);
        }
        s->bind(index, wanted);
      }
      while (s->step()) out.push_back(summary_from_row(*s));
      return out;
    };
    auto after = walkAfter_;
    // Up to one row more than a page, which says whether more follow. With conversations,
    // messages of a conversation already listed are passed over, so more are asked for.
    while (rows.size() <= static_cast<size_t>(kPageSize)) {
      const auto wanted = static_cast<int64_t>(kPageSize + 1 - rows.size()) * (group_ ? 2 : 1);
      auto batch = next(after, wanted);
      for (auto& m : batch) {
        after = std::make_pair(m.date, m.id);
        if (group_) {
          std::string key = conversation_key(m.accountId, m.threadId, m.id);
          if (!walkThreads_.insert(key).second) continue;
          threads.push_back(std::move(key));
        }
        rows.push_back(std::move(m));
        if (rows.size() > static_cast<size_t>(kPageSize)) break;
      }
      if (static_cast<int64_t>(batch.size()) < wanted) break;
    }
    *more = rows.size() > static_cast<size_t>(kPageSize);
    if (*more) {
      rows.pop_back();
      if (group_) walkThreads_.erase(threads.back());
    }
    if (!rows.empty()) walkAfter_ = std::make_pair(rows.back().date, rows.back().id);
    if (group_) count_thread_matches(c, condition, rows);
  });
  ++pagesRead_;
  return rows;
}

int64_t MessagePager::message_count() {
  if (selection_.kind == MailboxSelection::Kind::search) return count();
  if (!messageCount_)
    messageCount_ = database_.read([&](store::Connection& c) -> int64_t {
      const auto condition = mailbox_condition(c, selection_, now_);
      auto s = c.prepare("SELECT COUNT(*) FROM email_messages WHERE " + condition.sql);
      int index = 1;
      for (const auto& value : condition.values) s.bind(index++, value);
      return s.step() ? s.integer(0).value_or(0) : 0;
    });
  return *messageCount_;
}

std::vector<MessageSummary> MessagePager::read_page(int64_t page) {
  // A page whose previous page is held starts after that page's last row, found through the
  // index by its date and id, instead of reading and skipping every row above it.
  const MessageSummary* after = nullptr;
  if (page > 0) {
    const auto held = pages_.find(page - 1);
    if (held != pages_.end() && held->second.size() == static_cast<size_t>(kPageSize))
      after = &held->second.back();
  }
  auto rows = database_.read([&](store::Connection& c) {
    const auto condition = mailbox_condition(c, selection_, now_);
    // The page's rows are chosen first by row id, from an index alone where one covers the
    // condition, and only those rows are read whole.
    const std::string sql =
        "SELECT " + std::string(kColumns) +
        " FROM email_messages WHERE rowid IN (SELECT rowid FROM email_messages WHERE " +
        condition.sql + (after ? " AND date <= ? AND (date < ? OR id > ?)" : "") +
        " ORDER BY date DESC, id LIMIT ?" + (after ? "" : " OFFSET ?") + ") ORDER BY date DESC, id";
    auto s = c.prepare(sql);
    int index = 1;
    for (const auto& value : condition.values) s.bind(index++, value);
    if (after) {
      s.bind(index++, after->date);
      s.bind(index++, after->date);
      s.bind(index++, after->id);
    }
    s.bind(index++, int64_t{kPageSize});
    if (!after) s.bind(index, page * kPageSize);
    std::vector<MessageSummary> out;
    while (s.step()) out.push_back(summary_from_row(s));
    return out;
  });
  ++pagesRead_;
  return rows;
}

void MessagePager::hold_page(int64_t page, std::vector<MessageSummary> rows) {
  pages_[page] = std::move(rows);
  recent_.remove(page);
  recent_.push_front(page);
  // A search's pages follow one another and are all held.
  while (!open_ended() && pages_.size() > kMaxPages) {
    pages_.erase(recent_.back());
    recent_.pop_back();
  }
}

std::vector<MailboxNode> read_mailbox_tree(store::EmailDatabase& database, double now) {
  using Kind = MailboxSelection::Kind;
  return database.read([&](store::Connection& c) {
    std::unordered_map<std::string, int64_t> unread;
    {
      auto s = c.prepare("SELECT folder_id, COUNT(*) FROM email_messages WHERE is_read = 0 AND " +
                         std::string(kVisible) +
                         " AND (snoozed_until IS NULL OR snoozed_until <= ?) GROUP BY folder_id");
      s.bind(1, now);
      while (s.step()) unread[s.text(0).value_or("")] = s.integer(1).value_or(0);
    }
    int64_t inboxUnread = 0;
    {
      auto s = c.prepare("SELECT id FROM email_folders WHERE type = 'inbox'");
      while (s.step())
        if (auto it = unread.find(s.text(0).value_or("")); it != unread.end())
          inboxUnread += it->second;
    }
    // Every count below reads the small index of unread mail (idx_messages_unread), which
    // SQLite takes because each condition begins with that index's own.
    auto count_of = [&](const MailboxSelection& selection) -> int64_t {
      if (selection.kind == Kind::unifiedInbox) return inboxUnread;
      if (selection.kind == Kind::scheduled) {  // the messages still to go or that failed
        auto s = c.prepare("SELECT COUNT(*) FROM scheduled_messages WHERE status != 'sent'");
        return s.step() ? s.integer(0).value_or(0) : 0;
      }
      const auto condition = mailbox_condition(c, selection, now);
      auto s =
          c.prepare("SELECT COUNT(*) FROM email_messages WHERE is_read = 0 AND " + condition.sql);
      int index = 1;
      for (const auto& value : condition.values) s.bind(index++, value);
      return s.step() ? s.integer(0).value_or(0) : 0;
    };
    std::vector<MailboxNode> nodes;
    auto add_view = [&](Kind kind, std::string key) {
      MailboxNode node;
      node.selection.kind = kind;
      node.label = std::move(key);
      node.unread = count_of(node.selection);
      nodes.push_back(std::move(node));
    };
    add_view(Kind::unifiedInbox, "desktop.view.unified_inbox");
    add_view(Kind::starred, "desktop.view.starred");
    add_view(Kind::replyLater, "desktop.view.reply_later");
    add_view(Kind::waitingOn, "desktop.view.waiting_on");
    add_view(Kind::snoozed, "desktop.view.snoozed");
    add_view(Kind::scheduled, "desktop.view.scheduled");
    add_view(Kind::actionItems, "desktop.view.action_items");
    add_view(Kind::priority, "desktop.view.priority");

    auto accounts = c.prepare(
        "SELECT id, COALESCE(NULLIF(display_name, ''), email_address) FROM email_accounts "
        "ORDER BY is_default DESC, created_at DESC");
    while (accounts.step()) {
      MailboxNode account;
      account.kind = MailboxNode::Kind::account;
      const std::string accountId = accounts.text(0).value_or("");
      account.label = accounts.text(1).value_or("");
      auto folders = c.prepare(
          "SELECT id, name, type FROM email_folders WHERE account_id = ? AND path NOT IN (?, ?) "
          "ORDER BY CASE type WHEN 'inbox' THEN 0 WHEN 'drafts' THEN 1 WHEN 'sent' THEN 2 "
          "WHEN 'archive' THEN 3 WHEN 'spam' THEN 4 WHEN 'trash' THEN 5 ELSE 6 END, name");
      folders.bind_all(accountId, "__LocalSent__", "__LocalDrafts__");
      // Folders nest by the "/" of their names: "Projects/2026" sits under "Projects".
      std::vector<std::pair<std::string, MailboxNode>> flat;
      while (folders.step()) {
        MailboxNode folder;
        folder.kind = MailboxNode::Kind::folder;
        folder.selection.kind = Kind::folder;
        folder.selection.folderId = folders.text(0).value_or("");
        const std::string name = folders.text(1).value_or("");
        folder.folderType = store::from_raw<store::EmailFolderType>(folders.text(2).value_or(""));
        folder.unread =
            unread.contains(folder.selection.folderId) ? unread[folder.selection.folderId] : 0;
        if (folder.folderType == store::EmailFolderType::inbox &&
            account.selection.folderId.empty()) {
          account.selection = folder.selection;
          account.unread = folder.unread;
        }
        folder.label = name;
        flat.emplace_back(name, std::move(folder));
      }
      std::function<void(std::vector<MailboxNode>&, const std::string&, MailboxNode)> place =
          [&](std::vector<MailboxNode>& into, const std::string& path, MailboxNode node) {
            const size_t slash = path.find('/');
            if (slash != std::string::npos && slash > 0) {
              const std::string head = path.substr(0, slash);
              for (auto& sibling : into)
                if (sibling.label == head)
                  return place(sibling.children, path.substr(slash + 1), std::move(node));
            }
            node.label = path;
            into.push_back(std::move(node));
          };
      for (auto& [name, node] : flat) place(account.children, name, std::move(node));
      if (account.selection.folderId.empty() && !account.children.empty())
        account.selection = account.children.front().selection;
      nodes.push_back(std::move(account));
    }
    return nodes;
  });
}

int64_t unified_unread_count(store::EmailDatabase& database) {
  return database.read([&](store::Connection& c) {
    auto s = c.prepare("SELECT COUNT(*) FROM email_messages WHERE is_read = 0 AND " +
                       std::string(kVisible) +
                       " AND folder_id IN (SELECT id FROM email_folders WHERE type = 'inbox')");
    return s.step() ? s.integer(0).value_or(0) : int64_t{0};
  });
}

}  // namespace kestrova::app::desktop
