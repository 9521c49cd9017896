#include "store/message_source.h"

#include "store/database.h"
#include "util/time.h"

namespace kestrova::store {

void create_message_sources(Connection& c) {
  // No foreign key: INSERT OR REPLACE of a message row (the upsert of an existing id) deletes
  // the old row first, and a cascade would take the bytes with it. A delete trigger runs only
  // for real deletes (recursive triggers are off), including those of an account's cascade.
  c.execute(R"(CREATE TABLE IF NOT EXISTS message_sources (
    message_row_id TEXT PRIMARY KEY,
    raw BLOB NOT NULL,
    kept_at REAL NOT NULL
))");
  c.execute(
      "CREATE TRIGGER IF NOT EXISTS message_sources_after_delete AFTER DELETE ON email_messages "
      "BEGIN DELETE FROM message_sources WHERE message_row_id = old.id; END");
}

void keep_message_source(Connection& c, const std::string& messageRowId, std::string_view raw) {
  c.prepare(
       "INSERT OR REPLACE INTO message_sources (message_row_id, raw, kept_at) SELECT id, ?, ? "
       "FROM email_messages WHERE id = ?")
      .bind_all(Blob{raw}, now_seconds(), messageRowId)
      .run();
}

std::optional<std::string> kept_message_source(Connection& c, const std::string& messageRowId) {
  auto s = c.prepare("SELECT raw FROM message_sources WHERE message_row_id = ?");
  s.bind(1, messageRowId);
  if (!s.step()) return std::nullopt;
  return s.text(0).value_or("");
}

}  // namespace kestrova::store
