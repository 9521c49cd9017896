#pragma once

#include <vector>

#include "store/email_message.h"

namespace kestrova::store {

class EmailDatabase;

// Puts downloaded bodies onto their stored rows, in one transaction. Only the body columns
// come from each record: text and HTML, remote resources, attachment metadata (never their
// bytes), the preview when the row has none, and the body-loaded time. Everything else on
// the row stays as it is now, not as it was when the download started: another process may
// have tagged, moved or marked the message meanwhile. `markRead` also sets the row read (a
// download that sets \Seen on the server). Rows that are gone are skipped; returns how many
// were written.
size_t save_downloaded_bodies(EmailDatabase& database, const std::vector<EmailMessage>& downloaded,
                              bool markRead);

}  // namespace kestrova::store
