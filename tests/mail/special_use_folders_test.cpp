// Which folder of a server's LIST answer holds drafts, and what type each folder gets, when
// the server marks folders with RFC 6154 special-use attributes and when it does not.

#include "mail/special_use_folders.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kestrova::mail {
namespace {

using store::EmailFolderType;

ImapListedFolder folder(std::string name, std::vector<std::string> flags = {}) {
  return {std::move(name), std::move(flags)};
}

TEST(SpecialUseFolders, DraftsFolderOfAListing) {
  const struct {
    const char* what;
    std::vector<ImapListedFolder> listing;
    std::optional<std::string> expected;
  } cases[] = {
      {"the mark beats a folder named Drafts",
       {folder("INBOX"), folder("Drafts"), folder("Entwürfe", {"\\HasNoChildren", "\\Drafts"})},
       "Entwürfe"},
      {"the mark in other letter case",
       {folder("INBOX"), folder("Konzepte", {"\\DRAFTS"})},
       "Konzepte"},
      {"a marked folder that cannot be selected is passed over",
       {folder("[Gmail]", {"\\Noselect", "\\Drafts"}), folder("Brouillons")},
       "Brouillons"},
      {"a usual name in another language, below INBOX",
       {folder("INBOX"), folder("INBOX.Entwürfe"), folder("Archive")},
       "INBOX.Entwürfe"},
      {"a usual name beats a name that only contains DRAFT",
       {folder("Old drafts 2019"), folder("草稿箱")},
       "草稿箱"},
      {"Cyrillic names compare without letter case", {folder("ЧЕРНОВИКИ")}, "ЧЕРНОВИКИ"},
      {"the name rule last", {folder("INBOX"), folder("My Drafts")}, "My Drafts"},
      {"none: the caller creates Drafts",
       {folder("INBOX"), folder("Sent"), folder("Entwurf für Anna")},
       std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(drafts_folder_path(c.listing), c.expected);
  }
}

TEST(SpecialUseFolders, TypesFollowTheMarksBeforeTheNames) {
  const std::vector<ImapListedFolder> marked = {
      folder("INBOX"),
      folder("Drafts"),  // named so, but the server says otherwise
      folder("Entwürfe", {"\\Drafts"}),
      folder("Gesendet", {"\\Sent"}),
      folder("Papierkorb", {"\\Trash"}),
      folder("Unerwünscht", {"\\Junk"}),
      folder("Ablage", {"\\Archive"}),
      folder("All Mail", {"\\All"}),  // a view, not a type
      folder("Spam")};                // the server marked another spam folder
  EXPECT_EQ(listed_folder_types(marked),
            (std::vector<EmailFolderType>{
                EmailFolderType::inbox, EmailFolderType::custom, EmailFolderType::drafts,
                EmailFolderType::sent, EmailFolderType::trash, EmailFolderType::spam,
                EmailFolderType::archive, EmailFolderType::custom, EmailFolderType::custom}));

  // Without marks the names decide, as they always did.
  const std::vector<ImapListedFolder> unmarked = {folder("INBOX"), folder("Drafts"),
                                                  folder("Sent Items"), folder("Junk E-mail"),
                                                  folder("已发送")};
  EXPECT_EQ(listed_folder_types(unmarked),
            (std::vector<EmailFolderType>{EmailFolderType::inbox, EmailFolderType::drafts,
                                          EmailFolderType::sent, EmailFolderType::spam,
                                          EmailFolderType::custom}));
}

}  // namespace
}  // namespace kestrova::mail
