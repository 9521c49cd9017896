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

}  // namespace
}  // namespace kestrova::store
