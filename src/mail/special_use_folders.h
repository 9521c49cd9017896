#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/libetpan_imap_session.h"
#include "store/email_enums.h"

namespace kestrova::mail {

// What a server says a folder is for (RFC 6154 §2 special-use attributes), beside what its
// name says (classify_folder). A server that marks its folders knows them better than the
// name rule: a German "Entwürfe" marked \Drafts is the drafts folder, an old "Drafts" left
// by another client beside it is not.

// The folder type a special-use attribute names, letter case ignored: \Drafts drafts,
// \Sent sent, \Trash trash, \Junk spam, \Archive archive. Nothing for any other attribute
// (\All, \Flagged and \Important are views, see store/folder_views.h).
std::optional<store::EmailFolderType> special_use_type(std::string_view attribute);

// The type of each folder of a LIST answer, in its order: the type its special-use attribute
// names; else its name's type, unless another folder of the answer carries the attribute of
// that type (the folder is then custom).
std::vector<store::EmailFolderType> listed_folder_types(
    const std::vector<ImapListedFolder>& listing);

// The folder a server with this LIST answer keeps drafts in, among its selectable folders:
// the one marked \Drafts; else one whose last name component is a usual name of the drafts
// folder in some language ("Drafts", "Entwürfe", "Brouillons", "草稿箱", ..., letter case
// ignored); else one whose name the name rule makes a drafts folder. Nothing when there is
// none: the caller creates kDefaultDraftsFolder.
std::optional<std::string> drafts_folder_path(const std::vector<ImapListedFolder>& listing);

inline constexpr std::string_view kDefaultDraftsFolder = "Drafts";

}  // namespace kestrova::mail
