#include "app/desktop/mailbox_view.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>

#include "app/core/mailbox/search_language.h"
#include "generated_mailbox.h"
#include "util/error.h"
#include "util/time.h"

namespace kestrova::app::desktop {
namespace {

using Kind = MailboxSelection::Kind;

int64_t scalar(store::EmailDatabase& db, const std::string& sql, const std::string& value = {}) {
  return db.read([&](store::Connection& c) {
    auto s = c.prepare(sql);
    if (!value.empty()) s.bind(1, value);
    return s.step() ? s.integer(0).value_or(-1) : int64_t{-1};
  });
}

std::string biggest_folder(store::EmailDatabase& db) {
  return db.read([](store::Connection& c) {
    auto s = c.prepare(
        "SELECT folder_id FROM email_messages m JOIN email_folders f ON f.id = m.folder_id "
        "WHERE f.type NOT IN ('trash', 'spam') GROUP BY folder_id ORDER BY COUNT(*) DESC LIMIT 1");
    s.step();
    return s.text(0).value_or("");
  });
}

TEST(MessagePagerTest, ReadsOnlyThePagesLookedAtNewestFirst) {
  testing::GeneratedMailbox mailbox;
  auto& db = mailbox.database();
  const std::string folder = biggest_folder(db);
  MessagePager pager(db, {Kind::folder, folder, {}});
  const int64_t expected = scalar(
      db,
      "SELECT COUNT(*) FROM email_messages WHERE folder_id = ? AND is_deleted = 0 AND is_spam = 0",
      folder);
  ASSERT_GT(expected, 3 * MessagePager::kPageSize);
  EXPECT_EQ(pager.count(), expected);
  EXPECT_EQ(pager.pages_read(), 0);

  double previous = 1e300;
  for (int64_t i = 0; i < MessagePager::kPageSize; ++i) {
    const MessageSummary* m = pager.at(i);
    ASSERT_NE(m, nullptr);
    EXPECT_LE(m->date, previous);
    EXPECT_EQ(m->folderId, folder);
    previous = m->date;
  }
  EXPECT_EQ(pager.pages_read(), 1);
  ASSERT_NE(pager.at(expected - 1), nullptr);  // the last row: one more page, not all between
  EXPECT_EQ(pager.pages_read(), 2);
  EXPECT_EQ(pager.at(expected), nullptr);

  // Walking the whole folder holds at most kMaxPages pages, and every row once.
  std::set<std::string> ids;
  for (int64_t i = 0; i < expected; ++i) ids.insert(pager.at(i)->id);
  EXPECT_EQ(static_cast<int64_t>(ids.size()), expected);
  EXPECT_LE(pager.pages_held(), MessagePager::kMaxPages);

  // The position of any message, found with one query, is where the walk met it.
  for (int64_t i : {int64_t{0}, int64_t{57}, expected / 2, expected - 1}) {
    const std::string id = pager.at(i)->id;
    MessagePager fresh(db, {Kind::folder, folder, {}});
    EXPECT_EQ(fresh.index_of(id), i);
  }
}

TEST(MessagePagerTest, SelectionsListWhatTheyName) {
  testing::GeneratedMailbox mailbox;
  auto& db = mailbox.database();
  db.write([](store::Connection& c) {
    c.execute("UPDATE email_messages SET reply_later_until = 1 WHERE rowid % 97 = 0");
    c.execute("UPDATE email_messages SET snoozed_until = 4102444800 WHERE rowid % 89 = 0");
    c.execute("UPDATE email_messages SET ai_priority = 'urgent' WHERE rowid % 83 = 0");
  });
  const std::string visible = " AND is_deleted = 0 AND is_spam = 0 AND is_draft = 0";
  struct Case {
    MailboxSelection selection;
    std::string countSql;
    std::function<bool(const MessageSummary&)> holds;
  };
  const std::vector<Case> cases = {
      // Snoozed mail (here until 2100) is out of the inboxes until its time.
      {{Kind::unifiedInbox, {}, {}},
       "SELECT COUNT(*) FROM email_messages WHERE folder_id IN (SELECT id FROM email_folders "
       "WHERE type = 'inbox') AND snoozed_until IS NULL" +
           visible,
       [](const MessageSummary&) { return true; }},
      {{Kind::starred, {}, {}},
       "SELECT COUNT(*) FROM email_messages WHERE is_starred = 1" + visible,
       [](const MessageSummary& m) { return m.isStarred; }},
      {{Kind::replyLater, {}, {}},
       "SELECT COUNT(*) FROM email_messages WHERE reply_later_until IS NOT NULL" + visible,
       [](const MessageSummary&) { return true; }},
      {{Kind::snoozed, {}, {}},
       "SELECT COUNT(*) FROM email_messages WHERE snoozed_until > 0" + visible,
       [](const MessageSummary&) { return true; }},
      {{Kind::priority, {}, {}},
       "SELECT COUNT(*) FROM email_messages WHERE ai_priority IN ('high', 'urgent')" + visible,
       [](const MessageSummary& m) {
         return m.aiPriority == store::EmailPriority::high ||
                m.aiPriority == store::EmailPriority::urgent;
       }},
      {{Kind::search, {}, "is:unread has:attachment"},
       "SELECT COUNT(*) FROM email_messages WHERE is_read = 0 AND has_attachments = 1 AND "
       "is_deleted = 0 AND is_draft = 0",
       [](const MessageSummary& m) { return !m.isRead && m.hasAttachments; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.countSql);
    MessagePager pager(db, c.selection, false, now_seconds());
    EXPECT_EQ(pager.count(), scalar(db, c.countSql));
    EXPECT_GT(pager.count(), 0);
    for (int64_t i = 0; i < std::min<int64_t>(pager.count(), 150); ++i)
      EXPECT_TRUE(c.holds(*pager.at(i)));
  }
  MessagePager bad(db, {Kind::search, {}, "is:nonsense"});
  EXPECT_THROW(bad.count(), Error);
}

// Every row of a list in the database's own order, each page read after the one before it
// (search results grown a page at a time), with page edges among messages of one date.
TEST(MessagePagerTest, WalksListEveryRowInOrder) {
  testing::GeneratedMailbox mailbox;
  auto& db = mailbox.database();
  db.write([](store::Connection& c) {
    c.execute("UPDATE email_messages SET date = 1700000000 WHERE rowid % 3 = 0");
  });
  const std::string folder = biggest_folder(db);
  const std::vector<std::pair<MailboxSelection, std::string>> cases = {
      {{Kind::folder, folder, {}},
       "folder_id = '" + folder + "' AND is_deleted = 0 AND is_spam = 0"},
      {{Kind::unifiedInbox, {}, {}},
       "is_deleted = 0 AND is_spam = 0 AND is_draft = 0 AND folder_id IN (SELECT id FROM "
       "email_folders WHERE type = 'inbox')"},
      {{Kind::search, {}, "is:read"}, "is_read = 1 AND is_deleted = 0 AND is_draft = 0"},
  };
  for (const auto& [selection, condition] : cases) {
    SCOPED_TRACE(condition);
    const auto expected = db.read([&](store::Connection& c) {
      std::vector<std::string> ids;
      auto s =
          c.prepare("SELECT id FROM email_messages WHERE " + condition + " ORDER BY date DESC, id");
      while (s.step()) ids.push_back(s.text(0).value_or(""));
      return ids;
    });
    ASSERT_GT(expected.size(), 3u * MessagePager::kPageSize);
    MessagePager pager(db, selection, false, now_seconds());
    int64_t shown = pager.count();
    while (pager.has_more())
      pager.fetch_more([&](int64_t first, int64_t last) {
        EXPECT_EQ(first, pager.count());  // announced before count() includes them
        shown = last + 1;
      });
    ASSERT_EQ(shown, static_cast<int64_t>(expected.size()));
    for (int64_t i = 0; i < shown; ++i) ASSERT_EQ(pager.at(i)->id, expected[i]) << i;
  }
}

TEST(MessagePagerTest, ConversationsShowOnceWithTheirSize) {
  testing::GeneratedMailbox mailbox;
  auto& db = mailbox.database();
  const MailboxSelection inbox{Kind::unifiedInbox, {}, {}};
  MessagePager flat(db, inbox);
  MessagePager grouped(db, inbox, true);
  EXPECT_EQ(grouped.message_count(), flat.count());
  while (grouped.has_more()) grouped.fetch_more([](int64_t, int64_t) {});
  ASSERT_LT(grouped.count(), flat.count());  // the generator threads a part of its mail
  int64_t messages = 0;
  std::set<std::string> threads;
  double previous = 1e300;
  for (int64_t i = 0; i < grouped.count(); ++i) {
    const MessageSummary* m = grouped.at(i);
    messages += m->threadSize;
    EXPECT_TRUE(
        threads.insert(m->accountId + "/" + (m->threadId.empty() ? m->id : m->threadId)).second);
    EXPECT_LE(m->date, previous);  // each conversation stands at its newest message
    previous = m->date;
  }
  EXPECT_EQ(messages, flat.count());
  const std::string id = grouped.at(grouped.count() / 3)->id;
  EXPECT_EQ(grouped.index_of(id), grouped.count() / 3);
}

// A search lists what its plain statement lists (no index, every matching row read): the
// same rows in the same order, a page at a time, and with conversations (searches, the
// unified inbox, a folder) each conversation once at its newest message with the number of
// its messages. Page edges fall among messages of one date.
TEST(MessagePagerTest, SearchesListWhatThePlainStatementLists) {
  testing::GeneratedMailbox mailbox;
  auto& db = mailbox.database();
  db.write([](store::Connection& c) {
    c.execute("UPDATE email_messages SET date = 1700000000 WHERE rowid % 5 = 0");
    c.execute("UPDATE email_messages SET is_deleted = 1 WHERE rowid % 11 = 0");
    c.execute("UPDATE email_messages SET is_draft = 1 WHERE rowid % 13 = 0");
  });
  const double now = now_seconds();
  std::vector<std::pair<MailboxSelection, SearchCondition>> cases;
  for (const std::string query :
       {"report", "Re:", "发票", "王", "itinerary is:unread", "周报 -Lisbon", "subject:order",
        "from:qq.com", "zzqqxx", "review has:attachment"}) {
    auto condition = search_condition(parse_search_query(query), now);
    condition.sql = "is_deleted = 0 AND is_draft = 0 AND " + condition.sql;
    cases.push_back({{Kind::search, {}, query}, condition});
  }
  const std::string folder = biggest_folder(db);
  cases.push_back(
      {{Kind::folder, folder, {}}, {"folder_id = ? AND is_deleted = 0 AND is_spam = 0", {folder}}});
  cases.push_back({{Kind::unifiedInbox, {}, {}},
                   {"is_deleted = 0 AND is_spam = 0 AND is_draft = 0 AND folder_id IN (SELECT id "
                    "FROM email_folders WHERE type = 'inbox')",
                    {}}});
  for (const auto& [selection, condition] : cases) {
    const std::string query = selection.query + condition.sql;
    // The plain statement's rows, newest first, equal dates by id.
    struct Row {
      std::string id, key;
    };
    const auto expected = db.read([&](store::Connection& c) {
      auto s = c.prepare(
          "SELECT id, account_id || '/' || COALESCE(NULLIF(thread_id, ''), id) FROM "
          "email_messages WHERE " +
          condition.sql + " ORDER BY date DESC, id");
      int index = 1;
      for (const auto& value : condition.texts) s.bind(index++, value);
      std::vector<Row> rows;
      while (s.step()) rows.push_back({*s.text(0), *s.text(1)});
      return rows;
    });
    // Conversations: each at its first (newest) row, with its number of rows.
    std::vector<std::pair<std::string, int>> conversations;
    std::map<std::string, size_t> place;
    for (const auto& row : expected) {
      if (auto it = place.find(row.key); it != place.end()) {
        ++conversations[it->second].second;
        continue;
      }
      place[row.key] = conversations.size();
      conversations.emplace_back(row.id, 1);
    }
    for (const bool grouped : {false, true}) {
      SCOPED_TRACE(query + (grouped ? ", conversations" : ""));
      MessagePager pager(db, selection, grouped, now);
      while (pager.has_more()) pager.fetch_more([](int64_t, int64_t) {});
      std::vector<std::pair<std::string, int>> shown;
      for (int64_t i = 0; i < pager.count(); ++i)
        shown.emplace_back(pager.at(i)->id, grouped ? pager.at(i)->threadSize : 1);
      if (grouped) {
        EXPECT_EQ(shown, conversations);
      } else {
        ASSERT_EQ(shown.size(), expected.size());
        for (size_t i = 0; i < shown.size(); ++i) ASSERT_EQ(shown[i].first, expected[i].id) << i;
      }
    }
  }
}

TEST(MailboxTreeTest, ViewsThenAccountsWithNestedFoldersAndUnreadCounts) {
  testing::GeneratedMailbox mailbox;
  auto& db = mailbox.database();
  db.write([](store::Connection& c) {
    auto s = c.prepare(
        "UPDATE email_folders SET name = 'Projects/2026' WHERE id = "
        "(SELECT id FROM email_folders WHERE type = 'custom' ORDER BY id LIMIT 1)");
    s.run();
    auto t = c.prepare(
        "INSERT INTO email_folders (id, account_id, name, type, path) SELECT "
        "'F0000000-0000-4000-8000-000000000001', account_id, 'Projects', 'custom', 'Projects' "
        "FROM email_folders WHERE name = 'Projects/2026'");
    t.run();
  });
  const auto nodes = read_mailbox_tree(db, now_seconds());
  ASSERT_GE(nodes.size(), 7u + 3u);
  EXPECT_EQ(nodes[0].selection.kind, Kind::unifiedInbox);
  EXPECT_EQ(nodes[0].unread, unified_unread_count(db));
  EXPECT_EQ(nodes[0].unread,
            scalar(db,
                   "SELECT COUNT(*) FROM email_messages WHERE is_read = 0 AND is_deleted = 0 AND "
                   "is_spam = 0 AND is_draft = 0 AND folder_id IN (SELECT id FROM email_folders "
                   "WHERE type = 'inbox')"));
  int64_t folders = 0;
  bool nested = false;
  std::function<void(const MailboxNode&)> walk = [&](const MailboxNode& n) {
    if (n.kind == MailboxNode::Kind::folder) {
      ++folders;
      EXPECT_EQ(n.unread,
                scalar(db,
                       "SELECT COUNT(*) FROM email_messages WHERE folder_id = ? AND is_read = 0 "
                       "AND is_deleted = 0 AND is_spam = 0 AND is_draft = 0",
                       n.selection.folderId));
      if (n.label == "Projects") nested = n.children.size() == 1 && n.children[0].label == "2026";
    }
    for (const auto& child : n.children) walk(child);
  };
  int accounts = 0;
  for (const auto& n : nodes) {
    if (n.kind != MailboxNode::Kind::account) continue;
    ++accounts;
    EXPECT_EQ(n.children.front().folderType, store::EmailFolderType::inbox);
    EXPECT_EQ(n.selection, n.children.front().selection);  // choosing an account shows its inbox
    walk(n);
  }
  EXPECT_EQ(accounts, 3);
  EXPECT_TRUE(nested);
  EXPECT_EQ(
      folders,
      scalar(db,
             "SELECT COUNT(*) FROM email_folders WHERE path NOT LIKE '\\_\\_Local%' ESCAPE '\\'"));
}

}  // namespace
}  // namespace kestrova::app::desktop
