#pragma once

#include <optional>
#include <string_view>

#include "store/email_message.h"

namespace kestrova::store {

class Connection;

// The stored row of one message with its attachments, or nothing when there is no such row
// (or its id or account is not a UUID). The follow-up, snooze and note services start every
// change from this copy rather than from the caller's record: the mail store's all-copies
// update writes every flag of the record it is given, so an older record would undo marks
// set since it was read.
std::optional<EmailMessage> read_stored_message(Connection& c, std::string_view id);

// The fields a one-line listing of the message shows: ids, folder, subject, sender, date and
// the read, starred, attachment, deleted and spam flags. Bodies, contact lists, AI columns and
// attachments stay empty: a search listing fifty messages would otherwise read fifty bodies
// (and their overflow pages) and fifty attachment lists to print fifty lines. Nothing when
// read_stored_message would give nothing.
std::optional<EmailMessage> read_listed_message(Connection& c, std::string_view id);

}  // namespace kestrova::store
