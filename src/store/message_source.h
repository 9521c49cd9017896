#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova::store {

class Connection;

// The original bytes of messages of which this computer holds the only copy: mail imported
// from a Maildir or an mbox file, and the messages a local-only account keeps. Read, raw
// source, attachments and export of such a message come from these bytes, as they come from
// the server for synchronised mail. Stored in the database, one row per message row, as
// written (line ends and all); a message row that is deleted takes its bytes with it, a
// row rewritten in place (an upsert of the same id) keeps them.

// Creates the table and the trigger that removes the bytes of deleted rows (idempotent).
void create_message_sources(Connection& c);

// Keeps `raw` for the stored row `messageRowId`, replacing bytes kept before; does nothing
// when there is no such row. Call inside a write transaction.
void keep_message_source(Connection& c, const std::string& messageRowId, std::string_view raw);

// The bytes kept for the row, or nothing.
std::optional<std::string> kept_message_source(Connection& c, const std::string& messageRowId);

}  // namespace kestrova::store
