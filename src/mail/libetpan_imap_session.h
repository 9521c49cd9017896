#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mail/certificate_trust.h"
#include "mail/imap_header_record.h"
#include "mail/libetpan_error.h"

struct mailimap;

namespace kestrova::mail {

class MailTransport;

// One entry of a UID listing.
struct ImapUidEntry {
  uint32_t uid = 0;
  bool operator==(const ImapUidEntry&) const = default;
};

// What the selected folder holds under one UID: enough to confirm that it is the message
// meant before anything destructive is done to it.
struct ImapUidIdentity {
  bool exists = false;                   // the folder has a message with this UID
  std::optional<std::string> messageId;  // its Message-ID header as written, unfolded
  // The raw header lines of Message-ID and of the fields that mark automatic mail
  // (Auto-Submitted, Precedence, List-Id, X-Autoreply, X-Autorespond).
  std::string headerFields;
};

// One folder of a LIST answer with its name attributes (RFC 3501 §7.2.2, RFC 5258 §3),
// written as the server sent them ("\\Noselect", "\\HasChildren").
struct ImapListedFolder {
  std::string name;  // decoded from modified UTF-7
  std::vector<std::string> flags;
  // False for \Noselect and \NonExistent: the name only holds the hierarchy together (a
  // parent of other folders, Gmail's "[Gmail]") and SELECT on it fails.
  bool selectable() const;
};

// What a SELECT told about the folder (RFC 3501 §7.3, RFC 7162 §3.1.2.1 and §3.2.10).
struct ImapSelectedFolder {
  uint32_t uidValidity = 0;  // 0 when the server sent none
  uint32_t uidNext = 0;
  uint32_t exists = 0;
  uint64_t highestModSeq = 0;  // 0 when the server keeps no mod-sequences for the folder
  // Selected with QRESYNC against a known state: `vanished` then holds every UID expunged
  // since that mod-sequence (VANISHED (EARLIER)).
  bool resynchronised = false;
  std::vector<uint32_t> vanished;
};

// How a delete or move left the message's source copy.
enum class ImapSourceRemoval {
  removed,      // gone from the source folder
  flaggedOnly,  // flagged \Deleted but kept: the server can only expunge every flagged
                // message at once, and others in the folder carry the flag
};

// A blocking IMAP client over libetpan: one instance owns one connection to one server for
// one account and is used by one thread at a time. Every operation takes an optional error
// out-parameter; failing means returning false (or nothing) and filling it when given.
//
// Calling order: create, connectWithError, loginWithError, then folder operations; message
// operations act on the folder of the last successful selectFolder. After disconnect every
// operation fails with -1 "IMAP 会话未初始化"; destruction disconnects.
class LibEtPanIMAPSession {
 public:
  // Nothing when libetpan cannot create its client handle. `encryption` is "ssl",
  // "startTLS", or anything else for an unencrypted connection.
  static std::unique_ptr<LibEtPanIMAPSession> initWithHost(std::string host, int64_t port,
                                                           std::string encryption,
                                                           std::string username,
                                                           std::string password);
  ~LibEtPanIMAPSession();
  LibEtPanIMAPSession(const LibEtPanIMAPSession&) = delete;
  LibEtPanIMAPSession& operator=(const LibEtPanIMAPSession&) = delete;

  mailimap* imapSession() const { return imap_.get(); }
  const std::string& host() const { return host_; }
  int64_t port() const { return port_; }
  const std::string& encryption() const { return encryption_; }
  const std::string& username() const { return username_; }

  // Set before connecting. The time limit applies to the connect, the greeting, the TLS
  // handshake and each wait for the server's answer (30 seconds by default); the trust
  // adds to the system's certificate authorities for this server.
  void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
  // A shorter limit for the connect, the greeting and the TLS handshake only (a connection
  // test tells a wrong port/encryption pair quickly this way).
  void setGreetingTimeout(std::chrono::milliseconds timeout) { greetingTimeout_ = timeout; }
  void setCertificateTrust(CertificateTrust trust) { trust_ = std::move(trust); }
  // Set before logging in: the login then authenticates with SASL XOAUTH2 and this bearer
  // token instead of LOGIN with the password.
  void setOAuth2AccessToken(std::string token) { oauth2AccessToken_ = std::move(token); }

  // Connecting checks the server's certificate before anything else is exchanged; a
  // failure's description names the reason (time limit, certificate, TLS) after the code.
  bool connectWithError(LibEtPanError* error = nullptr);
  bool loginWithError(LibEtPanError* error = nullptr);
  bool selectFolder(std::string_view folder, LibEtPanError* error = nullptr);
  // SELECT that also reports the folder's UIDVALIDITY and HIGHESTMODSEQ. When the server
  // offers QRESYNC (RFC 7162) and the caller knows the folder's UIDVALIDITY and a
  // mod-sequence, the session enables QRESYNC and the answer lists the UIDs expunged since;
  // with CONDSTORE alone the folder is selected with CONDSTORE. A session that enabled
  // QRESYNC is told of expunges with VANISHED for the rest of its life.
  std::optional<ImapSelectedFolder> selectFolderResyncing(std::string_view folder,
                                                          uint32_t knownUidValidity,
                                                          uint64_t knownModSeq,
                                                          LibEtPanError* error = nullptr);
  // UIDVALIDITY, UIDNEXT and EXISTS of the folder selected last (no mod-sequence).
  std::optional<ImapSelectedFolder> selectedFolder() const;
  // Set before selecting: the session then never asks for QRESYNC or CONDSTORE (to measure
  // and test the road of servers that offer neither).
  void setResyncExtensionsDisabled(bool disabled) { resyncDisabled_ = disabled; }
  bool createFolder(std::string_view folder, LibEtPanError* error = nullptr);
  // RFC 3501 §6.3.11 APPEND: stores `message` (RFC 5322 bytes, CR LF line ends) in
  // `folder` with the \Seen flag, the way a sent copy is filed.
  bool appendSeenMessage(std::string_view folder, std::string_view message,
                         LibEtPanError* error = nullptr);
  // RFC 3501 §6.3.5 RENAME and §6.3.4 DELETE of a folder (server paths).
  bool renameFolder(std::string_view from, std::string_view to, LibEtPanError* error = nullptr);
  bool deleteFolder(std::string_view folder, LibEtPanError* error = nullptr);
  // APPEND with the given flags ("\\Seen", "\\Draft"); the new copy's UID when the server
  // offers UIDPLUS (RFC 4315), else 0. Nothing on failure.
  std::optional<uint32_t> appendMessage(std::string_view folder, std::string_view message,
                                        const std::vector<std::string>& flags,
                                        LibEtPanError* error = nullptr);
  std::optional<std::vector<std::string>> fetchFoldersWithError(LibEtPanError* error = nullptr);
  // The same LIST, each name with its attributes.
  std::optional<std::vector<ImapListedFolder>> fetchFoldersWithFlagsWithError(
      LibEtPanError* error = nullptr);

  // UID listings. `toUID` 0 = no upper bound; `limit` 0 = no limit. The date is read in
  // the user's local calendar and time zone (day, month, year); nothing means ALL.
  std::optional<std::vector<ImapUidEntry>> fetchMessagesFromUID(uint32_t fromUID, uint32_t toUID,
                                                                LibEtPanError* error = nullptr);
  std::optional<std::vector<ImapUidEntry>> fetchMessagesSinceDate(
      std::optional<std::chrono::system_clock::time_point> date, uint64_t limit,
      LibEtPanError* error = nullptr);
  std::optional<std::vector<ImapUidEntry>> searchMessagesWithQuery(std::string_view query,
                                                                   uint64_t limit,
                                                                   LibEtPanError* error = nullptr);
  std::optional<std::vector<ImapUidEntry>> fetchLatestMessagesWithLimit(
      uint64_t limit, LibEtPanError* error = nullptr);

  // Nothing without an error when the server returned no message.
  std::optional<ImapHeaderRecord> fetchMessageHeadersWithUID(uint32_t uid,
                                                             LibEtPanError* error = nullptr);
  std::optional<std::vector<ImapHeaderRecord>> fetchBatchMessageHeadersWithUIDs(
      const std::vector<uint32_t>& uids, LibEtPanError* error = nullptr);

  // The whole raw message (sets \Seen on the server).
  std::optional<std::string> fetchMessageBodyWithUID(uint32_t uid, LibEtPanError* error = nullptr);
  // RFC822.SIZE of each of `uids` that the selected folder holds, in one UID FETCH.
  std::optional<std::vector<std::pair<uint32_t, uint64_t>>> fetchMessageSizesWithUIDs(
      const std::vector<uint32_t>& uids, LibEtPanError* error = nullptr);
  // The whole raw messages of `uids` in one UID FETCH of BODY.PEEK[] (RFC 3501 §6.4.5: \Seen
  // stays as it is), as (UID, bytes); UIDs the folder no longer holds are left out. The
  // whole answer is held in memory: the caller bounds the batch.
  std::optional<std::vector<std::pair<uint32_t, std::string>>> peekRawMessagesWithUIDs(
      const std::vector<uint32_t>& uids, LibEtPanError* error = nullptr);
  // The raw, still transfer-encoded bytes of one body part ("2", "1.2"); nothing without
  // an error when the server sent no data.
  std::optional<std::string> fetchMessagePartWithUID(uint32_t uid, std::string_view partPath,
                                                     LibEtPanError* error = nullptr);

  bool markAsReadWithUID(uint32_t uid, LibEtPanError* error = nullptr);
  bool markAsUnreadWithUID(uint32_t uid, LibEtPanError* error = nullptr);
  bool addFlaggedWithUID(uint32_t uid, LibEtPanError* error = nullptr);
  bool removeFlaggedWithUID(uint32_t uid, LibEtPanError* error = nullptr);
  // `flag` is the IMAP form ("\\Seen"); `sign` +1 adds, -1 removes; `action` names the
  // operation in messages.
  bool storeFlagWithUID(uint32_t uid, std::string_view flag, int sign, std::string_view action,
                        LibEtPanError* error = nullptr);
  // Both remove only this UID from the selected folder: UID MOVE (RFC 6851) when the server
  // offers MOVE, else COPY + \Deleted + UID EXPUNGE (RFC 4315); without UIDPLUS a plain
  // EXPUNGE, and only when no other message of the folder carries \Deleted. Otherwise the
  // source copy stays flagged and `removal` (when given) says flaggedOnly.
  bool deleteAndExpungeWithUID(uint32_t uid, LibEtPanError* error = nullptr,
                               ImapSourceRemoval* removal = nullptr);
  bool moveMessageWithUID(uint32_t uid, std::string_view toFolder, LibEtPanError* error = nullptr,
                          ImapSourceRemoval* removal = nullptr);

  // Batches over the selected folder, one command each: STORE of one flag on a UID set;
  // UID MOVE of a set (one message at a time, as moveMessageWithUID, without MOVE); \Deleted
  // and UID EXPUNGE of a set (one at a time without UIDPLUS).
  bool storeFlagWithUIDs(const std::vector<uint32_t>& uids, std::string_view flag, int sign,
                         LibEtPanError* error = nullptr);
  bool moveMessagesWithUIDs(const std::vector<uint32_t>& uids, std::string_view toFolder,
                            LibEtPanError* error = nullptr);
  bool deleteAndExpungeWithUIDs(const std::vector<uint32_t>& uids, LibEtPanError* error = nullptr);
  // The UIDs of the selected folder whose Message-ID header contains `messageId`.
  std::optional<std::vector<uint32_t>> searchUIDsWithMessageId(std::string_view messageId,
                                                               LibEtPanError* error = nullptr);

  // Whether the server announces `name` (RFC 3501 §7.2.1). Asks with CAPABILITY once per
  // session, after login; false without a client handle or when the server cannot be asked.
  bool hasCapability(const char* name);
  // Whether the selected folder holds `uid`, and that message's Message-ID header
  // (BODY.PEEK, so \Seen is left alone). Nothing on failure.
  std::optional<ImapUidIdentity> fetchMessageIdentityWithUID(uint32_t uid,
                                                             LibEtPanError* error = nullptr);

  bool hasIdleCapability();
  bool idleWithError(LibEtPanError* error = nullptr);
  bool idleDoneWithError(LibEtPanError* error = nullptr);
  // The connection's socket, for waiting until the server speaks while idling; -1 when
  // there is no client handle.
  int idleFd() const;
  bool noopWithError(LibEtPanError* error = nullptr);

  void disconnect();
  // After an answer libetpan could not parse (which ends the connection): a new connection,
  // logged in, with the folder selected last selected again (plain SELECT). Fails when any
  // step fails or when the folder's UIDVALIDITY changed in between, as the caller's UIDs
  // then name other messages.
  bool reconnect(LibEtPanError* error = nullptr);

  // IMAP modified UTF-7 (folder names), both directions.
  static std::string encodeModifiedUTF7(std::string_view text);
  static std::string decodeModifiedUTF7(std::string_view text);

 private:
  LibEtPanIMAPSession(mailimap* imap, std::string host, int64_t port, std::string encryption,
                      std::string username, std::string password);
  // UID SEARCH DELETED: the UIDs of the selected folder flagged \Deleted.
  std::optional<std::vector<uint32_t>> deletedUIDs(LibEtPanError* error);

  // Connects, greets and (for "startTLS") upgrades; the libetpan result code.
  int openConnection();
  // libetpan's parser stops where an answer failed to parse and would take the rest of it
  // for the answers to later commands: after a parse failure (`code`), the connection sends
  // and reads nothing more.
  void noteParseFailure(int code) const;
  // Records a failure whose description gets, after the code, why the connection was
  // given up or the server's own text when it refused the command.
  LibEtPanFailure fail(LibEtPanError* error, int code, std::string description) const;
  // A command libetpan answered with `code`: logs `logged` + code, fails with
  // `label` + ": " + code.
  LibEtPanFailure commandFailed(LibEtPanError* error, int code, std::string_view logged,
                                std::string_view label) const;

  // Releasing the handle logs out first when a connection is open.
  struct HandleRelease {
    void operator()(mailimap* imap) const;
  };
  std::unique_ptr<mailimap, HandleRelease> imap_;
  std::string host_;
  int64_t port_ = 0;
  std::string encryption_;
  std::string username_;
  std::string password_;
  std::optional<std::string> oauth2AccessToken_;
  std::optional<std::string> selectedName_;  // the folder selected last, as the caller named it
  bool capabilitiesAsked_ = false;
  bool qresyncEnabled_ = false;
  bool resyncDisabled_ = false;
  std::chrono::milliseconds timeout_;
  std::optional<std::chrono::milliseconds> greetingTimeout_;
  CertificateTrust trust_;
  std::unique_ptr<MailTransport> transport_;
};

}  // namespace kestrova::mail
