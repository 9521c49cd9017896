#include "app/desktop/message_actions.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include "generated_mailbox.h"
#include "store/server_change_journal.h"
#include "wait_for.h"

namespace kestrova::app::desktop {
namespace {

struct Row {
  std::string folderType;
  bool isSpam = false;
  bool isRead = false;
  bool isStarred = false;
};

Row row_of(store::EmailDatabase& db, const std::string& id) {
  return db.read([&](store::Connection& c) {
    auto s = c.prepare(
        "SELECT f.type, m.is_spam, m.is_read, m.is_starred FROM email_messages m "
        "LEFT JOIN email_folders f ON f.id = m.folder_id WHERE m.id = ?");
    s.bind(1, id);
    s.step();
    return Row{s.text(0).value_or(""), s.integer(1).value_or(0) != 0, s.integer(2).value_or(0) != 0,
               s.integer(3).value_or(0) != 0};
  });
}

std::vector<store::ServerChange> journal(store::EmailDatabase& db) {
  return db.read([](store::Connection& c) { return store::all_server_changes(c); });
}

// An unread, unstarred inbox message the server knows (it has a UID), of an account with an
// archive folder.
std::string inbox_message(store::EmailDatabase& db) {
  return db.read([](store::Connection& c) {
    auto s = c.prepare(
        "SELECT m.id FROM email_messages m JOIN email_folders f ON f.id = m.folder_id "
        "WHERE f.type = 'inbox' AND m.uid IS NOT NULL AND m.is_read = 0 AND m.is_starred = 0 "
        "AND m.is_spam = 0 AND m.is_deleted = 0 AND EXISTS (SELECT 1 FROM email_folders a "
        "WHERE a.account_id = m.account_id AND a.type = 'archive') ORDER BY m.date DESC LIMIT 1");
    s.step();
    return s.text(0).value_or("");
  });
}

TEST(MessageActionsTest, MovesAreJournalledAndUndoLeavesNothingForTheServer) {
  struct Case {
    MessageActions::Kind kind;
    std::string folderType;
    bool spam;
  };
  for (const Case& c : {Case{MessageActions::Kind::archive, "archive", false},
                        Case{MessageActions::Kind::trash, "trash", false},
                        Case{MessageActions::Kind::spam, "spam", true}}) {
    SCOPED_TRACE(c.folderType);
    testing::GeneratedMailbox mailbox;
    auto& db = mailbox.database();
    const std::string id = inbox_message(db);
    ASSERT_FALSE(id.empty());
    MessageActions actions(db);
    const auto undo = c.kind == MessageActions::Kind::archive ? actions.archive({id})
                      : c.kind == MessageActions::Kind::trash ? actions.trash({id})
                                                              : actions.spam({id});
    EXPECT_EQ(row_of(db, id).folderType, c.folderType);
    EXPECT_EQ(row_of(db, id).isSpam, c.spam);
    auto pending = journal(db);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].kind, store::ServerChangeKind::move);
    EXPECT_EQ(pending[0].messageRowId, id);
    EXPECT_EQ(pending[0].source.folderPath.empty(), false);

    ASSERT_EQ(undo.placements.size(), 1u);
    actions.undo(undo);
    EXPECT_EQ(row_of(db, id).folderType, "inbox");
    EXPECT_FALSE(row_of(db, id).isSpam);
    // Back where the server still has it: the pending move is dropped, not replayed twice.
    EXPECT_TRUE(journal(db).empty());
  }
}

TEST(MessageActionsTest, FlagsChangeEveryCopyWithOneJournalEntryEach) {
  testing::GeneratedMailbox mailbox;
  auto& db = mailbox.database();
  const std::string id = inbox_message(db);
  // A second copy of the same message in another folder of the account.
  const std::string copy = "C0000000-0000-4000-8000-000000000001";
  db.write([&](store::Connection& c) {
    auto s = c.prepare(
        "INSERT INTO email_messages (id, account_id, folder_id, uid, message_id, subject, "
        "from_email, date, synced_at, updated_at) SELECT ?, account_id, (SELECT id FROM "
        "email_folders a WHERE a.account_id = m.account_id AND a.type = 'archive'), 999999, "
        "message_id, subject, from_email, date, synced_at, updated_at FROM email_messages m "
        "WHERE id = ?");
    s.bind_all(copy, id);
    s.run();
  });
  MessageActions actions(db);
  actions.set_read({id}, true);
  actions.set_starred({id}, true);
  for (const auto& row : {id, copy}) {
    EXPECT_TRUE(row_of(db, row).isRead) << row;
    EXPECT_TRUE(row_of(db, row).isStarred) << row;
  }
  // read and starred for each copy; setting them back coalesces into the same entries.
  EXPECT_EQ(journal(db).size(), 4u);
  actions.set_read({id}, false);
  const auto pending = journal(db);
  EXPECT_EQ(pending.size(), 4u);
  for (const auto& entry : pending)
    if (entry.kind == store::ServerChangeKind::read) EXPECT_FALSE(entry.value);
}

TEST(MessageActionsTest, MissingFolderIsReportedAndNothingChanges) {
  testing::GeneratedMailbox mailbox;
  auto& db = mailbox.database();
  const std::string id = inbox_message(db);
  db.write([&](store::Connection& c) {
    auto s = c.prepare(
        "DELETE FROM email_folders WHERE type = 'archive' AND account_id = "
        "(SELECT account_id FROM email_messages WHERE id = ?)");
    s.bind(1, id);
    s.run();
  });
  MessageActions actions(db);
  EXPECT_THROW(actions.archive({id}), Error);
  EXPECT_EQ(row_of(db, id).folderType, "inbox");
  EXPECT_TRUE(journal(db).empty());
}

using testing::wait_for;

TEST(ReadAfterDelayTest, MarksOnlyTheMessageThatStayedOpen) {
  std::vector<std::string> marked;
  ReadAfterDelay now(std::chrono::milliseconds(0),
                     [&](const std::string& id) { marked.push_back(id); });
  now.opened("A", false);
  now.opened("B", true);  // already read: nothing to do
  EXPECT_EQ(marked, std::vector<std::string>{"A"});

  marked.clear();
  ReadAfterDelay later(std::chrono::milliseconds(30),
                       [&](const std::string& id) { marked.push_back(id); });
  later.opened("A", false);
  later.opened("B", false);  // A was left before its delay passed
  EXPECT_EQ(later.pending(), "B");
  ASSERT_TRUE(wait_for([&] { return !marked.empty(); }));
  EXPECT_EQ(marked, std::vector<std::string>{"B"});
  later.opened("C", false);
  later.cancel();  // marked unread by hand, or the list emptied
  QCoreApplication::processEvents();
  EXPECT_FALSE(later.pending());
}

}  // namespace
}  // namespace kestrova::app::desktop
