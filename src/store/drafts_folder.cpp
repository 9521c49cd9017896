#include "store/drafts_folder.h"

#include "store/database.h"
#include "store/email_enums.h"
#include "store/email_folder.h"

namespace kestrova::store {

std::optional<std::string> drafts_folder_id(Connection& c, const std::string& accountId) {
  // The local-only folder sorts last: it is only where drafts go while the account has no
  // drafts folder of its own.
  auto s = c.prepare(
      "SELECT id FROM email_folders WHERE account_id = ? AND (type = ? OR path = ?) "
      "ORDER BY path = ?, name LIMIT 1");
  s.bind_all(accountId, raw_value(EmailFolderType::drafts), EmailFolder::kLocalDraftsPath,
             EmailFolder::kLocalDraftsPath);
  if (!s.step()) return std::nullopt;
  return s.text(0);
}

}  // namespace kestrova::store
