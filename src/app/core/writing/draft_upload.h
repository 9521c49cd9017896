#pragma once

#include <cstddef>
#include <string>

namespace kestrova::store {
class Connection;
class EmailDatabase;
struct EmailAccount;
struct EmailMessage;
}  // namespace kestrova::store

namespace kestrova::mail {
class EmailService;
struct BuiltMessage;
}  // namespace kestrova::mail

namespace kestrova::app {

// The server copies of drafts. A draft written here (by the agent's create_draft, by
// `kestrova draft edit`, or saved when a send is given up) is marked for upload; the service
// then files it in the account's drafts folder on the server with \Draft, replacing the copy
// filed before (found by the draft's Message-ID), and a deleted draft's copy is removed.
// Marks live in the table draft_server_copies, one row per draft id; a mark that failed
// keeps its error and is retried on the next pass. Drafts of local-only accounts are never
// marked.

// The draft as an RFC 5322 message, as it is filed on the server: From the account, its
// Message-ID when it has one (else a new one), its Bcc kept.
mail::BuiltMessage draft_message_text(const store::EmailAccount& account,
                                      const store::EmailMessage& draft);

// Creates the table when it is missing (idempotent; inside any transaction).
void ensure_draft_upload_table(store::Connection& c);

// Marks the draft for upload (after it was written) or, when its row is gone, for removal
// from the server. Does nothing for drafts of local-only accounts. Call inside the write
// transaction that changed the draft.
void mark_draft_for_upload(store::Connection& c, const std::string& draftId);

// Number of marks due now (failed ones wait for their retry time).
size_t pending_draft_uploads(store::EmailDatabase& database);

struct DraftUploadPass {
  size_t done = 0;
  size_t failed = 0;
};

// Replays the marks (all, or only `onlyDraftId`'s) against the servers: each draft as it is
// stored now goes up and replaces its earlier copy; a draft whose row is gone loses its
// copies. A mark is cleared only once the server has confirmed; a mark whose draft was
// changed again meanwhile stays for the next pass. Blocks on the network.
DraftUploadPass upload_marked_drafts(store::EmailDatabase& database, mail::EmailService& service,
                                     const std::string& onlyDraftId = {});

}  // namespace kestrova::app
