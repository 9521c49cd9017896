#pragma once

#include <string_view>

namespace kestrova::app::sql {

// The read tools' statements, taken by the tools and by the benchmarks that time the same
// SQL directly. A folder's message list is the mail store's folder page
// (store::sql::folderPage).

inline constexpr std::string_view kListAccounts =
    "SELECT id, email_address, display_name, service_type, is_enabled, is_default "
    "FROM email_accounts ORDER BY is_default DESC, created_at DESC";
// Bound with (account).
inline constexpr std::string_view kListFolders =
    "SELECT f.id, f.name, f.type, f.path, f.unread_count, "
    "CASE WHEN f.type = 'trash' THEN (SELECT COUNT(*) FROM email_messages m "
    "WHERE m.account_id = f.account_id AND (m.folder_id = f.id OR m.is_deleted = 1)) "
    "WHEN f.type = 'spam' THEN (SELECT COUNT(*) FROM email_messages m "
    "WHERE m.account_id = f.account_id AND m.is_deleted = 0 "
    "AND (m.folder_id = f.id OR m.is_spam = 1)) "
    "ELSE (SELECT COUNT(*) FROM email_messages m "
    "WHERE m.folder_id = f.id AND m.is_deleted = 0 AND m.is_spam = 0) END AS total_count "
    "FROM email_folders f WHERE f.account_id = ? ORDER BY f.type, f.name";
// Bound with (folder).
inline constexpr std::string_view kFolderLookup =
    "SELECT account_id, type FROM email_folders WHERE id = ?";
inline constexpr std::string_view kGetMessage = "SELECT * FROM email_messages WHERE id = ?";
// Bound with (account, pattern × 4, limit) and (pattern × 4, limit).
inline constexpr std::string_view kSearchAccount =
    "SELECT * FROM email_messages WHERE account_id = ? AND is_deleted = 0 AND is_spam = 0 "
    "AND (subject LIKE ? OR from_email LIKE ? OR preview LIKE ? OR text_body LIKE ?) "
    "ORDER BY date DESC LIMIT ?";
inline constexpr std::string_view kSearchAll =
    "SELECT * FROM email_messages WHERE is_deleted = 0 AND is_spam = 0 "
    "AND (subject LIKE ? OR from_email LIKE ? OR preview LIKE ? OR text_body LIKE ?) "
    "ORDER BY date DESC LIMIT ?";
// Bound with (limit).
inline constexpr std::string_view kListTags =
    "SELECT ai_tags FROM email_messages WHERE ai_tags IS NOT NULL AND ai_tags != '[]' "
    "AND is_deleted = 0 AND is_spam = 0 ORDER BY date DESC LIMIT ?";
// Bound with (pattern, limit). The mail store writes the tag list as a BLOB, which LIKE
// never matches: it is compared as text.
inline constexpr std::string_view kSearchByTag =
    "SELECT id, account_id, subject, from_email, from_name, preview, date, ai_tags "
    "FROM email_messages WHERE CAST(ai_tags AS TEXT) LIKE ? AND is_deleted = 0 AND is_spam = 0 "
    "ORDER BY date DESC LIMIT ?";

}  // namespace kestrova::app::sql
