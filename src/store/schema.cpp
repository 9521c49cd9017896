#include "store/schema.h"

#include <array>
#include <cstdint>
#include <set>
#include <string>

#include "store/database.h"
#include "store/message_source.h"
#include "store/search_index.h"

namespace kestrova::store {

namespace {

constexpr const char* kCreateAccounts = R"(CREATE TABLE IF NOT EXISTS email_accounts (
    id TEXT PRIMARY KEY,
    email_address TEXT NOT NULL,
    display_name TEXT,
    service_type TEXT NOT NULL,
    imap_host TEXT NOT NULL,
    imap_port INTEGER NOT NULL,
    imap_encryption TEXT NOT NULL,
    smtp_host TEXT NOT NULL,
    smtp_port INTEGER NOT NULL,
    smtp_encryption TEXT NOT NULL,
    is_enabled INTEGER NOT NULL DEFAULT 1,
    is_default INTEGER NOT NULL DEFAULT 0,
    requires_biometric_unlock INTEGER NOT NULL DEFAULT 0,
    is_privacy_mode_enabled INTEGER NOT NULL DEFAULT 0,
    last_sync_date REAL,
    connection_status TEXT NOT NULL DEFAULT 'disconnected',
    password_keychain_identifier TEXT,
    created_at REAL NOT NULL,
    updated_at REAL NOT NULL
))";

constexpr const char* kCreateFolders = R"(CREATE TABLE IF NOT EXISTS email_folders (
    id TEXT PRIMARY KEY,
    account_id TEXT NOT NULL,
    name TEXT NOT NULL,
    type TEXT NOT NULL,
    path TEXT NOT NULL,
    unread_count INTEGER NOT NULL DEFAULT 0,
    total_count INTEGER NOT NULL DEFAULT 0,
    last_sync_date REAL,
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE
))";

// A new file gets its tables in their final form at once: an ALTER TABLE makes SQLite read
// the whole schema again, which cost a new file more than all its other statements. The
// columns added to older files by the upgrade steps stand on one line, written as SQLite
// writes them when it adds them, so that a new file and a stepped-up one hold the same
// statements (DatabaseSchemaTest checks it).
constexpr const char* kCreateMessages = R"(CREATE TABLE IF NOT EXISTS email_messages (
    id TEXT PRIMARY KEY,
    account_id TEXT NOT NULL,
    folder_id TEXT,
    uid INTEGER,
    message_id TEXT,
    in_reply_to TEXT,
    thread_id TEXT,
    subject TEXT NOT NULL,
    from_name TEXT,
    from_email TEXT NOT NULL,
    to_contacts TEXT,
    cc_contacts TEXT,
    bcc_contacts TEXT,
    reply_to_contacts TEXT,
    text_body TEXT,
    html_body TEXT,
    preview TEXT,
    date REAL NOT NULL,
    received_date REAL,
    is_read INTEGER NOT NULL DEFAULT 0,
    is_starred INTEGER NOT NULL DEFAULT 0,
    is_important INTEGER NOT NULL DEFAULT 0,
    is_no_reply INTEGER NOT NULL DEFAULT 0,
    has_attachments INTEGER NOT NULL DEFAULT 0,
    is_spam INTEGER NOT NULL DEFAULT 0,
    is_deleted INTEGER NOT NULL DEFAULT 0,
    contains_remote_resources INTEGER NOT NULL DEFAULT 0,
    tags TEXT,
    ai_tags TEXT,
    ai_summary TEXT,
    ai_priority TEXT,
    ai_action_items TEXT,
    ai_category TEXT,
    synced_at REAL NOT NULL,
    updated_at REAL NOT NULL,
    is_body_loaded INTEGER NOT NULL DEFAULT 0,
    body_cached_at REAL,
    is_draft INTEGER NOT NULL DEFAULT 0,
    snoozed_until REAL, rule_applied_at REAL, has_been_replied INTEGER NOT NULL DEFAULT 0, reply_later_until REAL, waiting_since REAL, internal_note TEXT, rfc822_size INTEGER,
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE,
    FOREIGN KEY (folder_id) REFERENCES email_folders(id) ON DELETE SET NULL
))";

constexpr const char* kCreateAttachments = R"(CREATE TABLE IF NOT EXISTS email_attachments (
    id TEXT PRIMARY KEY,
    message_id TEXT NOT NULL,
    filename TEXT NOT NULL,
    mime_type TEXT NOT NULL,
    size INTEGER NOT NULL DEFAULT 0,
    content_id TEXT,
    is_inline INTEGER NOT NULL DEFAULT 0,
    local_path TEXT, part_path TEXT, encoding TEXT, charset TEXT,
    FOREIGN KEY (message_id) REFERENCES email_messages(id) ON DELETE CASCADE
))";

constexpr const char* kCreateSignatures = R"(CREATE TABLE IF NOT EXISTS email_signatures (
    id TEXT PRIMARY KEY,
    account_id TEXT NOT NULL,
    name TEXT NOT NULL,
    content TEXT NOT NULL,
    is_html INTEGER NOT NULL DEFAULT 0,
    is_default INTEGER NOT NULL DEFAULT 0,
    created_at REAL NOT NULL,
    updated_at REAL NOT NULL,
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE
))";

constexpr const char* kCreateThreads = R"(CREATE TABLE IF NOT EXISTS email_threads (
    id TEXT PRIMARY KEY,
    account_id TEXT NOT NULL,
    subject TEXT,
    message_id TEXT,
    root_message_id TEXT,
    participant_emails TEXT,
    message_count INTEGER NOT NULL DEFAULT 0,
    unread_count INTEGER NOT NULL DEFAULT 0,
    last_message_date REAL NOT NULL,
    created_at REAL NOT NULL,
    updated_at REAL NOT NULL,
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE
))";

constexpr const char* kCreateRules = R"(CREATE TABLE IF NOT EXISTS email_rules (
    id TEXT PRIMARY KEY,
    account_id TEXT NOT NULL,
    name TEXT NOT NULL,
    conditions TEXT NOT NULL,
    actions TEXT NOT NULL,
    is_enabled INTEGER NOT NULL DEFAULT 1,
    lua_code TEXT,
    created_at REAL NOT NULL,
    updated_at REAL NOT NULL,
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE
))";

constexpr const char* kCreateBlockedSenders = R"(CREATE TABLE IF NOT EXISTS email_blocked_senders (
    id TEXT PRIMARY KEY,
    account_id TEXT NOT NULL,
    email TEXT NOT NULL,
    note TEXT,
    created_at REAL NOT NULL,
    updated_at REAL NOT NULL,
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE,
    UNIQUE(account_id, email)
))";

constexpr const char* kCreateTranslationCache = R"(CREATE TABLE IF NOT EXISTS email_translation_cache (
    message_id TEXT NOT NULL,
    target_language TEXT NOT NULL,
    source_fingerprint TEXT NOT NULL,
    source_language TEXT,
    translated_text TEXT NOT NULL,
    created_at REAL NOT NULL,
    updated_at REAL NOT NULL,
    PRIMARY KEY (message_id, target_language, source_fingerprint),
    FOREIGN KEY (message_id) REFERENCES email_messages(id) ON DELETE CASCADE
))";

constexpr const char* kCreateContacts = R"(CREATE TABLE IF NOT EXISTS contacts (
    id TEXT PRIMARY KEY,
    name TEXT,
    email TEXT NOT NULL,
    frequency INTEGER NOT NULL DEFAULT 1,
    last_used REAL NOT NULL,
    source TEXT NOT NULL DEFAULT 'received'
, category TEXT, note TEXT, trained_at REAL))";

constexpr const char* kCreateTemplates = R"(CREATE TABLE IF NOT EXISTS email_templates (
    id TEXT PRIMARY KEY,
    name TEXT NOT NULL,
    subject TEXT NOT NULL DEFAULT '',
    body TEXT NOT NULL,
    html_body TEXT,
    category TEXT NOT NULL DEFAULT 'custom',
    shortcut TEXT,
    usage_count INTEGER NOT NULL DEFAULT 0,
    created_at REAL NOT NULL,
    updated_at REAL NOT NULL
))";

constexpr const char* kCreateLabels = R"(CREATE TABLE IF NOT EXISTS email_labels (
    id TEXT PRIMARY KEY,
    name TEXT NOT NULL,
    color_hex TEXT NOT NULL DEFAULT '#007AFF',
    system_image TEXT NOT NULL DEFAULT 'tag.fill',
    usage_count INTEGER NOT NULL DEFAULT 0,
    created_at REAL NOT NULL
))";

constexpr const char* kCreateMessageLabels = R"(CREATE TABLE IF NOT EXISTS email_message_labels (
    message_id TEXT NOT NULL,
    label_id TEXT NOT NULL,
    PRIMARY KEY (message_id, label_id),
    FOREIGN KEY (message_id) REFERENCES email_messages(id) ON DELETE CASCADE,
    FOREIGN KEY (label_id) REFERENCES email_labels(id) ON DELETE CASCADE
))";

constexpr const char* kCreateScheduledMessages = R"(CREATE TABLE IF NOT EXISTS scheduled_messages (
    id TEXT PRIMARY KEY,
    account_id TEXT NOT NULL,
    to_contacts TEXT NOT NULL,
    cc_contacts TEXT,
    bcc_contacts TEXT,
    subject TEXT NOT NULL,
    body TEXT NOT NULL,
    html_body TEXT,
    attachments_json TEXT,
    scheduled_at REAL NOT NULL,
    created_at REAL NOT NULL,
    status TEXT NOT NULL DEFAULT 'pending',
    error_message TEXT,
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE
))";

constexpr const char* kCreateActionItems = R"(CREATE TABLE IF NOT EXISTS email_action_items (
    id TEXT PRIMARY KEY,
    message_id TEXT NOT NULL,
    account_id TEXT NOT NULL,
    title TEXT NOT NULL,
    title_key TEXT NOT NULL,
    due_at REAL,
    state TEXT NOT NULL DEFAULT 'open',
    source TEXT NOT NULL DEFAULT 'ai',
    snoozed_until REAL,
    completed_at REAL,
    created_at REAL NOT NULL,
    updated_at REAL NOT NULL,
    FOREIGN KEY (message_id) REFERENCES email_messages(id) ON DELETE CASCADE
))";

constexpr const char* kCreateActionItemTombstones = R"(CREATE TABLE IF NOT EXISTS email_action_item_tombstones (
    id TEXT PRIMARY KEY,
    message_id TEXT NOT NULL,
    account_id TEXT NOT NULL,
    title_key TEXT NOT NULL,
    deleted_at REAL NOT NULL,
    source TEXT NOT NULL DEFAULT 'ai',
    UNIQUE(message_id, title_key)
))";

// The thirteen indexes of schema step 5, in order.
constexpr std::array kStepFiveIndexes = {
    "CREATE INDEX IF NOT EXISTS idx_messages_account_folder ON email_messages(account_id, folder_id)",
    "CREATE INDEX IF NOT EXISTS idx_messages_date ON email_messages(date DESC)",
    "CREATE INDEX IF NOT EXISTS idx_messages_thread ON email_messages(thread_id)",
    "CREATE INDEX IF NOT EXISTS idx_messages_uid ON email_messages(account_id, folder_id, uid)",
    "CREATE INDEX IF NOT EXISTS idx_folders_account ON email_folders(account_id)",
    "CREATE INDEX IF NOT EXISTS idx_signatures_account ON email_signatures(account_id)",
    "CREATE INDEX IF NOT EXISTS idx_threads_account ON email_threads(account_id)",
    "CREATE INDEX IF NOT EXISTS idx_threads_message_id ON email_threads(message_id)",
    "CREATE INDEX IF NOT EXISTS idx_threads_root_message_id ON email_threads(root_message_id)",
    "CREATE INDEX IF NOT EXISTS idx_rules_account ON email_rules(account_id)",
    "CREATE INDEX IF NOT EXISTS idx_blocked_senders_account ON email_blocked_senders(account_id)",
    "CREATE INDEX IF NOT EXISTS idx_translation_cache_updated ON email_translation_cache(updated_at DESC)",
    "CREATE INDEX IF NOT EXISTS idx_messages_ai_tags ON email_messages(ai_tags) WHERE ai_tags IS NOT NULL AND ai_tags != '[]'",
};

void add_column(Connection& c, const char* table, const char* column, const char* definition) {
  c.execute(std::string("ALTER TABLE ") + table + " ADD COLUMN " + column + " " + definition);
}

// U1–U3 and U6 check the message columns as they were before any change of this open.
void upgrade_message_columns(Connection& c, const std::set<std::string>& columns) {
  auto absent = [&](const char* name) { return !columns.contains(name); };
  // U1
  static constexpr std::array<std::pair<const char*, const char*>, 9> kU1 = {{
      {"is_spam", "INTEGER NOT NULL DEFAULT 0"},
      {"is_deleted", "INTEGER NOT NULL DEFAULT 0"},
      {"contains_remote_resources", "INTEGER NOT NULL DEFAULT 0"},
      {"body_cached_at", "REAL"},
      {"rule_applied_at", "REAL"},
      {"has_been_replied", "INTEGER NOT NULL DEFAULT 0"},
      {"is_draft", "INTEGER NOT NULL DEFAULT 0"},
      {"ai_action_items", "TEXT"},
      {"snoozed_until", "REAL"},
  }};
  for (const auto& [name, definition] : kU1)
    if (absent(name)) add_column(c, "email_messages", name, definition);
  // U2
  if (absent("reply_later_until")) add_column(c, "email_messages", "reply_later_until", "REAL");
  c.execute("CREATE INDEX IF NOT EXISTS idx_messages_reply_later ON email_messages(reply_later_until)");
  if (absent("waiting_since")) add_column(c, "email_messages", "waiting_since", "REAL");
  c.execute("CREATE INDEX IF NOT EXISTS idx_messages_waiting_since ON email_messages(waiting_since)");
  if (absent("internal_note")) add_column(c, "email_messages", "internal_note", "TEXT");
  // U3
  if (absent("in_reply_to")) {
    add_column(c, "email_messages", "in_reply_to", "TEXT");
    c.execute("CREATE INDEX IF NOT EXISTS idx_messages_in_reply_to ON email_messages(in_reply_to)");
  }
}

void upgrade_stages_u0_to_u8(Connection& c) {
  // U0
  if (!c.table_exists("email_messages")) return;
  const std::set<std::string> message_columns = c.column_names("email_messages");
  upgrade_message_columns(c, message_columns);
  // U4
  const std::set<std::string> account_columns = c.column_names("email_accounts");
  if (!account_columns.contains("requires_biometric_unlock"))
    add_column(c, "email_accounts", "requires_biometric_unlock", "INTEGER NOT NULL DEFAULT 0");
  if (!account_columns.contains("is_privacy_mode_enabled"))
    add_column(c, "email_accounts", "is_privacy_mode_enabled", "INTEGER NOT NULL DEFAULT 0");
  // U5
  c.execute(kCreateContacts);
  c.execute("CREATE UNIQUE INDEX IF NOT EXISTS idx_contacts_email ON contacts(email)");
  c.execute("CREATE INDEX IF NOT EXISTS idx_contacts_frequency ON contacts(frequency DESC)");
  c.execute(kCreateTemplates);
  c.execute(kCreateLabels);
  c.execute(kCreateMessageLabels);
  // U6
  if (!message_columns.contains("ai_category"))
    add_column(c, "email_messages", "ai_category", "TEXT");
  // U7
  c.execute(kCreateScheduledMessages);
  c.execute("CREATE INDEX IF NOT EXISTS idx_scheduled_messages_time ON scheduled_messages(scheduled_at)");
  c.execute("CREATE INDEX IF NOT EXISTS idx_scheduled_messages_status ON scheduled_messages(status)");
  // U8
  c.execute(kCreateActionItems);
  c.execute("CREATE INDEX IF NOT EXISTS idx_action_items_message ON email_action_items(message_id)");
  c.execute("CREATE INDEX IF NOT EXISTS idx_action_items_state ON email_action_items(state)");
  c.execute("CREATE INDEX IF NOT EXISTS idx_action_items_due ON email_action_items(due_at)");
  c.execute("CREATE UNIQUE INDEX IF NOT EXISTS idx_action_items_dedup ON email_action_items(message_id, title_key)");
  c.execute(kCreateActionItemTombstones);
  c.execute("CREATE INDEX IF NOT EXISTS idx_action_item_tombstones_message ON email_action_item_tombstones(message_id)");
}

void upgrade_attachment_columns(Connection& c) {  // U10
  if (!c.table_exists("email_attachments")) return;
  const auto columns = c.column_names("email_attachments");
  for (const char* name : {"part_path", "encoding", "charset"})
    if (!columns.contains(name)) add_column(c, "email_attachments", name, "TEXT");
}

void upgrade_contact_columns(Connection& c) {  // U11
  if (!c.table_exists("contacts")) return;
  const auto columns = c.column_names("contacts");
  if (!columns.contains("category")) add_column(c, "contacts", "category", "TEXT");
  c.execute("CREATE INDEX IF NOT EXISTS idx_contacts_category ON contacts(category)");
  if (!columns.contains("note")) add_column(c, "contacts", "note", "TEXT");
  if (!columns.contains("trained_at")) add_column(c, "contacts", "trained_at", "REAL");
}

// Indexes for the store's own lookups, which the indexes above do not serve: the duplicate
// lookup of every saved message (by Message-ID, or by sender without one), folder pages and
// counts, and attachment reads and cascades. Without them saving a batch of 1,000 messages
// into a 50,000-message account scans the account once per message.
void create_lookup_indexes(Connection& c) {
  c.execute("CREATE INDEX IF NOT EXISTS idx_messages_account_message_id ON email_messages(account_id, message_id)");
  c.execute("CREATE INDEX IF NOT EXISTS idx_messages_account_sender ON email_messages(account_id, LOWER(from_email))");
  c.execute("CREATE INDEX IF NOT EXISTS idx_messages_folder_listing ON email_messages(folder_id, is_deleted, is_spam, date DESC)");
  c.execute("CREATE INDEX IF NOT EXISTS idx_attachments_message ON email_attachments(message_id)");
  // Account-wide lists and counts (trash and spam folders, searches within an account,
  // the tag list) would otherwise read every row of the account, bodies included, because
  // the flags they filter on sit after the bodies in the row.
  c.execute("CREATE INDEX IF NOT EXISTS idx_messages_account_date ON email_messages(account_id, date DESC)");
  c.execute("CREATE INDEX IF NOT EXISTS idx_messages_account_flags ON email_messages(account_id, is_deleted, is_spam, folder_id)");
  c.execute("CREATE INDEX IF NOT EXISTS idx_messages_tag_listing ON email_messages(date DESC, is_deleted, is_spam, ai_tags) WHERE ai_tags IS NOT NULL AND ai_tags != '[]'");
}

// The changes made locally that the mail server has not confirmed yet, in the order they
// were made (see store/server_change_journal.h). A table of its own, beside the messages:
// a row of it lives only until the service has replayed it.
void create_server_change_journal(Connection& c) {
  c.execute(R"(CREATE TABLE IF NOT EXISTS pending_server_changes (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    account_id TEXT NOT NULL,
    message_row_id TEXT NOT NULL,
    kind TEXT NOT NULL,
    value INTEGER NOT NULL DEFAULT 0,
    source_path TEXT,
    uid INTEGER,
    header_message_id TEXT,
    target_path TEXT,
    payload TEXT,
    attempts INTEGER NOT NULL DEFAULT 0,
    last_error TEXT,
    next_attempt_at REAL,
    started_at REAL,
    created_at REAL NOT NULL,
    revision INTEGER NOT NULL DEFAULT 0
))");
  c.execute(
      "CREATE INDEX IF NOT EXISTS idx_pending_server_changes_row ON "
      "pending_server_changes(message_row_id)");
  c.execute(
      "CREATE INDEX IF NOT EXISTS idx_pending_server_changes_account ON "
      "pending_server_changes(account_id, seq)");
}

// Folders the server marks as views of mail filed elsewhere (RFC 6154 \All, \Flagged,
// \Important: Gmail's "All Mail", "Starred", "Important"), by path, so that the mark
// survives the folder rows being rewritten by a sync.
void create_folder_views(Connection& c) {
  c.execute(R"(CREATE TABLE IF NOT EXISTS email_folder_views (
    account_id TEXT NOT NULL,
    path TEXT NOT NULL,
    PRIMARY KEY (account_id, path),
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE
))");
}

// What is known of each server folder between sessions (store/folder_sync_state.h), and
// the local state of messages that left a folder on the server, kept for a copy of the same
// message found in another folder.
void create_folder_sync_state(Connection& c) {
  c.execute(R"(CREATE TABLE IF NOT EXISTS folder_sync_state (
    account_id TEXT NOT NULL,
    folder_path TEXT NOT NULL,
    uid_validity INTEGER NOT NULL DEFAULT 0,
    highest_modseq INTEGER NOT NULL DEFAULT 0,
    PRIMARY KEY (account_id, folder_path),
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE
))");
  c.execute(R"(CREATE TABLE IF NOT EXISTS vanished_message_state (
    account_id TEXT NOT NULL,
    message_id TEXT NOT NULL,
    tags TEXT,
    ai_tags TEXT,
    internal_note TEXT,
    reply_later_until REAL,
    waiting_since REAL,
    snoozed_until REAL,
    vanished_at REAL NOT NULL,
    PRIMARY KEY (account_id, message_id),
    FOREIGN KEY (account_id) REFERENCES email_accounts(id) ON DELETE CASCADE
))");
}

// Kept in the file header's user_version. Raise it with every change of build_schema, so
// that files built before the change run the build again on their next open.
constexpr int64_t kSchemaVersion = 6;

}  // namespace

bool schema_is_current(Connection& c) {
  auto s = c.prepare("PRAGMA user_version");
  return s.step() && s.integer(0).value_or(0) >= kSchemaVersion;
}

void build_schema(Connection& c) {
  c.execute(kCreateAccounts);
  c.execute(kCreateFolders);
  c.execute(kCreateMessages);
  upgrade_stages_u0_to_u8(c);
  for (const char* sql : {kCreateAttachments, kCreateSignatures, kCreateThreads, kCreateRules,
                          kCreateBlockedSenders, kCreateTranslationCache})
    c.execute(sql);
  for (const char* sql : kStepFiveIndexes) c.execute(sql);
  upgrade_attachment_columns(c);
  upgrade_contact_columns(c);
  create_lookup_indexes(c);
  create_search_index(c);
  create_server_change_journal(c);
  create_folder_views(c);
  create_folder_sync_state(c);
  create_message_sources(c);
  // The server's size of each message: with the envelope it tells apart messages that have
  // no Message-ID when a folder is renumbered.
  if (!c.column_names("email_messages").contains("rfc822_size"))
    add_column(c, "email_messages", "rfc822_size", "INTEGER");
  // Automatic replies: when each sender last got one, kept across restarts.
  c.execute(
      "CREATE TABLE IF NOT EXISTS auto_reply_log (sender TEXT PRIMARY KEY, replied_at REAL NOT "
      "NULL)");
  // Two indexes for the window's lists, partial on the lists' own condition (word for word,
  // which is what lets SQLite use them). Their flag columns hold one value each; they lead
  // the key because SQLite, without statistics, weighs indexes by the terms they match.
  // The unread mail with the columns the views filter on: unread counts per folder and per
  // view read this small index instead of every row (bodies included) of the mailbox.
  c.execute(
      "CREATE INDEX IF NOT EXISTS idx_messages_unread ON email_messages(is_read, is_deleted, "
      "is_spam, is_draft, folder_id, is_starred, ai_priority, snoozed_until, reply_later_until, "
      "waiting_since, id) WHERE is_read = 0 AND is_deleted = 0 AND is_spam = 0 AND is_draft = 0");
  // The mail the lists show, by folder and date: the unified inbox counts and pages its
  // newest messages from this index alone, where the folder index would read every inbox
  // row to learn whether it is a draft.
  c.execute(
      "CREATE INDEX IF NOT EXISTS idx_messages_visible ON email_messages(folder_id, is_deleted, "
      "is_spam, is_draft, date DESC, id) WHERE is_deleted = 0 AND is_spam = 0 AND is_draft = 0");
  // The few snoozed messages, which the window's folder lists leave out until their time:
  // the lists read this small index instead of the snooze column of every row.
  c.execute(
      "CREATE INDEX IF NOT EXISTS idx_messages_snoozed ON email_messages(snoozed_until) WHERE "
      "snoozed_until IS NOT NULL");
  c.execute("PRAGMA user_version = " + std::to_string(kSchemaVersion));
}

}  // namespace kestrova::store
