#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "store/email_account.h"
#include "store/email_folder.h"
#include "store/email_message.h"

namespace kestrova::store {
class Connection;
class EmailStore;
}

namespace kestrova::mail {

class EmailService;

// The road of newly fetched mail into the local store, as one operation for the command
// line and the background receiver: fetch from the server, leave out inbox messages
// archived elsewhere, keep what is already stored (with the user's marks and annotations)
// and take only the server's flags from the fresh record, let the incoming-mail hooks look
// at the messages not stored before, save the batch in one transaction, and report which
// messages are new.
//
// Blocks on the network and the database: call it off the interface thread.
class EmailSyncFlow {
 public:
  // What a folder's synchronisation did.
  struct FolderResult {
    store::EmailFolder folder;
    size_t fetched = 0;  // records the server gave (first load and background chunks)
    size_t stored = 0;   // records written (new and updated)
    std::vector<store::EmailMessage> newMessages;  // not stored before, newest first
    size_t removed = 0;       // stored messages the server no longer has, removed
    bool renumbered = false;  // the server renumbered the folder (UIDVALIDITY changed)
  };
  // Progress of one folder: records handled so far out of the UIDs listed (0 while
  // unknown).
  using Progress = std::function<void(const store::EmailFolder& folder, size_t done, size_t total)>;
  // Looks at (and may change or drop from) the messages of a fetched batch that were not
  // stored before, before they are stored: where rules and the junk filter come in.
  using IncomingHook =
      std::function<void(const store::EmailAccount& account, std::vector<store::EmailMessage>& batch)>;

  EmailSyncFlow(store::EmailStore& store, EmailService& service);

  std::vector<IncomingHook> incomingHooks;
  // False: folders are listed and stored without the check of their UIDVALIDITY and
  // without removing what the server no longer has (only for measuring what both cost).
  bool reconcile = true;

  // Fetches the server's folder list and stores it: a folder already stored under the same
  // path keeps its row (id, counts, last sync), new ones are added. Folders that are gone
  // from the server keep their rows and messages. Returns the account's stored folders.
  std::vector<store::EmailFolder> syncFolders(const store::EmailAccount& account,
                                              const std::optional<std::string>& password);

  // Synchronises one folder's newest `limit` messages (all when 0; since `since` when given). The
  // remainder beyond the first load arrives through the background loader, which is waited
  // for when `waitForBackground` (its batches are stored the same way). Afterwards the
  // folder's last sync date and counts are updated.
  FolderResult syncFolder(const store::EmailAccount& account,
                          const std::optional<std::string>& password,
                          const store::EmailFolder& folder, std::optional<double> since,
                          uint64_t limit, bool waitForBackground = true,
                          const Progress& progress = {});

  // False for a folder that the last syncFolders of its account found listed as not
  // selectable: it holds no messages of its own and SELECT on it fails.
  bool isSelectable(const store::EmailFolder& folder) const;

  // Records the time of the account's last completed synchronisation.
  void recordAccountSync(const store::EmailAccount& account);

 private:
  // Hooks, inbox exclusion, merge with stored copies, save; returns the new messages.
  // `alongside` runs in the save's write transaction, after the conversations; it does not
  // run when nothing is left to save.
  std::vector<store::EmailMessage> storeBatch(
      const store::EmailAccount& account, const store::EmailFolder& folder,
      std::vector<store::EmailMessage> batch, size_t& stored,
      const std::function<void(store::Connection&)>& alongside = {});

  store::EmailStore& store_;
  EmailService& service_;
  mutable std::mutex unselectableLock_;
  std::set<std::pair<std::string, std::string>> unselectable_;  // (account id, path)
};

}  // namespace kestrova::mail
