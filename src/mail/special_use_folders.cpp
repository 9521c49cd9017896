#include "mail/special_use_folders.h"

#include <algorithm>
#include <array>
#include <set>

#include "mail/email_message_conversion.h"
#include "util/text.h"

namespace kestrova::mail {

namespace {

using store::EmailFolderType;

// The names servers and other clients give the drafts folder, lower-cased (the usual
// defaults of Dovecot, Cyrus, Exchange and the big providers in their languages).
constexpr std::array<std::string_view, 21> kDraftsNames = {
    "drafts",    "draft",     "entwürfe", "brouillons", "borradores",     "bozze",  "concepten",
    "rascunhos", "utkast",    "kladder",  "luonnokset", "wersje robocze", "szkice", "koncepty",
    "черновики", "taslaklar", "草稿箱",   "草稿",       "草稿夹",         "下書き", "임시 보관함"};

// The last component of a hierarchical name, for either usual separator ("INBOX.Entwürfe",
// "[Gmail]/Drafts").
std::string_view last_component(std::string_view name) {
  const size_t cut = name.find_last_of("/.");
  return cut == std::string_view::npos ? name : name.substr(cut + 1);
}

std::optional<EmailFolderType> special_use_of(const ImapListedFolder& folder) {
  for (const auto& flag : folder.flags)
    if (auto type = special_use_type(flag)) return type;
  return std::nullopt;
}

}  // namespace

std::optional<EmailFolderType> special_use_type(std::string_view attribute) {
  const std::string lower = text::lower(attribute);
  if (lower == "\\drafts") return EmailFolderType::drafts;
  if (lower == "\\sent") return EmailFolderType::sent;
  if (lower == "\\trash") return EmailFolderType::trash;
  if (lower == "\\junk") return EmailFolderType::spam;
  if (lower == "\\archive") return EmailFolderType::archive;
  return std::nullopt;
}

std::vector<EmailFolderType> listed_folder_types(const std::vector<ImapListedFolder>& listing) {
  std::set<EmailFolderType> marked;
  for (const auto& folder : listing)
    if (auto type = special_use_of(folder)) marked.insert(*type);
  std::vector<EmailFolderType> types;
  types.reserve(listing.size());
  for (const auto& folder : listing) {
    if (auto type = special_use_of(folder)) {
      types.push_back(*type);
      continue;
    }
    const EmailFolderType byName = classify_folder(folder.name);
    types.push_back(marked.contains(byName) ? EmailFolderType::custom : byName);
  }
  return types;
}

std::optional<std::string> drafts_folder_path(const std::vector<ImapListedFolder>& listing) {
  auto first = [&](auto&& matches) -> const ImapListedFolder* {
    const auto it = std::find_if(listing.begin(), listing.end(), [&](const auto& folder) {
      return folder.selectable() && matches(folder);
    });
    return it == listing.end() ? nullptr : &*it;
  };
  const ImapListedFolder* found =
      first([](const auto& folder) { return special_use_of(folder) == EmailFolderType::drafts; });
  if (!found)
    found = first([](const auto& folder) {
      const std::string name = text::lower(last_component(folder.name));
      return std::find(kDraftsNames.begin(), kDraftsNames.end(), name) != kDraftsNames.end();
    });
  if (!found)
    found = first(
        [](const auto& folder) { return classify_folder(folder.name) == EmailFolderType::drafts; });
  if (!found) return std::nullopt;
  return found->name;
}

}  // namespace kestrova::mail
