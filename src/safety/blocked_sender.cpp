#include "safety/blocked_sender.h"

#include "store/database.h"
#include "store/row_reader.h"
#include "util/time.h"

namespace kestrova::safety {

std::optional<BlockedSender> BlockedSender::from_row(const store::Statement& row) {
  store::RowReader r(row);
  auto id = r.uuid("id");
  auto account = r.uuid("account_id");
  if (!id || !account) return std::nullopt;
  BlockedSender entry;
  entry.id = std::move(*id);
  entry.accountId = std::move(*account);
  entry.email = r.text("email");
  entry.note = r.optional_text("note");
  entry.createdAt = r.date("created_at");
  entry.updatedAt = r.date("updated_at");
  return entry;
}

OrderedJson BlockedSender::to_json() const {
  OrderedJson out = OrderedJson::object();
  out["id"] = id;
  out["accountId"] = accountId;
  out["email"] = email;
  if (note) out["note"] = *note;
  out["createdAt"] = iso8601_utc(createdAt);
  out["updatedAt"] = iso8601_utc(updatedAt);
  return out;
}

}  // namespace kestrova::safety
