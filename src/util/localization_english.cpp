#include "util/localization_tables.h"

namespace kestrova::detail {

// English texts, grouped like the Chinese table.
const TextTable& english_texts() {
  static const TextTable table = {
      // Folders and message lists.
      {"email.folder.drafts", "Drafts"},
      {"email.folder.sent", "Sent"},
      {"email.no.subject", "(no subject)"},

      // AI on a message: refusals, languages, saved action items.
      {"ai.mail.error.privacy_mode",
       "Super privacy mode is on, so AI mail features are unavailable. Turn it off in the "
       "settings and try again."},
      {"ai.mail.error.account_privacy",
       "This mail account is in privacy mode: its mail is not sent to AI services."},
      {"ai.mail.actions.saved", "Added to the action items: %d"},
      {"email.language.chinese", "Chinese"},
      {"email.language.english", "English"},
      {"email.language.japanese", "Japanese"},
      {"email.language.korean", "Korean"},
      {"ai.rule.saved",
       "Saved the script rule \"%@\" (%@), switched off: Kestrova does not run script rules"},
      {"ai.mail.error.empty_response",
       "The AI service returned nothing. Check the AI configuration (Settings → AI and models) "
       "or try again later."},
  };
  return table;
}

}  // namespace kestrova::detail
