#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "mail/email_service.h"
#include "store/database.h"
#include "store/email_account.h"

namespace kestrova::mail {

// What one replay did.
struct ServerChangeReplayReport {
  size_t applied = 0;   // entries the server confirmed (and that left the journal)
  size_t failed = 0;    // entries that stay, with their error, for a later attempt
  size_t gone = 0;      // entries dropped because the server no longer has their message
  size_t refused = 0;   // entries dropped because their UID now names another message
  bool renumbered = false;  // a folder's UIDVALIDITY had changed: its messages were found again
  size_t commands = 0;  // IMAP commands sent, login and logout included
};

// Brings the mail server up to date with the journal of local changes
// (store/server_change_journal.h). One session per account and round: the due entries are
// grouped by the folder the server holds them in, then by flag and value, target folder or
// deletion, and each group goes as one command (UID STORE, UID MOVE, UID EXPUNGE of a UID
// set). Before acting the UIDs are checked against the Message-IDs recorded with them; a
// message no longer under its UID is looked up by Message-ID, first where it was and then
// where the change was taking it, so that a change applied by an earlier, interrupted
// replay is recognised rather than applied again. An entry leaves the journal only in a
// write after the server confirmed its command; failures stay with the error text and wait
// for their backoff. Blocks on network I/O. Replays of one process run one at a time.
ServerChangeReplayReport replayServerChanges(store::EmailDatabase& database,
                                             const EmailService& service,
                                             const store::EmailAccount& account);
// The same with the account's credential given rather than read from the credential store.
ServerChangeReplayReport replayServerChanges(store::EmailDatabase& database,
                                             const EmailService& service,
                                             const store::EmailAccount& account,
                                             const std::optional<std::string>& password);

// The same for every account with due entries. Accounts without an IMAP server are
// skipped (no entry is ever recorded for them).
ServerChangeReplayReport replayAllServerChanges(store::EmailDatabase& database,
                                                const EmailService& service);

}  // namespace kestrova::mail
