#include "store/email_store_sql.h"

#include "store/folder_views.h"

namespace kestrova::store::sql {

namespace {

// One logical message: the trimmed Message-ID when there is one, else subject, sender and
// date together.
constexpr std::string_view kDedupKey =
    "CASE WHEN em.message_id IS NOT NULL AND TRIM(em.message_id) != '' THEN TRIM(em.message_id) "
    "ELSE COALESCE(em.subject, '') || '|' || COALESCE(em.from_email, '') || '|' || "
    "CAST(em.date AS TEXT) END";

constexpr std::string_view kListedRows =
    "WHERE em.account_id = ? AND em.is_draft = 0 AND em.is_spam = 0 AND em.is_deleted = 0 ";

std::string having(std::optional<EmailVirtualFolderKind> kind) {  // for the counts
  if (!kind) return "";
  switch (*kind) {
    case EmailVirtualFolderKind::starred:
      return " HAVING MAX(em.is_starred) = 1";
    case EmailVirtualFolderKind::attachments:
      return " HAVING MAX(em.has_attachments) = 1";
  }
  return "";
}

}  // namespace

std::string identitySubject(std::string_view subject) {
  const size_t first = subject.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return std::string(subject.substr(first, subject.find_last_not_of(' ') - first + 1));
}

std::string identitySender(std::string_view address) {
  std::string folded(address);
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

bool folderConditionTakesAccount(EmailFolderType type) {
  return type == EmailFolderType::trash || type == EmailFolderType::spam;
}

std::string folderCondition(EmailFolderType type) {
  switch (type) {
    case EmailFolderType::trash:
      return "account_id = ? AND (folder_id = ? OR is_deleted = 1)";
    case EmailFolderType::spam:
      return "account_id = ? AND is_deleted = 0 AND (folder_id = ? OR is_spam = 1)";
    case EmailFolderType::inbox:
    case EmailFolderType::sent:
    case EmailFolderType::drafts:
    case EmailFolderType::archive:
    case EmailFolderType::custom:
      break;
  }
  return "folder_id = ? AND is_deleted = 0 AND is_spam = 0";
}

std::string folderPage(EmailFolderType type) {
  return "SELECT * FROM email_messages WHERE " + folderCondition(type) +
         " ORDER BY date DESC LIMIT ? OFFSET ?";
}

std::string folderCount(EmailFolderType type) {
  return "SELECT COUNT(*) FROM email_messages WHERE " + folderCondition(type);
}

// One statement in four steps, so that message bodies are read only where they decide
// something and whole rows only for the page that is returned:
//   keyed   the listed rows of the account with their dedup key and flags (no bodies);
//   groups  one row per key with the aggregated flags (and the virtual folder's filter);
//           a group of one copy has its representative already (only_id, only_date);
//   multi   for groups of several copies, the representative by rank (0: existing folder
//           and a body, 1: existing folder, 2: neither) and then smallest id: the rank
//           character in front of the id makes MIN() pick it, and SQLite takes the bare
//           column c.date from the row that MIN() chose (CROSS JOIN keeps the groups
//           outermost, so only the copies of those groups are looked up);
//   page    the newest groups by their representative's date, `limit` of them;
// and finally the representative rows themselves.
std::string aggregateList(std::optional<EmailVirtualFolderKind> kind) {
  const bool allMail = !kind;
  std::string sql = "WITH keyed AS (SELECT em.id, em.folder_id, em.date, ";
  sql += kDedupKey;
  sql += " AS dedup_key, em.is_read, em.is_starred, em.has_been_replied, em.has_attachments "
         "FROM email_messages em ";
  sql += kListedRows;
  sql += "), groups AS (SELECT dedup_key, COUNT(*) AS copies, MIN(id) AS only_id, "
         "MAX(date) AS only_date, MAX(is_read) AS agg_is_read, MAX(is_starred) AS agg_is_starred, "
         "MAX(has_been_replied) AS agg_has_been_replied, MAX(has_attachments) AS agg_has_attachments "
         "FROM keyed GROUP BY dedup_key";
  if (kind == EmailVirtualFolderKind::starred) sql += " HAVING MAX(is_starred) = 1";
  if (kind == EmailVirtualFolderKind::attachments) sql += " HAVING MAX(has_attachments) = 1";
  sql +=
      "), multi AS (SELECT k.dedup_key, substr(MIN(CASE WHEN f.id IS NULL THEN '2' "
      "WHEN c.text_body != '' OR c.html_body != '' THEN '0' ELSE '1' END || c.id), 2) AS picked_id, "
      "c.date AS picked_date FROM groups g CROSS JOIN keyed k ON k.dedup_key = g.dedup_key "
      "CROSS JOIN email_messages c ON c.id = k.id LEFT JOIN email_folders f ON f.id = c.folder_id "
      "WHERE g.copies > 1 GROUP BY k.dedup_key"
      "), page AS (SELECT COALESCE(mu.picked_id, g.only_id) AS picked_id, "
      "g.agg_is_read, g.agg_is_starred, g.agg_has_been_replied, g.agg_has_attachments "
      "FROM groups g LEFT JOIN multi mu ON mu.dedup_key = g.dedup_key "
      "ORDER BY COALESCE(mu.picked_date, g.only_date) DESC LIMIT ?"
      ") SELECT m.*, page.agg_is_read, page.agg_is_starred, page.agg_has_been_replied";
  if (allMail) sql += ", page.agg_has_attachments";
  sql += " FROM page JOIN email_messages m ON m.id = page.picked_id ORDER BY m.date DESC";
  return sql;
}

std::string aggregateCount(std::optional<EmailVirtualFolderKind> kind) {
  std::string sql = "SELECT COUNT(*) FROM (SELECT 1 FROM email_messages em ";
  sql += kListedRows;
  sql += "GROUP BY ";
  sql += kDedupKey;
  sql += having(kind);
  sql += ")";
  return sql;
}

std::string messageIdsInOtherFolders(size_t count) {
  std::string sql =
      "SELECT message_id FROM email_messages WHERE account_id = ? AND folder_id IS NOT NULL AND "
      "folder_id != ? AND " +
      not_a_view_condition("folder_id") + " AND message_id IN (";
  for (size_t i = 0; i < count; ++i) sql += i == 0 ? "?" : ", ?";
  sql += ")";
  return sql;
}

}  // namespace kestrova::store::sql
