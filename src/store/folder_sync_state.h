#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/server_change_journal.h"

namespace kestrova::store {

class Connection;

// What the store remembers of a server folder between sessions: its UIDVALIDITY (RFC 3501
// §2.3.1.1: a UID names a message only while this value stays the same) and the highest
// mod-sequence seen (RFC 7162), keyed by account and folder path. Every function takes the
// connection of a read or write block of EmailDatabase.
struct FolderSyncState {
  uint32_t uidValidity = 0;
  uint64_t highestModSeq = 0;
};

std::optional<FolderSyncState> folder_sync_state(Connection& c, const std::string& accountId,
                                                 const std::string& path);
void save_folder_sync_state(Connection& c, const std::string& accountId, const std::string& path,
                            const FolderSyncState& state);

// A row whose UID is a UID of one server folder, with what identifies its message there.
struct HeldRow {
  std::string id;
  std::optional<uint32_t> uid;
  std::optional<std::string> messageId;
  std::string subject;
  std::string fromEmail;
  double date = 0;
  std::optional<uint64_t> size;  // RFC822.SIZE, when a sync stored it
  bool filedHere = false;  // filed in the folder locally (not only waiting to leave it)
};

// The rows the server holds in folder `folderId` (server path `path`) as far as the store
// knows: those filed in it, unless a move or delete from another folder is still waiting
// for them, and those a move or delete from this folder is still waiting for.
std::vector<HeldRow> rows_held_in(Connection& c, const std::string& accountId,
                                  const std::string& folderId, const std::string& path);

// The rows filed in folder `folderId` (server path `path`) whose UID lies in low..high, as
// (row id, UID), leaving out those a move or delete to elsewhere is still waiting for: what
// the server must hold of that range. Reads the UID index only, not the rows.
std::vector<std::pair<std::string, uint32_t>> filed_uids_in(Connection& c,
                                                            const std::string& accountId,
                                                            const std::string& folderId,
                                                            const std::string& path, uint32_t low,
                                                            uint32_t high);

// The folder was renumbered: the rows it holds and the journal entries waiting for it
// forget their UIDs.
void forget_folder_uids(Connection& c, const std::string& accountId, const std::string& folderId,
                        const std::string& path);
// The row's message was found again under `uid` in folder `path`; the row and its journal
// entries for that folder take the UID.
void assign_folder_uid(Connection& c, const std::string& rowId, const std::string& path,
                       uint32_t uid);

// Removes rows whose messages the server no longer has, and with them their local-only
// state (tags, notes, reply-later, labels, action items) and search entries. Their waiting
// journal entries are dropped and returned, so that the caller can report them. A row with
// a Message-ID leaves its local state aside for a copy of the same message in another
// folder (the message was moved rather than deleted): restore_moved_state hands it over.
std::vector<ServerChange> remove_vanished_rows(Connection& c,
                                               const std::vector<std::string>& rowIds);
// Gives rows of the account the local state that removed rows with the same Message-ID
// left aside, where the row has none of its own; returns how many rows took some. State
// left aside for thirty days without a copy turning up is forgotten.
size_t restore_moved_state(Connection& c, const std::string& accountId);

}  // namespace kestrova::store
