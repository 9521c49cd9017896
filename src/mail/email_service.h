#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "mail/certificate_trust.h"
#include "mail/email_connection_test.h"
#include "mail/email_content_decoder.h"
#include "mail/email_service_error.h"
#include "mail/libetpan_imap_session.h"
#include "mail/libetpan_smtp_session.h"
#include "store/email_account.h"
#include "store/email_folder.h"
#include "store/email_message.h"

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::mail {

// The form both sides of a Message-ID comparison take: the msg-id between its angle
// brackets (RFC 5322 §3.6.4), trimmed, with the part after "@" lower-cased, as domains are
// case-insensitive; the part before it is compared as written.
std::string comparableMessageId(std::string_view raw);

class FolderReconciler;

// The account service: every conversation with an account's servers starts here. It
// opens authenticated IMAP and SMTP sessions from an account's settings and proves, in
// the connection test, that both servers can be reached with a password.
//
// All operations block on network I/O: call them from a background thread, never from
// the interface thread. Each operation uses sessions of its own, so the service may be
// used from several threads at once.
class EmailService {
 public:
  static constexpr std::string_view kComponent = "EmailService";

  // The one instance of the process, created on first use.
  static EmailService& shared();

  // The most messages a first load of a folder hands over at once; the rest is loaded in
  // the background.
  static constexpr size_t kInitialLoadLimit = 1000;
  // Background loader: UIDs per chunk and the pause after each chunk.
  static constexpr size_t kBackgroundChunkSize = 50;
  static constexpr int kBackgroundPauseMilliseconds = 100;
  // A body download gives up after this many seconds; raw messages above this size are
  // decoded from their first bytes only.
  static constexpr int kBodyTimeLimitSeconds = 45;
  static constexpr size_t kBodyDecodeLimit = 10485760;

  // Receives the records of one background chunk, on the loader's thread.
  using BackgroundDelivery = std::function<void(std::vector<store::EmailMessage>)>;
  // Called once when a background loader has walked all its UIDs (not when cancelled),
  // with the number of records it delivered.
  using BackgroundCompletion = std::function<void(size_t delivered)>;

  EmailService() = default;
  // Cancels the background loaders and waits for them.
  ~EmailService();
  EmailService(const EmailService&) = delete;
  EmailService& operator=(const EmailService&) = delete;

  // Tries to connect and log in to the IMAP server, then (whatever the IMAP outcome) to
  // the SMTP server, each with a session of its own that is disconnected afterwards. No
  // mail is sent. Never throws: every failure becomes a failed stage. The certificates
  // are trusted as the settings say for the account, or as `trust` says when given (for
  // an account not saved yet). `stageDone`, when given, is called on the calling thread
  // with each stage as soon as it is over (the IMAP stage before the SMTP one starts).
  using StageObserver = std::function<void(const EmailConnectionStageResult&)>;
  EmailConnectionTestReport testConnection(const store::EmailAccount& account,
                                           std::string_view password,
                                           const AccountCertificateTrust* trust = nullptr,
                                           const StageObserver& stageDone = {}) const;

  // An IMAP session that is connected and logged in; the caller owns it and disconnects
  // it when done. Throws EmailServiceError: authenticationFailed("密码未找到") without a
  // password, connectionFailed when the server cannot be reached, authenticationFailed
  // when the login is refused.
  std::unique_ptr<LibEtPanIMAPSession> openIMAPSession(
      const store::EmailAccount& account, const std::optional<std::string>& password) const;
  // The store whose UIDs the message operations send: before any command that names a UID
  // the folder's UIDVALIDITY from that session's SELECT is checked against the store's, a
  // renumbered folder is brought in line first, and the message's UID is read again from
  // the store (see FolderReconciler::selectForUids). The shared instance uses
  // EmailDatabase::shared() unless told otherwise; another instance without a store sends
  // the UIDs it is given.
  void setDatabase(store::EmailDatabase* database) { database_ = database; }
  store::EmailDatabase* database() const;

  // Sessions opened from now on never ask for QRESYNC or CONDSTORE, as with a server that
  // offers neither (for measuring and for servers whose implementation misbehaves).
  void setResyncExtensionsDisabled(bool disabled) { resyncDisabled_ = disabled; }

  // The same for SMTP (greeted and authenticated, ready for sendMessageTo).
  std::unique_ptr<LibEtPanSMTPSession> openSMTPSession(
      const store::EmailAccount& account, const std::optional<std::string>& password) const;

  // The account's password from the credential store, filed under its
  // passwordKeychainIdentifier; nothing when the account names no entry or none is stored.
  // A credential store that cannot be read throws authenticationFailed with its reason.
  std::optional<std::string> storedPassword(const store::EmailAccount& account) const;

  // The credential a session logs in with: a password as it is; an OAuth token set whose
  // access token is about to expire refreshed first (the new tokens filed in the credential
  // store under the account's key). Throws authenticationFailed when the refresh fails,
  // saying to sign in again when the refresh token was refused.
  std::string freshCredential(const store::EmailAccount& account,
                              const std::string& credential) const;

  // ---- Folders and messages ----
  // Every operation opens its own session and disconnects it before returning; failures
  // are EmailServiceError. `folders` is the account's folder list as stored (messages name
  // their folder by id; moves look for the destination there).

  // The server's folders: name decoded, path the server name, type from the special-use
  // attribute the server gives it, else from the name (listed_folder_types); fresh ids.
  std::vector<store::EmailFolder> fetchFolders(const store::EmailAccount& account,
                                               const std::optional<std::string>& password) const;
  // One folder of the listing with what the server says about it.
  struct ListedFolder {
    store::EmailFolder folder;
    std::vector<std::string> flags;  // the LIST attributes, as sent
    bool selectable = true;          // false for \Noselect and \NonExistent
  };
  // The same list with each folder's LIST attributes.
  std::vector<ListedFolder> fetchFolderListing(const store::EmailAccount& account,
                                               const std::optional<std::string>& password) const;

  // The newest messages of a folder. With `since` and either `limit` above 200 or
  // `preferDateSearch` (the limit then becomes 200) the folder is searched by date;
  // otherwise the UIDs are listed from UIDNEXT. Beyond kInitialLoadLimit UIDs the rest is
  // handed to a background loader for the account (replacing one that runs), which
  // delivers records in chunks through `deliver` and reports through `completed`. With a
  // `reconciler` the folder is selected through it, and the UIDs the listing covers tell it
  // which stored messages the server no longer has.
  std::vector<store::EmailMessage> syncMessages(
      const store::EmailAccount& account, const std::optional<std::string>& password,
      const store::EmailFolder& folder, std::optional<double> since, uint64_t limit,
      bool preferDateSearch = false, BackgroundDelivery deliver = {},
      BackgroundCompletion completed = {}, FolderReconciler* reconciler = nullptr);

  // The decoded body (RFC822 fetch, which marks the message read on the server), within
  // kBodyTimeLimitSeconds; above kBodyDecodeLimit bytes only the start is decoded.
  EmailBodyContent fetchMessageBody(const store::EmailAccount& account,
                                    const std::optional<std::string>& password,
                                    const store::EmailMessage& message,
                                    const std::vector<store::EmailFolder>& folders) const;
  // Bodies downloaded ahead of time, without marking anything read.
  struct PrefetchedBody {
    uint32_t uid = 0;
    EmailBodyContent content;
  };
  // Messages and bytes per UID FETCH of a prefetch: one batch is held in memory at a time.
  static constexpr size_t kPrefetchBatchMessages = 200;
  static constexpr uint64_t kPrefetchBatchBytes = 8u << 20;
  struct PrefetchOutcome {
    size_t downloaded = 0;
    uint64_t bytes = 0;               // raw bytes downloaded
    std::vector<uint32_t> oversized;  // left for the on-demand load: above the size cap
    std::vector<uint32_t> missing;    // no longer in the folder
  };
  // Downloads and decodes the bodies of `uids` in `folder` (a server folder) with BODY.PEEK,
  // so \Seen stays as the server has it: one session, sizes asked first, then batches of
  // whole messages bounded by kPrefetchBatchMessages and kPrefetchBatchBytes. Messages above
  // `maxBytes` are not downloaded. Each decoded batch goes to `deliver` on this thread;
  // `stop` is checked before each batch. `uidValidity` is the folder's UIDVALIDITY the
  // caller read with the UIDs (0: unknown): when the SELECT reports another one, or the
  // folder turns out renumbered, nothing is fetched and messageMismatch is thrown.
  PrefetchOutcome prefetchBodies(const store::EmailAccount& account,
                                 const std::optional<std::string>& password,
                                 const store::EmailFolder& folder,
                                 const std::vector<uint32_t>& uids, uint64_t maxBytes,
                                 const std::function<void(std::vector<PrefetchedBody>)>& deliver,
                                 const std::atomic<bool>& stop, uint32_t uidValidity = 0) const;
  // A raw message decoded as a body load does: above kBodyDecodeLimit bytes only the start.
  static EmailBodyContent decodeRawMessage(std::string raw);
  // The raw RFC 5322 bytes.
  std::string fetchRawMessage(const store::EmailAccount& account,
                              const std::optional<std::string>& password,
                              const store::EmailMessage& message,
                              const std::vector<store::EmailFolder>& folders) const;
  // The raw RFC 5322 bytes as the server holds them, read with BODY.PEEK[] so that the
  // message's \Seen flag stays as it is (for an export). Refuses local-folder messages and
  // messages without UID as fetchRawMessage does; throws messageMismatch when the folder no
  // longer holds the UID.
  std::string peekRawMessage(const store::EmailAccount& account,
                             const std::optional<std::string>& password,
                             const store::EmailMessage& message,
                             const std::vector<store::EmailFolder>& folders) const;
  // An attachment's decoded bytes: its part, else found in the whole message.
  std::string downloadAttachment(const store::EmailAccount& account,
                                 const std::optional<std::string>& password,
                                 const store::EmailMessage& message,
                                 const EmailAttachmentMeta& attachment,
                                 const std::vector<store::EmailFolder>& folders) const;
  // Server-side text search in one folder, newest first.
  std::vector<store::EmailMessage> searchMessages(const store::EmailAccount& account,
                                                  const std::optional<std::string>& password,
                                                  const store::EmailFolder& folder,
                                                  std::string_view query,
                                                  uint64_t limit = 100) const;

  void markAsRead(const store::EmailAccount& account, const std::optional<std::string>& password,
                  const store::EmailMessage& message,
                  const std::vector<store::EmailFolder>& folders) const;
  // Removes \Seen (the command line's "mark unread").
  void markAsUnread(const store::EmailAccount& account, const std::optional<std::string>& password,
                    const store::EmailMessage& message,
                    const std::vector<store::EmailFolder>& folders) const;
  void toggleStar(const store::EmailAccount& account, const std::optional<std::string>& password,
                  const store::EmailMessage& message, bool starred,
                  const std::vector<store::EmailFolder>& folders) const;
  // Deletes and moves first confirm that the message's folder on the server still holds its
  // UID and, when the message has a Message-ID, that the UID's Message-ID is the same;
  // otherwise they throw messageMismatch and change nothing. They take only this message
  // out of its folder (see LibEtPanIMAPSession::moveMessageWithUID) and say whether its
  // source copy is gone or only flagged \Deleted (kFlaggedOnlyNotice tells the user why).
  static constexpr std::string_view kFlaggedOnlyNotice =
      "该服务器只能一次清除文件夹中所有标记为删除的邮件，而文件夹中还有其他这样的邮件；"
      "为免误删它们，原邮件只标记为删除，仍留在服务器上";

  // Permanent on the server: \Deleted, then the expunge of this UID.
  ImapSourceRemoval deleteMessage(const store::EmailAccount& account,
                                  const std::optional<std::string>& password,
                                  const store::EmailMessage& message,
                                  const std::vector<store::EmailFolder>& folders) const;
  // UID MOVE, else COPY then delete; when that fails the destination is created and the move
  // tried once more.
  ImapSourceRemoval moveMessage(const store::EmailAccount& account,
                                const std::optional<std::string>& password,
                                const store::EmailMessage& message,
                                const store::EmailFolder& destination,
                                const std::vector<store::EmailFolder>& folders) const;
  ImapSourceRemoval moveToSpam(const store::EmailAccount& account,
                               const std::optional<std::string>& password,
                               const store::EmailMessage& message,
                               const std::vector<store::EmailFolder>& folders) const;
  ImapSourceRemoval moveToInbox(const store::EmailAccount& account,
                                const std::optional<std::string>& password,
                                const store::EmailMessage& message,
                                const std::vector<store::EmailFolder>& folders) const;

  // ---- Folder management ----
  // RFC 3501 §6.3.3-§6.3.5 CREATE, DELETE and RENAME of server folders (server paths,
  // encoded to modified UTF-7 on the wire).
  void createFolder(const store::EmailAccount& account, const std::optional<std::string>& password,
                    std::string_view path) const;
  void renameFolder(const store::EmailAccount& account, const std::optional<std::string>& password,
                    std::string_view from, std::string_view to) const;
  void deleteFolder(const store::EmailAccount& account, const std::optional<std::string>& password,
                    std::string_view path) const;

  // Keeps one server copy of a draft in the server's drafts folder (drafts_folder_path on
  // its folder list, else a new kDefaultDraftsFolder): files `message` there with \Draft and
  // \Seen, then deletes every other copy in that folder whose Message-ID header holds
  // `messageId`. Without a message the copies are only deleted. Returns the folder's path.
  std::string replaceDraftCopy(const store::EmailAccount& account,
                               const std::optional<std::string>& password,
                               std::string_view messageId,
                               const std::optional<std::string>& message) const;

  // ---- Sending ----

  // Sends one message through a session of its own (disconnected afterwards), From
  // carrying the account's display name. Throws EmailServiceError: the session openers'
  // failures, networkError with the SMTP step that failed. Returns the message as sent.
  BuiltMessage sendMessage(const store::EmailAccount& account,
                           const std::optional<std::string>& password, OutgoingMessage message,
                           const std::vector<std::string>& bcc) const;
  // Gmail's SMTP server files every message it relays in the account's Sent folder itself
  // (a second copy from us would show twice); other providers leave that to the client.
  static bool providerFilesSentCopy(const store::EmailAccount& account);
  // Stores a sent message in `folderPath` on the server with \Seen (IMAP APPEND).
  void appendSentCopy(const store::EmailAccount& account,
                      const std::optional<std::string>& password, std::string_view folderPath,
                      std::string_view message) const;

  // Whether the message says it was sent automatically (an auto-reply, a list or bulk
  // mailing; see isAutomaticMail). Reads the header fields with BODY.PEEK, so the message
  // stays unread. Throws EmailServiceError.
  bool isAutomaticMessage(const store::EmailAccount& account,
                          const std::optional<std::string>& password,
                          const store::EmailMessage& message,
                          const std::vector<store::EmailFolder>& folders) const;
  // Whether a raw header block marks mail that must not be answered automatically
  // (RFC 3834 §2, §3.1.2 and §4): Auto-Submitted other than "no"; Precedence bulk, junk,
  // list or auto_reply; a List-Id (RFC 2919) or List-Unsubscribe (RFC 2369); an
  // X-Autoreply / X-Autorespond field; and a Return-Path that is missing or empty ("<>",
  // a bounce or another automatic message) or names a robot (is_no_reply_address).
  static bool isAutomaticMail(std::string_view headerFields);

  // Background loaders: cancel one account's (or all) and return at once; wait for one
  // account's loader to end.
  void cancelBackgroundTasks(const std::string& accountId);
  void cancelAllBackgroundTasks();
  void waitForBackgroundTasks(const std::string& accountId);
  bool hasBackgroundTask(const std::string& accountId);
  // The UIDs handed to the account's loader (0 without one).
  size_t backgroundTotal(const std::string& accountId);

 private:
  struct BackgroundTask {
    std::atomic<bool> cancelled{false};
    size_t total = 0;
    std::thread thread;
  };
  // `uidValidity`: the folder's UIDVALIDITY the UIDs were listed under (0: unknown).
  void startBackgroundLoad(const store::EmailAccount& account,
                           const std::optional<std::string>& password,
                           const store::EmailFolder& folder, std::vector<uint32_t> uids,
                           uint32_t uidValidity, BackgroundDelivery deliver,
                           BackgroundCompletion completed);
  void runBackgroundLoad(BackgroundTask& task, const store::EmailAccount& account,
                         const std::optional<std::string>& password,
                         const store::EmailFolder& folder, const std::vector<uint32_t>& uids,
                         uint32_t uidValidity, const BackgroundDelivery& deliver,
                         const BackgroundCompletion& completed) const;

  std::mutex backgroundSyncTasksLock_;
  std::atomic<bool> resyncDisabled_{false};
  store::EmailDatabase* database_ = nullptr;
  bool sharedDatabase_ = false;  // the shared instance: EmailDatabase::shared() by default
  // Per account id; finished tasks stay until replaced, cancelled or waited for.
  std::map<std::string, std::shared_ptr<BackgroundTask>> backgroundSyncTasks_;
};

}  // namespace kestrova::mail
