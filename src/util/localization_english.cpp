#include "util/localization_tables.h"

namespace kestrova::detail {

// English texts, grouped like the Chinese table.
const TextTable& english_texts() {
  static const TextTable table = {
      // Folders and message lists.
      {"email.folder.drafts", "Drafts"},
      {"email.folder.sent", "Sent"},
      {"email.no.subject", "(no subject)"},

      // Local-only accounts, folder management, drafts on the server, archive upload.
      {"local_account.label", "local account (no server)"},
      {"local_account.added", "Local account added: %@ (%@)"},
      {"local_account.no_servers",
       "A local account has no servers: --local cannot go with server, password or certificate "
       "options"},
      {"local_account.no_sync", "%@ is a local account, without a server to connect to"},
      {"local_account.no_send",
       "%@ is a local account without an outgoing server; it cannot send mail"},
      {"local_account.nothing_to_sync", "No account to sync (local accounts have no server)"},
      {"folder.name.invalid", "A folder name cannot be empty or hold line breaks"},
      {"folder.exists", "Folder \"%@\" already exists (account %@)"},
      {"folder.created", "Folder \"%@\" created (account %@)"},
      {"folder.rename.refused", "Folder \"%@\" cannot be renamed"},
      {"folder.renamed", "Folder \"%@\" renamed to \"%@\""},
      {"folder.delete.inbox", "The inbox cannot be deleted"},
      {"folder.delete.confirm", "Delete folder \"%@\" and its %d messages?"},
      {"folder.deleted", "Folder \"%@\" deleted"},
      {"draft.none", "(no drafts)"},
      {"draft.not_draft", "Not a draft: %@"},
      {"draft.saved", "Draft saved: %@"},
      {"draft.deleted", "Draft deleted: %@"},
      {"draft.delete.confirm", "Delete draft \"%@\" (and its copy on the server)?"},
      {"draft.edit.terminal", "Editing a draft needs a terminal"},
      {"draft.edit.unchanged", "Draft unchanged"},
      {"draft.edit.bad_line",
       "Unrecognised line (only To, Cc, Bcc and Subject; the text follows an empty line): %@"},
      {"draft.server.later",
       "The server copy of the draft could not be updated now; kestrova run retries"},
      {"import.stays_local",
       "These messages are kept on this computer only; add --upload to file them in the server "
       "folder too"},
      {"import.upload.local_folder", "A local folder has no server copy; --upload does not apply"},
      {"import.upload.progress", "Uploaded %d, already on the server %d"},
      {"import.upload.failed", "Upload failed: %@: %@"},
      {"import.upload.done",
       "Uploaded to server folder \"%@\": %d new, %d already there, %d failed"},
  };
  return table;
}

}  // namespace kestrova::detail
