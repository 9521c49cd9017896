#pragma once

#include <optional>
#include <string>

namespace kestrova::store {

class Connection;

// Where a new draft of an account is kept: the account's drafts folder (the server's, which
// a folder sync recognises by its special-use mark or its name, or a local account's own);
// else its local-only drafts folder (EmailFolder::kLocalDraftsPath). Nothing when it has
// neither: the caller then creates the local-only one. Never a second drafts folder beside
// one the account already has.
std::optional<std::string> drafts_folder_id(Connection& c, const std::string& accountId);

}  // namespace kestrova::store
