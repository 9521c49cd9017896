#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "store/email_account.h"
#include "store/email_enums.h"
#include "store/email_folder.h"
#include "store/email_message.h"
#include "store/folder_message_count_cache.h"

namespace kestrova::platform {
class SettingsStore;
}

namespace kestrova::store {

class Connection;
class EmailDatabase;
namespace detail {
struct CleanupResult;
}

// Which part of the observable state changed. The key passed with it is the account id for
// `folders`, the folder id for `messages`, and empty for `accounts`.
enum class StoreChange { accounts, folders, messages };

// One message as a write left it in the database.
struct SavedMessage {
  // The record as stored: the row's id (an existing copy's id when `merged`), the folder it
  // was placed in, and a body carried over from the stored row when the record had none.
  EmailMessage message;
  // True when the record was written into an existing copy of the same logical message
  // (same Message-ID, or same subject, sender and date) instead of a new row.
  bool merged = false;
};

// The mail store: the one façade through which the interactive application reads and
// writes accounts, folders and messages.
//
// Observable state (accounts, folders per account, loaded messages per folder) belongs to
// the main thread: it is only changed there, and observers are called there. The main
// thread is the thread that constructed the store (the shared instance must therefore be
// first used on the main thread). Operations may be called from any thread; when one
// changes the observable state from another thread, the change is handed to the main
// thread with platform::MainQueue::post and happens at the queue's next turn. The accessors
// of the observable state are for the main thread only.
//
// Database work goes through EmailDatabase's serialised connection. Read failures are
// logged and give empty results; write failures are thrown to the caller (kestrova::Error),
// except writes of messages for an unknown account, which are skipped with a warning.
class EmailStore {
 public:
  using Observer = std::function<void(StoreChange change, const std::string& key)>;
  using FolderLists = std::unordered_map<std::string, std::vector<EmailFolder>>;
  using MessageLists = std::unordered_map<std::string, std::vector<EmailMessage>>;

  // First page of a folder, and the most messages of one folder held in memory.
  static constexpr int kFirstPageSize = 100;
  static constexpr int kMaxMessagesInMemory = 1000;
  // Seconds between two runs of each daily maintenance pass.
  static constexpr double kMaintenanceInterval = 86400;

  // Settings keys owned by the store.
  static constexpr std::string_view kDidMigrateOrphanMessagesKey =
      "EmailStore.didMigrateOrphanMessagesV2";
  static constexpr std::string_view kLastDuplicateCleanupDateKey =
      "EmailStore.lastDuplicateCleanupDate";
  static constexpr std::string_view kLastSqliteVacuumDateKey = "EmailStore.lastSqliteVacuumDate";

  // The process-wide store over EmailDatabase::shared() and SettingsStore::shared(), with
  // the shared count cache. Created on first use, which starts the start-up task (start()).
  static EmailStore& shared();

  // A store over the given database and settings with its own count cache over `settings`
  // (tests, tools). Nothing is loaded until start() or the load operations are called.
  // Both references must outlive the store.
  EmailStore(EmailDatabase& database, platform::SettingsStore& settings);
  // Waits for the store's background tasks. Tasks they posted to the main queue and that
  // have not run yet do nothing once the store is gone.
  ~EmailStore();
  EmailStore(const EmailStore&) = delete;
  EmailStore& operator=(const EmailStore&) = delete;

  // Starts the start-up task in the background: load accounts and folders, the one-time
  // orphan migration, the Gmail SMTP preset migration, the daily maintenance check and the
  // preloading of the inboxes. Returns at once; the future is ready when all of it is done
  // (its main-thread hand-overs may still be queued).
  std::future<void> start();

  // ---- Observable state (main thread only) ----

  // All accounts, default account first, then newest first.
  const std::vector<EmailAccount>& accounts() const { return accounts_; }
  // Folders per account id, each list ordered by type, then name.
  const FolderLists& folders() const { return folders_; }
  // The folders of one account (empty when none are loaded).
  const std::vector<EmailFolder>& foldersOf(std::string_view accountId) const;
  // A loaded folder by id.
  std::optional<EmailFolder> folder(std::string_view folderId) const;
  // Loaded messages per folder id, newest first, at most kMaxMessagesInMemory each.
  const MessageLists& messages() const { return messages_; }
  // The loaded messages of one folder (empty when the folder is not loaded).
  const std::vector<EmailMessage>& messagesIn(std::string_view folderId) const;

  // Observers are called on the main thread after each change; returns a token for
  // removeObserver.
  int addObserver(Observer observer);
  void removeObserver(int token);

  // ---- Accounts and folders ----

  // Reads all accounts (or folders) and publishes them. A failed read logs and publishes
  // empty lists.
  void loadAccounts();
  void loadFolders();
  // Writes the row (insert or replace) and updates the in-memory list to match. Throw on
  // database errors.
  void saveAccount(const EmailAccount& account);
  // Sets only the account's last synchronisation date (in the row and in memory), so that a
  // sync never writes back account settings another process changed while it ran.
  void recordAccountSync(const std::string& accountId, double date);
  void saveFolder(const EmailFolder& folder);
  // Writes many folders in one transaction (all or none) and updates the in-memory lists
  // once: a server that lists 100,000 folders is stored in seconds.
  void saveFolders(const std::vector<EmailFolder>& folders);
  // Deletes the row; the schema's cascades remove the account's folders and messages (a
  // deleted folder's messages keep their rows, without folder). The in-memory state drops
  // what went with it.
  void deleteAccount(const std::string& accountId);
  void deleteFolder(const std::string& folderId);

  // ---- Messages of one folder ----

  // One page of a folder, newest first, with attachments. A trash folder also lists the
  // account's soft-deleted messages, a spam folder the account's spam-marked (not deleted)
  // messages, wherever they are filed; other folders leave both out. Logs and gives an
  // empty list on failure. Does not change the observable state.
  std::vector<EmailMessage> loadMessages(const EmailFolder& folder, int limit = kFirstPageSize,
                                         int offset = 0);
  // Loads a folder for display: skipped when it already holds messages; otherwise the first
  // page is read and published at once (on the calling thread, which should be the main
  // thread), its total goes to the count cache, and up to kMaxMessagesInMemory - first page
  // more are read in the background and appended on the main thread. The future is ready
  // when the background part has handed its result to the main queue.
  std::future<void> loadFolderMessages(const EmailFolder& folder);
  // Number of messages of the folder (same conditions as loadMessages). On success the value
  // is written to the count cache; on failure the cached value when above 0, else the number
  // of loaded messages.
  int64_t getFolderMessageCount(const EmailFolder& folder);
  // saveFolder of `folder` with `totalCount` set to its message count (as
  // getFolderMessageCount counts), both inside the caller's write transaction, for a
  // synchronisation whose last save ends with the folder. Returns the folder as written;
  // publishFolderWithCount makes it known (count cache, folder lists) after the commit.
  EmailFolder saveFolderWithCountLocked(Connection& c, const EmailFolder& folder);
  void publishFolderWithCount(const EmailFolder& folder);
  // Recounts every folder and writes all counts to the cache at once.
  void refreshAllFolderCounts();
  // Holds back the count cache's writes to the settings file until the returned guard ends,
  // then writes once (see FolderMessageCountCache::DeferredWrites).
  FolderMessageCountCache::DeferredWrites deferCountCacheWrites();

  // ---- Message writes ----

  // The message upsert: carries over a stored body when the record has none, skips unknown
  // accounts (nothing; no error), writes into an existing copy of the same logical message
  // when there is one (same trimmed Message-ID in the account; else, for non-drafts, same
  // subject, sender and a date less than one second apart), places the message in an
  // existing folder (its own, else the account's inbox, else any folder of the account,
  // else none), then writes the row and its attachments. One write transaction (or part of
  // the caller's). When written into an existing copy, the in-memory copies are replaced.
  // A record whose own id is already stored replaces that row (INSERT OR REPLACE), and the
  // schema's cascades then drop the row's label links, action items and cached
  // translations, and clear rule_applied_at: rewrite a known row with updateMessage.
  std::optional<SavedMessage> saveMessage(const EmailMessage& message);
  // Update in place by id, with the same body carry-over, account check and folder
  // placement; the attachments are replaced by the record's. Replaces the in-memory copies.
  // Nothing when the account is unknown.
  std::optional<EmailMessage> updateMessage(const EmailMessage& message);
  // Writes the user-set flags and annotations of `message` (read, starred, important,
  // no-reply, spam, deleted, replied, tags, AI tags, summary and priority, snooze,
  // reply-later, waiting, internal note) to every stored copy of it in its account (same
  // trimmed Message-ID; without one, same subject, sender and date) and to every in-memory
  // copy of those rows; updatedAt becomes the time of the call. Returns the ids of the
  // stored copies. Throws on database errors.
  std::vector<std::string> updateFlagsOnAllCopies(const EmailMessage& message);
  // The read state only, on every copy (stored and in memory). Returns the copies' ids.
  std::vector<std::string> markRead(const EmailMessage& message, bool isRead);
  // The starred state only, on every copy (stored and in memory). Returns the copies' ids.
  std::vector<std::string> markStarred(const EmailMessage& message, bool isStarred);
  // Files the stored row `messageId` under `folderId` after the server moved the message
  // there: the UID is cleared (the next sync of the folder brings the new one) and, for a
  // move to spam, the row is marked spam. Nothing else of the row changes. Returns the row as
  // stored now, or nothing when there is no such row.
  std::optional<EmailMessage> recordServerMove(const std::string& messageId,
                                               const std::string& folderId, bool markSpam);
  // For each message of `batch`, the copy of it the account already stores, with its
  // attachments (the upsert's rule: same trimmed Message-ID, else for non-drafts same
  // subject, sender and a date less than one second apart). Read failures are logged and
  // count as not stored.
  std::vector<std::optional<EmailMessage>> storedCopies(const std::vector<EmailMessage>& batch);
  // Whether storedCopies would find a copy of each message, without reading the copies.
  std::vector<bool> hasStoredCopies(const std::vector<EmailMessage>& batch);
  // Replaces every in-memory copy with the same id by `message` (logged). Does not write.
  void replaceInMemory(const EmailMessage& message);

  // The background batch save of newly fetched messages (already through rule evaluation
  // and duplicate recognition): applies `applyTrainedSenderCategories`, writes the whole
  // batch with the upsert in one write transaction (all of it or none of it), then merges
  // the stored messages into the loaded folder lists on the main thread. The future gives
  // the number of messages written (unknown accounts left out) or the write error, which is
  // also logged.
  std::future<size_t> saveMessagesInBackground(std::vector<EmailMessage> batch);
  // The batch save of a synchronisation pass, otherwise as saveMessagesInBackground. A
  // message the account already stores (the upsert's identity rule) gets only what the
  // server owns written into its row — folder, UID, read, starred, and a thread and
  // In-Reply-To where the row has none — in the write transaction that finds the row, so
  // tags, notes, follow-up dates and AI results another process writes meanwhile survive.
  // A message not stored yet goes through the upsert. `alongside`, when given, runs in the
  // same write transaction after the batch is written (on the save's thread): writes that
  // must stand or fall with the batch, such as the summaries of its conversations; its error
  // rolls the batch back too.
  std::future<size_t> saveSyncedMessagesInBackground(
      std::vector<EmailMessage> batch, std::function<void(Connection&)> alongside = {});
  // Sets the trained sender category of the new messages of a batch before it is written;
  // called on a background thread. Empty: the batch is stored as fetched.
  std::function<void(std::vector<EmailMessage>& batch)> applyTrainedSenderCategories;

  // ---- Cross-folder lists of one account ----
  // One entry per logical message (trimmed Message-ID, else subject|sender|date) among the
  // account's messages that are not drafts, spam or deleted; the entry is the copy in an
  // existing folder with a body (else in an existing folder, else any; smallest id first),
  // with read, starred and replied (and in all mail, attachments) true when any copy has
  // them. Newest first, at most `limit`. Failures log and give empty lists or 0.

  std::vector<EmailMessage> fetchAggregateMessagesFromDatabase(const std::string& accountId,
                                                               int limit);
  std::vector<EmailMessage> fetchVirtualFolderMessagesFromDatabase(EmailVirtualFolderKind kind,
                                                                   const std::string& accountId,
                                                                   int limit);
  // Number of entries of the all-mail list, counted on a background thread.
  std::future<int64_t> getTotalMessageCountAsync(const std::string& accountId);
  int64_t getVirtualFolderMessageCount(EmailVirtualFolderKind kind, const std::string& accountId);

  // ---- Body download and inbox fetches ----

  // The stored copy to download the body into: one in an existing folder — the message's
  // own row (inbox copy first), else a copy with the same Message-ID (else same subject,
  // sender and date within a second) preferring one that has a body, then the inbox copy,
  // then the newest. Nothing when there is none or on failure (logged).
  std::optional<EmailMessage> resolveMessageForBodyFetch(const EmailMessage& message);
  // Leaves out of a freshly fetched inbox batch the messages whose Message-ID is already
  // stored in another folder of the account (they were archived elsewhere).
  std::vector<EmailMessage> excludeMessagesStoredInOtherFolders(const std::string& accountId,
                                                                const std::string& inboxFolderId,
                                                                std::vector<EmailMessage> fetched);

  // ---- Drafts ----
  // A draft is a message with isDraft, or one in a folder of type drafts or the local
  // drafts folder.

  // The account's drafts, most recently updated first. Logs and gives nothing on failure.
  std::vector<EmailMessage> fetchDrafts(const std::string& accountId);
  std::optional<EmailMessage> loadDraft(const std::string& draftId);
  // Saves the draft (isDraft forced on) through the upsert, forgets an earlier deletion of
  // its id and refreshes the cached count of its folder.
  std::optional<SavedMessage> saveDraft(EmailMessage draft);
  // Deletes the row only when it is a draft; true when a row went. The id counts as deleted
  // for the rest of the run either way, so a save racing with the deletion can check
  // isDraftDeleted and not bring it back.
  bool deleteDraft(const std::string& draftId);
  bool isDraftDeleted(const std::string& draftId) const;
  std::set<std::string> deletedDraftIds() const;
  bool isDraftsFolder(const std::string& folderId);

  // ---- Maintenance ----

  // Removes extra stored copies of one logical message, per account: rows with the same
  // trimmed Message-ID, or non-draft rows without one that share the trimmed lower-cased
  // subject and sender with dates within one second. One row of each group stays (one with
  // a body in an existing folder, else in an existing folder, else the smallest id); it
  // takes the group's read, starred and replied flags (any copy set) and, when it has no
  // body, the body of a removed copy. One write transaction; returns the rows removed.
  int64_t cleanupDuplicateMessages();
  // The one-time orphan migration (messages without an existing folder): drops those with a
  // placed twin, moves the rest to their account's inbox, runs the duplicate clean-up and
  // records that it ran. Does nothing once recorded. False when it failed (logged; it runs
  // again next start).
  bool migrateOrphanMessagesIfNeeded();
  // Moves Gmail accounts still on the preset SMTP host with port 587 to port 465 with SSL;
  // returns how many were changed.
  int migrateGmailSmtpPresets();
  // The duplicate clean-up and the database compaction, each when more than a day has
  // passed since it last ran. Runs on the calling thread.
  void runDailyMaintenanceIfDue();
  // Reads the first page of each account's inbox that is not loaded yet and publishes it.
  void preloadMessageCaches();

  FolderMessageCountCache& countCache() { return *countCache_; }
  EmailDatabase& database() { return database_; }

 private:
  struct BackgroundTask;

  EmailStore(EmailDatabase& database, platform::SettingsStore& settings,
             FolderMessageCountCache* sharedCache);

  // Main-thread plumbing.
  bool onMainThread() const;
  void onMain(std::function<void()> task);
  void notify(StoreChange change, const std::string& key);
  void runInBackground(std::function<void()> task);

  // Statements inside an open transaction.
  std::optional<SavedMessage> upsertLocked(Connection& c, EmailMessage record);
  std::optional<EmailMessage> updateInPlaceLocked(Connection& c, EmailMessage record,
                                                  std::string_view skipWarning);
  std::optional<SavedMessage> syncServerStateLocked(Connection& c, EmailMessage fetched);
  std::vector<std::string> copyIdsLocked(Connection& c, const EmailMessage& message);
  // `update` ("UPDATE email_messages SET column = ?, updated_at = ?") on every copy, then
  // `apply` on the in-memory copies; the ids of the copies.
  std::vector<std::string> setOnAllCopies(const EmailMessage& message, std::string_view update,
                                          bool value, std::function<void(EmailMessage&)> apply);
  enum class BatchKind { fetched, synced };
  std::future<size_t> saveBatchInBackground(std::vector<EmailMessage> batch, BatchKind kind,
                                            std::function<void(Connection&)> alongside = {});
  detail::CleanupResult cleanupDuplicatesLocked(Connection& c);
  void applyCleanupInMemory(const detail::CleanupResult& result);
  std::optional<int64_t> countFolder(const EmailFolder& folder);
  std::vector<EmailMessage> readFolderPage(const EmailFolder& folder, int limit, int offset);
  void updateCachedCountOfFolder(const std::optional<std::string>& folderId);

  // Main-thread mutations.
  void publishAccounts(std::vector<EmailAccount> accounts);
  void publishFolders(FolderLists folders);
  // Folder rows written (insert or replace), and the same rows put into the loaded lists.
  static void writeFoldersLocked(Connection& c, const std::vector<EmailFolder>& folders);
  void publishSavedFolders(std::vector<EmailFolder> folders);
  void mergeSavedIntoLists(std::vector<SavedMessage> saved);
  void applyFlagsInMemory(const std::vector<std::string>& ids,
                          const std::function<void(EmailMessage&)>& apply);

  EmailDatabase& database_;
  platform::SettingsStore& settings_;
  std::unique_ptr<FolderMessageCountCache> ownCountCache_;
  FolderMessageCountCache* countCache_;
  const std::thread::id mainThread_;

  std::vector<EmailAccount> accounts_;
  FolderLists folders_;
  MessageLists messages_;
  std::vector<std::pair<int, Observer>> observers_;
  int nextObserverToken_ = 1;

  mutable std::mutex draftsMutex_;
  std::set<std::string> deletedDraftIds_;

  // Tasks posted to the main queue check the token before touching the store. The
  // destructor resets alive_; background threads only ever copy the token, which is never
  // written after construction.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  const std::weak_ptr<bool> aliveToken_ = alive_;
  std::mutex tasksMutex_;
  std::vector<std::unique_ptr<BackgroundTask>> tasks_;
};

}  // namespace kestrova::store
