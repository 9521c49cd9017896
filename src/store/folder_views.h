#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace kestrova::store {

class Connection;

// Folders that show mail filed elsewhere instead of holding their own: RFC 6154 §2 \All
// (Gmail's "All Mail"), \Flagged ("Starred") and \Important. A message a sync finds in such
// a folder stays in the real folder it is stored in, and the inbox does not count a copy in
// a view as archived elsewhere. Kept by path per account in email_folder_views.

// Whether a LIST attribute (as sent, e.g. "\\All") marks a view; case-insensitive.
bool is_view_attribute(std::string_view attribute);

// Replaces the account's views with `paths` (the server's folder paths).
void replace_folder_views(Connection& c, const std::string& accountId,
                          const std::vector<std::string>& paths);

// Whether the folder row `folderId` is one of its account's views.
bool is_view_folder(Connection& c, const std::string& folderId);

// SQL condition on a folder id column: true for folders that are not views. Binds nothing.
std::string not_a_view_condition(std::string_view folderIdColumn);

}  // namespace kestrova::store
