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

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::mail {

// What identifies a message that has no Message-ID: its date to the second, its sender's
// address and its subject, as the envelope gives them. Two messages with the same key are
// told apart by nothing the server offers cheaply, so a key that is not unique confirms
// nothing.
std::string messageContentKey(std::string_view subject, std::string_view fromEmail, double date);
std::string messageContentKey(const store::EmailMessage& message);

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
  // The server holds exactly `held` among the UIDs low..high of the folder: rows filed in it
  // with another UID in that range were expunged elsewhere.
  void listed(uint32_t low, uint32_t high, const std::vector<uint32_t>& held);

  const Report& report() const { return report_; }
  // Whether expunges of the whole folder are already known from the SELECT.
  bool resynchronised() const { return report_.resynchronised; }

 private:
  // Forgets the folder's UIDs and finds its messages again in the selected folder.
  bool renumber(LibEtPanIMAPSession& session, LibEtPanError* error);
  void remove(const std::vector<std::string>& rowIds);

  store::EmailDatabase& database_;
  store::EmailAccount account_;
  store::EmailFolder folder_;
  Report report_;
};

}  // namespace kestrova::mail
