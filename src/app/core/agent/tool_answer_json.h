#pragma once

#include <string>
#include <string_view>

#include "store/database.h"
#include "util/json.h"

namespace kestrova::app {

// The JSON forms the tool server answers with and the command line's --json prints, so
// that scripts and agents see the same field names.

// The eleven-key summary of one email_messages row (the statement selects every column),
// appended as compact JSON with sorted keys. With `with_bodies` the object also has cc, bcc,
// textBody and htmlBody (the single-message form).
void append_message_summary(std::string& out, const store::Statement& row,
                            bool with_bodies = false);

// The account list: id, email, displayName, provider, isEnabled, isDefault.
Json accounts_json(store::Connection& c);
// An account's folders: id, name, type, path, unreadCount, totalCount (the trash counting
// deleted mail, the spam folder mail marked as spam).
Json folders_json(store::Connection& c, const std::string& account_id);

// One row of `email_action_items`: id, messageId, accountId, title, state, source, dueAt,
// snoozedUntil, completedAt, createdAt, updatedAt.
Json action_item_json(const store::Statement& row);
// One row of `contacts`: id, email, name, frequency, lastUsed, source, category, note,
// trainedAt.
Json contact_json(const store::Statement& row);

// "yyyy-MM-ddTHH:mm:ssZ" of a REAL column; `when_null` when the column is NULL.
Json iso_date_column(const store::Statement& row, std::string_view column, Json when_null);
// The text of a column, or JSON null.
Json nullable_text(const store::Statement& row, std::string_view column);
std::string text_column(const store::Statement& row, std::string_view column);
bool flag_column(const store::Statement& row, std::string_view column);

}  // namespace kestrova::app
