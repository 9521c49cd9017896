#pragma once

// The statements of the mail store. They are kept in one place so that the store, its
// tests and its benchmarks run exactly the same SQL text.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "store/email_enums.h"

namespace kestrova::store::sql {

// ---- accounts and folders ----

inline constexpr std::string_view kSelectAccounts =
    "SELECT * FROM email_accounts ORDER BY is_default DESC, created_at DESC";
// Insert or update in place. A REPLACE would delete the old row first, and the schema's
// cascades would take the account's folders and messages (or, for a folder, the messages'
// folder) with it.
inline constexpr std::string_view kSaveAccount =
    "INSERT INTO email_accounts (id, email_address, display_name, service_type, "
    "imap_host, imap_port, imap_encryption, smtp_host, smtp_port, smtp_encryption, is_enabled, "
    "is_default, requires_biometric_unlock, is_privacy_mode_enabled, last_sync_date, "
    "connection_status, password_keychain_identifier, created_at, updated_at) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
    "ON CONFLICT(id) DO UPDATE SET email_address = excluded.email_address, "
    "display_name = excluded.display_name, service_type = excluded.service_type, "
    "imap_host = excluded.imap_host, imap_port = excluded.imap_port, "
    "imap_encryption = excluded.imap_encryption, smtp_host = excluded.smtp_host, "
    "smtp_port = excluded.smtp_port, smtp_encryption = excluded.smtp_encryption, "
    "is_enabled = excluded.is_enabled, is_default = excluded.is_default, "
    "requires_biometric_unlock = excluded.requires_biometric_unlock, "
    "is_privacy_mode_enabled = excluded.is_privacy_mode_enabled, "
    "last_sync_date = excluded.last_sync_date, connection_status = excluded.connection_status, "
    "password_keychain_identifier = excluded.password_keychain_identifier, "
    "created_at = excluded.created_at, updated_at = excluded.updated_at";
inline constexpr std::string_view kSetAccountSyncDate =
    "UPDATE email_accounts SET last_sync_date = ? WHERE id = ?";
inline constexpr std::string_view kDeleteAccount = "DELETE FROM email_accounts WHERE id = ?";
inline constexpr std::string_view kSelectFolders = "SELECT * FROM email_folders ORDER BY type, name";
inline constexpr std::string_view kSelectFolder = "SELECT * FROM email_folders WHERE id = ?";
inline constexpr std::string_view kSaveFolder =
    "INSERT INTO email_folders (id, account_id, name, type, path, unread_count, "
    "total_count, last_sync_date) VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT(id) DO UPDATE SET "
    "account_id = excluded.account_id, name = excluded.name, type = excluded.type, "
    "path = excluded.path, unread_count = excluded.unread_count, "
    "total_count = excluded.total_count, last_sync_date = excluded.last_sync_date";
inline constexpr std::string_view kDeleteFolder = "DELETE FROM email_folders WHERE id = ?";

// ---- the message upsert and the update in place ----

inline constexpr std::string_view kSelectStoredBody =
    "SELECT text_body, html_body, is_body_loaded, body_cached_at, contains_remote_resources, "
    "preview FROM email_messages WHERE id = ?";
inline constexpr std::string_view kCountAccount = "SELECT COUNT(*) FROM email_accounts WHERE id = ?";
inline constexpr std::string_view kFindCopyByMessageId =
    "SELECT id FROM email_messages WHERE account_id = ? AND message_id = ? AND id != ? LIMIT 1";
// Bound with (account, identitySubject(subject), identitySender(sender), date, id).
inline constexpr std::string_view kFindCopyBySubject =
    "SELECT id FROM email_messages WHERE account_id = ? AND LOWER(TRIM(subject)) = LOWER(?) AND "
    "LOWER(from_email) = ? AND ABS(date - ?) < 1 AND (? IS NULL OR rfc822_size IS NULL OR "
    "rfc822_size = ?) AND id != ? LIMIT 1";
// The values bound against LOWER(TRIM(subject)) and LOWER(from_email) when a message
// without Message-ID is looked up. They are prepared exactly as SQLite's built-in TRIM
// (spaces) and LOWER (the ASCII letters, byte by byte) prepare the stored side, and not with
// the Unicode-aware text functions: both sides then follow one normalisation whatever bytes
// a header holds (invalid UTF-8, non-ASCII capitals), so a message is found again on every
// sync instead of being stored once more.
std::string identitySubject(std::string_view subject);
std::string identitySender(std::string_view address);

inline constexpr std::string_view kCountFolder = "SELECT COUNT(*) FROM email_folders WHERE id = ?";
inline constexpr std::string_view kInboxOfAccount =
    "SELECT id FROM email_folders WHERE account_id = ? AND type = 'inbox' LIMIT 1";
inline constexpr std::string_view kAnyFolderOfAccount =
    "SELECT id FROM email_folders WHERE account_id = ? LIMIT 1";
inline constexpr std::string_view kInsertMessage =
    "INSERT OR REPLACE INTO email_messages (id, account_id, folder_id, uid, message_id, "
    "in_reply_to, thread_id, subject, from_name, from_email, to_contacts, cc_contacts, "
    "bcc_contacts, reply_to_contacts, text_body, html_body, preview, date, received_date, "
    "is_read, is_starred, is_important, is_no_reply, has_attachments, is_spam, is_deleted, "
    "contains_remote_resources, tags, ai_tags, ai_summary, ai_priority, ai_action_items, "
    "ai_category, snoozed_until, reply_later_until, waiting_since, internal_note, synced_at, "
    "updated_at, is_body_loaded, body_cached_at, has_been_replied, is_draft, rfc822_size) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
    "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
inline constexpr std::string_view kUpdateMessage =
    "UPDATE email_messages SET account_id = ?, folder_id = ?, uid = ?, message_id = ?, "
    "in_reply_to = ?, thread_id = ?, subject = ?, from_name = ?, from_email = ?, to_contacts = ?, "
    "cc_contacts = ?, bcc_contacts = ?, reply_to_contacts = ?, text_body = ?, html_body = ?, "
    "preview = ?, date = ?, received_date = ?, is_read = ?, is_starred = ?, is_important = ?, "
    "is_no_reply = ?, has_attachments = ?, is_spam = ?, is_deleted = ?, "
    "contains_remote_resources = ?, tags = ?, ai_tags = ?, ai_summary = ?, ai_priority = ?, "
    "ai_action_items = ?, ai_category = ?, snoozed_until = ?, reply_later_until = ?, "
    "waiting_since = ?, internal_note = ?, synced_at = ?, updated_at = ?, is_body_loaded = ?, "
    "body_cached_at = ?, has_been_replied = ?, is_draft = ?, rfc822_size = ? WHERE id = ?";
// What a sync writes into a row it already stores: the server's columns only.
inline constexpr std::string_view kUpdateServerState =
    "UPDATE email_messages SET folder_id = ?, uid = ?, is_read = ?, is_starred = ?, "
    "thread_id = COALESCE(thread_id, ?), in_reply_to = COALESCE(in_reply_to, ?), synced_at = ?, "
    "rfc822_size = COALESCE(?, rfc822_size) WHERE id = ?";
// Bound with (folder, spam 0/1, updated_at, id).
inline constexpr std::string_view kRecordServerMove =
    "UPDATE email_messages SET folder_id = ?, uid = NULL, is_spam = MAX(is_spam, ?), "
    "updated_at = ? WHERE id = ?";
inline constexpr std::string_view kInsertAttachment =
    "INSERT OR REPLACE INTO email_attachments (id, message_id, filename, mime_type, size, "
    "content_id, is_inline, local_path, part_path, encoding, charset) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
inline constexpr std::string_view kDeleteAttachments = "DELETE FROM email_attachments WHERE message_id = ?";
inline constexpr std::string_view kSelectAttachments = "SELECT * FROM email_attachments WHERE message_id = ?";

// ---- flags on every copy of a message ----

inline constexpr std::string_view kUpdateFlags =
    "UPDATE email_messages SET is_read = ?, is_starred = ?, is_important = ?, is_no_reply = ?, "
    "is_spam = ?, is_deleted = ?, has_been_replied = ?, tags = ?, ai_tags = ?, ai_summary = ?, "
    "ai_priority = ?, snoozed_until = ?, reply_later_until = ?, waiting_since = ?, "
    "internal_note = ?, updated_at = ?";
inline constexpr std::string_view kUpdateReadState =
    "UPDATE email_messages SET is_read = ?, updated_at = ?";
inline constexpr std::string_view kUpdateStarredState =
    "UPDATE email_messages SET is_starred = ?, updated_at = ?";
inline constexpr std::string_view kSelectIds = "SELECT id FROM email_messages";
// Bound with (account, trimmed Message-ID).
inline constexpr std::string_view kCopiesByMessageId =
    "WHERE account_id = ? AND message_id IS NOT NULL AND TRIM(message_id) = ?";
// Bound with (account, subject, sender address, date, size, size): messages without a
// Message-ID whose server sizes are both known and differ are two messages.
inline constexpr std::string_view kCopiesBySubject =
    "WHERE account_id = ? AND COALESCE(subject, '') = ? AND LOWER(COALESCE(from_email, '')) = "
    "LOWER(?) AND ABS(date - ?) < 0.001 AND (? IS NULL OR rfc822_size IS NULL OR "
    "rfc822_size = ?)";

// ---- one folder ----

// The WHERE condition of a folder's list and count: trash also shows the account's
// soft-deleted mail, spam the account's spam-marked mail. Bound with (account, folder) for
// trash and spam, (folder) otherwise.
std::string folderCondition(EmailFolderType type);
bool folderConditionTakesAccount(EmailFolderType type);
// "SELECT * ... ORDER BY date DESC LIMIT ? OFFSET ?" and "SELECT COUNT(*) ..." of a folder.
std::string folderPage(EmailFolderType type);
std::string folderCount(EmailFolderType type);

// ---- deduplicated lists of one account ----

// The all-mail list (no filter) or a virtual folder: one row per logical message, bound
// with (account, limit); the rows are email_messages columns plus agg_is_read,
// agg_is_starred, agg_has_been_replied (and agg_has_attachments for all mail).
std::string aggregateList(std::optional<EmailVirtualFolderKind> kind);
// The number of rows of the same list, bound with (account).
std::string aggregateCount(std::optional<EmailVirtualFolderKind> kind);

// ---- body download, inbox fetch, drafts ----

// Bound with (id, account).
inline constexpr std::string_view kBodyFetchById =
    "SELECT m.* FROM email_messages m INNER JOIN email_folders f ON f.id = m.folder_id "
    "WHERE m.id = ? AND m.account_id = ? "
    "ORDER BY CASE WHEN f.type = 'inbox' THEN 0 ELSE 1 END, m.date DESC LIMIT 1";
// Bound with (account, trimmed Message-ID).
inline constexpr std::string_view kBodyFetchByMessageId =
    "SELECT m.* FROM email_messages m INNER JOIN email_folders f ON f.id = m.folder_id "
    "WHERE m.account_id = ? AND m.message_id IS NOT NULL AND TRIM(m.message_id) = ? "
    "ORDER BY CASE WHEN (m.text_body IS NOT NULL AND m.text_body != '') OR "
    "(m.html_body IS NOT NULL AND m.html_body != '') THEN 0 ELSE 1 END, "
    "CASE WHEN f.type = 'inbox' THEN 0 ELSE 1 END, m.date DESC LIMIT 1";
// Bound with (account, identitySubject(subject), identitySender(sender), date).
inline constexpr std::string_view kBodyFetchBySubject =
    "SELECT m.* FROM email_messages m INNER JOIN email_folders f ON f.id = m.folder_id "
    "WHERE m.account_id = ? AND LOWER(TRIM(m.subject)) = LOWER(?) AND LOWER(m.from_email) = ? "
    "AND ABS(m.date - ?) < 1 "
    "ORDER BY CASE WHEN (m.text_body IS NOT NULL AND m.text_body != '') OR "
    "(m.html_body IS NOT NULL AND m.html_body != '') THEN 0 ELSE 1 END, "
    "CASE WHEN f.type = 'inbox' THEN 0 ELSE 1 END, m.date DESC LIMIT 1";

// Bound with (account, inbox id, Message-ID × count).
std::string messageIdsInOtherFolders(size_t count);

// Bound with (account or id, "drafts", "__LocalDrafts__").
inline constexpr std::string_view kSelectDrafts =
    "SELECT m.* FROM email_messages m LEFT JOIN email_folders f ON f.id = m.folder_id "
    "WHERE m.account_id = ? AND (m.is_draft = 1 OR f.type = ? OR f.path = ?) "
    "ORDER BY m.updated_at DESC";
inline constexpr std::string_view kSelectDraft =
    "SELECT m.* FROM email_messages m LEFT JOIN email_folders f ON f.id = m.folder_id "
    "WHERE m.id = ? AND (m.is_draft = 1 OR f.type = ? OR f.path = ?)";
inline constexpr std::string_view kDeleteDraft =
    "DELETE FROM email_messages WHERE id = ? AND (is_draft = 1 OR folder_id IN "
    "(SELECT id FROM email_folders WHERE type = ? OR path = ?))";
inline constexpr std::string_view kSelectFolderTypeAndPath =
    "SELECT type, path FROM email_folders WHERE id = ?";

// ---- maintenance ----

inline constexpr std::string_view kDeletePlacedTwinsOfOrphans =
    "DELETE FROM email_messages WHERE (folder_id IS NULL OR NOT EXISTS (SELECT 1 FROM "
    "email_folders f WHERE f.id = email_messages.folder_id)) AND message_id IS NOT NULL AND "
    "message_id != '' AND EXISTS (SELECT 1 FROM email_messages e2 WHERE e2.account_id = "
    "email_messages.account_id AND e2.message_id = email_messages.message_id AND e2.folder_id "
    "IS NOT NULL AND EXISTS (SELECT 1 FROM email_folders f2 WHERE f2.id = e2.folder_id))";
inline constexpr std::string_view kMoveOrphansToInbox =
    "UPDATE email_messages SET folder_id = (SELECT id FROM email_folders WHERE account_id = "
    "email_messages.account_id AND type = 'inbox' LIMIT 1) WHERE (folder_id IS NULL OR NOT "
    "EXISTS (SELECT 1 FROM email_folders f WHERE f.id = email_messages.folder_id)) AND EXISTS "
    "(SELECT 1 FROM email_folders WHERE account_id = email_messages.account_id AND type = "
    "'inbox')";

// The duplicate clean-up reads the candidate rows in two passes. Both give id, account_id,
// dedup_key (trimmed Message-ID; trimmed subject for the second pass), from_email, date,
// is_read, is_starred, has_been_replied, has_body, in_folder.
// Rows whose trimmed Message-ID occurs more than once in their account.
inline constexpr std::string_view kDuplicateCandidatesByMessageId =
    "SELECT m.id, m.account_id, TRIM(m.message_id) AS dedup_key, m.from_email, m.date, "
    "m.is_read, m.is_starred, m.has_been_replied, "
    "((m.text_body IS NOT NULL AND m.text_body != '') OR "
    "(m.html_body IS NOT NULL AND m.html_body != '')) AS has_body, "
    "EXISTS (SELECT 1 FROM email_folders f WHERE f.id = m.folder_id) AS in_folder "
    "FROM email_messages m "
    "WHERE m.message_id IS NOT NULL AND TRIM(m.message_id) != '' "
    "AND (m.account_id, TRIM(m.message_id)) IN (SELECT account_id, TRIM(message_id) "
    "FROM email_messages WHERE message_id IS NOT NULL AND TRIM(message_id) != '' "
    "GROUP BY account_id, TRIM(message_id) HAVING COUNT(*) > 1)";
// Non-draft rows without a Message-ID (grouped by subject, sender and date in code).
inline constexpr std::string_view kDuplicateCandidatesWithoutMessageId =
    "SELECT m.id, m.account_id, m.subject AS dedup_key, m.from_email, m.date, "
    "m.is_read, m.is_starred, m.has_been_replied, "
    "((m.text_body IS NOT NULL AND m.text_body != '') OR "
    "(m.html_body IS NOT NULL AND m.html_body != '')) AS has_body, "
    "EXISTS (SELECT 1 FROM email_folders f WHERE f.id = m.folder_id) AS in_folder "
    "FROM email_messages m "
    "WHERE (m.message_id IS NULL OR TRIM(m.message_id) = '') AND m.is_draft = 0";
inline constexpr std::string_view kMergeFlagsIntoKept =
    "UPDATE email_messages SET is_read = ?, is_starred = ?, has_been_replied = ? WHERE id = ?";
// Bound with (copy with a body, kept row).
inline constexpr std::string_view kTakeBodyFromCopy =
    "UPDATE email_messages SET text_body = d.text_body, html_body = d.html_body, "
    "preview = d.preview, is_body_loaded = d.is_body_loaded, body_cached_at = d.body_cached_at, "
    "contains_remote_resources = d.contains_remote_resources "
    "FROM (SELECT text_body, html_body, preview, is_body_loaded, body_cached_at, "
    "contains_remote_resources FROM email_messages WHERE id = ?) AS d "
    "WHERE email_messages.id = ?";
inline constexpr std::string_view kDeleteMessage = "DELETE FROM email_messages WHERE id = ?";

}  // namespace kestrova::store::sql
