#include "util/localization_tables.h"

namespace kestrova::detail {

// English texts, grouped like the Chinese table.
const TextTable& english_texts() {
  static const TextTable table = {
      // Folders and message lists.
      {"sync.bodies.progress", "%@: bodies %d/%d"},
      {"sync.bodies.done", "%@: %d bodies downloaded (of %d wanted)"},
      {"sync.bodies.failed", "Downloading the bodies of some folders failed"},
      {"mail.body.notDownloaded",
       "(The body is not downloaded yet: kestrova run downloads it in the background, or run "
       "kestrova sync --bodies)"},
      {"email.folder.drafts", "Drafts"},
      {"email.folder.sent", "Sent"},
      {"email.no.subject", "(no subject)"},
  };
  return table;
}

}  // namespace kestrova::detail
