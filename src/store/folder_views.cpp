#include "store/folder_views.h"

#include "store/database.h"
#include "util/text.h"

namespace kestrova::store {

bool is_view_attribute(std::string_view attribute) {
  const std::string lower = text::lower(attribute);
  return lower == "\\all" || lower == "\\flagged" || lower == "\\important";
}

void replace_folder_views(Connection& c, const std::string& accountId,
                          const std::vector<std::string>& paths) {
  auto clear = c.prepare("DELETE FROM email_folder_views WHERE account_id = ?");
  clear.bind(1, accountId);
  clear.run();
  for (const auto& path : paths) {
    auto s = c.prepare("INSERT OR IGNORE INTO email_folder_views (account_id, path) VALUES (?, ?)");
    s.bind_all(accountId, path);
    s.run();
  }
}

bool is_view_folder(Connection& c, const std::string& folderId) {
  auto s = c.prepare(
      "SELECT 1 FROM email_folders f JOIN email_folder_views v "
      "ON v.account_id = f.account_id AND v.path = f.path WHERE f.id = ?");
  s.bind(1, folderId);
  return s.step();
}

std::string not_a_view_condition(std::string_view folderIdColumn) {
  return std::string(folderIdColumn) +
         " NOT IN (SELECT f.id FROM email_folders f JOIN email_folder_views v "
         "ON v.account_id = f.account_id AND v.path = f.path)";
}

}  // namespace kestrova::store
