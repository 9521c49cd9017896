#pragma once

#include "rules/email_rule_service.h"
#include "store/database.h"

namespace kestrova::app {

// Moves the messages of `move` on the IMAP server, from each message's former folder to the
// target folder, on a thread of its own inside the process-wide work group (entered before
// this returns, left when the work ends however it ends). The moves are first recorded in
// the journal of server changes, then the account's due entries are replayed; what fails or
// is cut short stays in the journal for the service. Failures are logged and leave the
// local change as it is.
void start_rule_server_move(store::EmailDatabase& database, rules::PendingRuleServerMove move);

}  // namespace kestrova::app
