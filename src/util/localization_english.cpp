#include "util/localization_tables.h"

namespace kestrova::detail {

// English texts, grouped like the Chinese table.
const TextTable& english_texts() {
  static const TextTable table = {
      // Folders and message lists.
      {"email.folder.drafts", "Drafts"},
      {"email.folder.sent", "Sent"},
      {"email.no.subject", "(no subject)"},
      // Questions about mail and background AI analysis.
      {"qa.scope.message", "Message"},
      {"qa.scope.thread", "Thread"},
      {"qa.scope.folder", "Folder"},
      {"chat.scope.account", "Account"},
      {"qa.error.privacy_mode",
       "Super privacy mode is on, so AI questions are unavailable. Turn it off in the settings and "
       "try again."},
      {"qa.error.account_privacy",
       "This mail account is in privacy mode: its mail is not sent to AI services."},
      {"qa.error.empty_response",
       "The AI service returned nothing. Check the AI configuration (Settings → AI & Models) or "
       "try again later."},
      {"ai.ask.action", "AI question"},
      {"ai.ask.no_scope",
       "Choose what the question is about with --message, --thread, --folder or --account"},
      {"ai.ask.other_scope",
       "The previous conversation was about something else; starting a new one."},
      {"ai.analyze.super_privacy", "Super privacy mode is on: mail is not sent to AI services."},
      {"ai.analyze.none", "No messages need analysis."},
      {"ai.analyze.progress", "Analysed %d of %d messages"},
      {"ai.analyze.done", "Done: %d messages got AI tags or a priority, %d failed."},
  };
  return table;
}

}  // namespace kestrova::detail
