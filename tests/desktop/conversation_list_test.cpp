#include "app/desktop/conversation_list.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "generated_mailbox.h"
#include "util/time.h"

namespace kestrova::app::desktop {
namespace {

using Kind = MailboxSelection::Kind;

// Rows of a conversation list as the list shows them: each row's message id and place.
struct Shown {
  std::string id;
  int64_t conversation;
  int child;
};
std::vector<Shown> rows_of(ConversationList& list) {
  std::vector<Shown> rows;
  for (int64_t i = 0; i < list.count(); ++i) {
    const auto row = list.at(i);
    EXPECT_NE(row.message, nullptr) << i;
    if (!row.message) break;
    rows.push_back({row.message->id, row.conversation, row.child});
  }
  return rows;
}

// The first rows of conversations of at least `size` messages, from the top.
std::vector<int64_t> conversations_of_size(ConversationList& list, int size, size_t wanted) {
  std::vector<int64_t> found;
  for (int64_t i = 0; i < list.count() && found.size() < wanted; ++i)
    if (list.at(i).message->threadSize >= size) found.push_back(i);
  return found;
}

TEST(ConversationListTest, ClosedByDefaultOpenUnderTheirRowAndCloseAgain) {
  testing::GeneratedMailbox mailbox;
  auto& db = mailbox.database();
  const MailboxSelection inbox{Kind::unifiedInbox, {}, {}};
  ConversationList list(db, inbox, true, now_seconds());
  MessagePager flat(db, inbox);
  const int64_t conversations = list.count();
  ASSERT_LT(conversations, flat.count());
  const auto wide = conversations_of_size(list, 3, 2);
  ASSERT_EQ(wide.size(), 2u) << "the generator threads some conversations of three or more";

  // Every row is closed: one per conversation, never a conversation twice, newest first.
  std::set<std::string> keys;
  double previous = 1e300;
  for (int64_t i = 0; i < conversations; ++i) {
    const auto row = list.at(i);
    EXPECT_EQ(row.child, -1);
    EXPECT_FALSE(row.open);
    EXPECT_EQ(row.opens, row.message->threadSize > 1);
    EXPECT_TRUE(
        keys.insert(row.message->accountId + "/" +
                    (row.message->threadId.empty() ? row.message->id : row.message->threadId))
            .second);
    EXPECT_LE(row.message->date, previous);
    previous = row.message->date;
  }

  // An action on a closed conversation means all its messages.
  const int64_t first = wide[0], second = wide[1];
  const auto head = *list.at(first).message;
  const auto all = list.messages_of(first);
  EXPECT_EQ(static_cast<int>(all.size()), head.threadSize);

  // Opening the lower conversation first, then the upper one: each lists its older
  // messages, newest first, right under its row; the rows between keep their order.
  for (int64_t row : {second, first}) {
    auto opening = list.prepare_open(row);
    ASSERT_TRUE(opening);
    EXPECT_EQ(static_cast<int>(opening->messages.size()), list.at(row).message->threadSize - 1);
    list.open(std::move(*opening));
    EXPECT_FALSE(list.prepare_open(row)) << "an open conversation does not open twice";
  }
  const int64_t firstSize = head.threadSize - 1;
  const int64_t secondRow = second + firstSize;
  const int64_t secondSize = list.at(secondRow).message->threadSize - 1;
  EXPECT_EQ(list.count(), conversations + firstSize + secondSize);
  const auto shown = rows_of(list);
  for (int64_t i = 1; i <= firstSize; ++i) {
    const auto row = list.at(first + i);
    EXPECT_EQ(row.child, i - 1);
    EXPECT_EQ(row.message->threadId, head.threadId);
    EXPECT_EQ(row.message->accountId, head.accountId);
    EXPECT_LE(row.message->date, i == 1 ? head.date : list.at(first + i - 1).message->date);
    EXPECT_EQ(list.row_of(row.message->id), first + i);
    EXPECT_EQ(list.messages_of(first + i), std::vector<std::string>{row.message->id});
  }
  EXPECT_EQ(list.messages_of(first), std::vector<std::string>{head.id});  // open: just itself
  EXPECT_EQ(list.at(first + firstSize + 1).child, -1);
  EXPECT_EQ(list.at(secondRow).conversation, second);
  EXPECT_EQ(list.row_of(list.at(secondRow + 1).message->id), secondRow + 1);
  EXPECT_EQ(shown.back().id, list.at(list.count() - 1).message->id);

  // Closing from one of its messages closes the conversation and answers its row; the rows
  // below move up by as many.
  const auto closing = list.prepare_close(first + 2);
  ASSERT_TRUE(closing);
  EXPECT_EQ(closing->row, first);
  EXPECT_EQ(closing->removed, firstSize);
  list.close(*closing);
  EXPECT_EQ(list.count(), conversations + secondSize);
  EXPECT_EQ(list.at(second).message->id, shown[static_cast<size_t>(secondRow)].id);
  EXPECT_FALSE(list.prepare_close(first));
  EXPECT_EQ(list.row_of(all.back()), first);  // a message of a closed conversation: its row
}

TEST(ConversationListTest, OpenConversationsStayOpenAcrossChangesAndPagesStayLazy) {
  testing::GeneratedMailbox mailbox;
  auto& db = mailbox.database();
  const MailboxSelection inbox{Kind::unifiedInbox, {}, {}};
  ConversationList list(db, inbox, true, now_seconds());
  const auto wide = conversations_of_size(list, 3, 1);
  ASSERT_EQ(wide.size(), 1u);
  const int64_t row = wide[0];
  const std::string headId = list.at(row).message->id;
  list.open(*list.prepare_open(row));
  const std::string older = list.at(row + 1).message->id;
  const int64_t before = list.count();

  // Another process moves one of its older messages to the trash and a newer conversation
  // arrives above: the conversation stays open without that message.
  db.write([&](store::Connection& c) {
    auto s = c.prepare("UPDATE email_messages SET is_deleted = 1 WHERE id = ?");
    s.bind(1, older);
    s.run();
    auto t = c.prepare("UPDATE email_messages SET date = ? WHERE id = ?");
    t.bind_all(now_seconds() + 3600, list.at(list.count() - 1).message->id);
    t.run();
  });
  list.refresh(now_seconds());
  const auto moved = list.row_of(headId);
  ASSERT_TRUE(moved);
  const auto again = list.at(*moved);
  EXPECT_TRUE(again.open);
  EXPECT_EQ(again.message->id, headId);
  EXPECT_EQ(list.count(), before - 1);
  EXPECT_FALSE(list.row_of(older));
  for (int64_t i = 1; i < again.message->threadSize; ++i)
    EXPECT_EQ(list.at(*moved + i).child, i - 1);

  // A large folder grouped into conversations reads only the pages looked at.
  const std::string folder = db.read([](store::Connection& c) {
    auto s = c.prepare(
        "SELECT folder_id FROM email_messages GROUP BY folder_id ORDER BY COUNT(*) DESC LIMIT 1");
    s.step();
    return s.text(0).value_or("");
  });
  ConversationList big(db, {Kind::folder, folder, {}}, true, now_seconds());
  EXPECT_EQ(big.count(), MessagePager::kPageSize);  // its first page, not a count of all
  ASSERT_TRUE(big.pager().has_more());
  big.pager().fetch_more([](int64_t, int64_t) {});
  EXPECT_EQ(big.count(), 2 * MessagePager::kPageSize);
  big.at(0);
  big.at(big.count() - 1);
  EXPECT_EQ(big.pager().pages_read(), 2);
}

}  // namespace
}  // namespace kestrova::app::desktop
