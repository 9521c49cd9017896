#include "util/localization_tables.h"

namespace kestrova::detail {

// English texts, grouped like the Chinese table.
const TextTable& english_texts() {
  static const TextTable table = {
      // Folders and message lists.
      {"email.folder.drafts", "Drafts"},
      {"email.folder.sent", "Sent"},
      {"email.no.subject", "(no subject)"},
      {"status.pending.changes", "Changes waiting for the server: %d (sent by kestrova run)"},
      {"status.failing.change", "  failed %d times: %@ %@ — %@"},
  };
  return table;
}

}  // namespace kestrova::detail
