#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mail/libetpan_imap_session.h"
#include "store/email_account.h"
#include "store/email_folder.h"
#include "store/email_message.h"
#include "store/folder_sync_state.h"

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::mail {

// What identifies a message that has no Message-ID: its date to the second, its sender's
// address and its subject, as the envelope gives them, and its size (RFC822.SIZE) where it
// is known. Messages equal in all of these are told apart by nothing the server offers
// cheaply, so an identity that is not unique confirms nothing.
std::string messageContentKey(std::string_view subject, std::string_view fromEmail, double date);
struct MessageContent {
  std::string key;  // messageContentKey of the envelope
  std::optional<uint64_t> size;
  // The same message as far as both tell: the same envelope, and the same size unless one
  // side does not know it (rows stored before sizes were kept).
  bool matches(const MessageContent& other) const;
};
MessageContent messageContent(const store::EmailMessage& message);

// Keeps the rows of one folder in line with the server whenever a session selects it:
//  - the folder's UIDVALIDITY is kept; when the server reports another value, every UID the
//    store holds for the folder is forgotten before anything uses it, the messages are found
//    again (by Message-ID, else by content key) and given their new UIDs, and the waiting
//    journal entries of the folder follow them or, for messages not found, are dropped;
//  - messages the server expunged leave the store, local-only state and waiting entries
//    with them: under QRESYNC, when the folder's mod-sequence moved, from VANISHED (EARLIER)
//    or else one UID SEARCH ALL of the whole folder; without it, the UIDs missing from a
//    listing of a range.
// One reconciler serves one selection of one folder in one session.
class FolderReconciler {
 public:
  struct Report {
    bool renumbered = false;      // UIDVALIDITY differed from the stored value
    bool resynchronised = false;  // selected with QRESYNC against the stored state
    size_t refound = 0;           // rows given their UID in the new numbering
    size_t removed = 0;           // rows removed (expunged elsewhere, or not found again)
    size_t droppedChanges = 0;    // journal entries dropped with their message
  };

  FolderReconciler(store::EmailDatabase& database, store::EmailAccount account,
                   store::EmailFolder folder);

  // Selects the folder (with QRESYNC or CONDSTORE where the server offers them) and brings
  // the store in line with what the SELECT told. Nothing on failure, with `error` filled.
  std::optional<ImapSelectedFolder> select(LibEtPanIMAPSession& session,
                                           LibEtPanError* error = nullptr);
  // Selects the folder for commands that name UIDs the store holds (bodies, attachments,
  // flags, moves, deletes, header loads). The UIDVALIDITY this SELECT reports is compared
  // with the stored one; another value renumbers the folder's rows as `select` does, before
  // the caller sends anything, and report().renumbered tells the caller that every UID it
  // read before this call is void. Expunges elsewhere are left to the next sync.
  std::optional<ImapSelectedFolder> selectForUids(LibEtPanIMAPSession& session,
                                                  LibEtPanError* error = nullptr);
  // The server holds exactly `held` among the UIDs low..high of the folder: rows filed in it
  // with another UID in that range were expunged elsewhere.
  void listed(uint32_t low, uint32_t high, const std::vector<uint32_t>& held);

  // A folder the store holds no state for yet gets its first one (UIDVALIDITY and
  // mod-sequence, as select found them) from writeFirstState, in the transaction that stores
  // its first messages, instead of right after the SELECT: UIDs are never stored without the
  // numbering they belong to, and a first load commits once less. When the caller never
  // calls it (the load failed), the folder stays without state, as if never selected.
  void deferFirstState() { deferFirstState_ = true; }
  void writeFirstState(store::Connection& c);
  bool firstStateWaiting() const { return firstState_.has_value(); }

  const Report& report() const { return report_; }
  // Whether expunges of the whole folder are already known from the SELECT.
  bool resynchronised() const { return report_.resynchronised; }

 private:
  // Renumbers the folder when the stored UIDVALIDITY differs from the selected one, and
  // keeps the new value. False when finding the messages again failed.
  bool followNumbering(LibEtPanIMAPSession& session,
                       const std::optional<store::FolderSyncState>& known,
                       const ImapSelectedFolder& selected, LibEtPanError* error);
  // Forgets the folder's UIDs and finds its messages again in the selected folder.
  bool renumber(LibEtPanIMAPSession& session, LibEtPanError* error);
  void remove(const std::vector<std::string>& rowIds);

  store::EmailDatabase& database_;
  store::EmailAccount account_;
  store::EmailFolder folder_;
  Report report_;
  bool deferFirstState_ = false;
  std::optional<store::FolderSyncState> firstState_;  // waiting for writeFirstState
};

}  // namespace kestrova::mail
