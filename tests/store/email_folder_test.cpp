#include "store/email_folder.h"

#include <gtest/gtest.h>

#include "store_test_support.h"

namespace kestrova::store {
namespace {

EmailFolder named(std::string name) {
  EmailFolder folder;
  folder.name = std::move(name);
  return folder;
}

TEST(EmailFolderTest, DisplayNameIsLastNonEmptyComponent) {
  EXPECT_EQ(named("Archive/2024/Receipts").displayName(), "Receipts");
  EXPECT_EQ(named("Projects/客户/").displayName(), "客户");
  EXPECT_EQ(named("INBOX").displayName(), "INBOX");
  EXPECT_EQ(named("/").displayName(), "/");
  EXPECT_EQ(named("").displayName(), "");
}

TEST(EmailFolderTest, UndecodedNames) {
  for (const char* name :
       {"&ZeVnLIqe-", "Entw&APw-rfe", "=?UTF-8?B?5Y+R5Lu2?=", "x?=", "  \t\n", "", "\u3000"})
    EXPECT_TRUE(named(name).hasUndecodedName()) << name;
  // An ampersand alone, "&-" (an escaped "&") and a run without its closing hyphen are not
  // modified UTF-7 runs.
  for (const char* name : {"AT&T", "a&-b", "&abc", "Drafts", "已发送", "Q&A - notes"})
    EXPECT_FALSE(named(name).hasUndecodedName()) << name;
}

TEST(EmailFolderTest, LocalPseudoFoldersAreNotUserFolders) {
  EmailFolder drafts = EmailFolder::make({.name = "草稿箱",
                                          .type = EmailFolderType::custom,
                                          .path = std::string(EmailFolder::kLocalDraftsPath)});
  EXPECT_TRUE(drafts.isLocalPseudoFolder());
  EXPECT_FALSE(drafts.isCustomUserFolder());

  EmailFolder lookalike = EmailFolder::make({.name = "x", .path = "__localsent__"});
  EXPECT_FALSE(lookalike.isLocalPseudoFolder());
  EXPECT_TRUE(lookalike.isCustomUserFolder());

  EmailFolder inbox = EmailFolder::make({.name = "INBOX", .type = EmailFolderType::inbox});
  EXPECT_FALSE(inbox.isCustomUserFolder());
  EXPECT_EQ(inbox.path, "INBOX");  // an empty path takes the name
}

using EmailFolderRowTest = testing::StoreTest;

TEST_F(EmailFolderRowTest, RowsNeedBothIdsAndUnknownTypesAreCustom) {
  auto folder = read_first<EmailFolder>(
      "SELECT 'F0000000-0000-4000-8000-000000000001' AS id, "
      "'a0000000-0000-4000-8000-000000000001' AS account_id, 'Work/Clients' AS name, "
      "'Archive' AS type, 'Work/Clients' AS path, 3 AS unread_count, 9 AS total_count, "
      "NULL AS last_sync_date");
  ASSERT_TRUE(folder);
  EXPECT_EQ(*folder, EmailFolder({.id = "F0000000-0000-4000-8000-000000000001",
                                  .accountId = "A0000000-0000-4000-8000-000000000001",
                                  .name = "Work/Clients",
                                  .type = EmailFolderType::custom,
                                  .path = "Work/Clients",
                                  .unreadCount = 3,
                                  .totalCount = 9}));
  EXPECT_EQ(EmailFolder::from_json(folder->to_json()), folder);
  EXPECT_FALSE(folder->to_json().contains("lastSyncDate"));

  EXPECT_FALSE(read_first<EmailFolder>(
      "SELECT 'F0000000-0000-4000-8000-000000000001' AS id, 'nope' AS account_id"));
  EXPECT_FALSE(read_first<EmailFolder>(
      "SELECT NULL AS id, 'A0000000-0000-4000-8000-000000000001' AS account_id"));
}

}  // namespace
}  // namespace kestrova::store
