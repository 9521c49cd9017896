#include "util/localization_tables.h"

namespace kestrova::detail {

// English texts, grouped like the Chinese table.
const TextTable& english_texts() {
  static const TextTable table = {
      // Folders and message lists.
      {"email.folder.drafts", "Drafts"},
      {"email.folder.sent", "Sent"},
      {"email.no.subject", "(no subject)"},
      {"email.virtual_folder.attachments", "With attachments"},
      {"email.virtual_folder.starred", "Starred"},

      // Writing mail: undo, scheduled sending, replies and forwards.
      {"undo.send.countdown", "Sending in %d s"},
      {"undo.send.button", "Press u or Ctrl-C to undo"},
      {"scheduled.send.success.title", "Scheduled message sent"},
      {"scheduled.send.success.body", "\"%@\" was sent"},
      {"scheduled.send.failed.title", "Scheduled message not sent"},
      {"scheduled.send.failed.body", "\"%@\" could not be sent: %@"},
      {"reply.attribution", "On %@, %@ wrote:"},
      {"forward.header", "---------- Forwarded message ----------"},

      // Message export.
      {"export.from", "From"},
      {"export.to", "To"},
      {"export.cc", "Cc"},
      {"export.subject", "Subject"},
      {"export.date", "Date"},
      {"export.format.text", "Plain text"},

      // Priorities and categories of a message.
      {"priority.low", "Low"},
      {"priority.normal", "Normal"},
      {"priority.high", "High"},
      {"priority.urgent", "Urgent"},
      {"category.primary", "Primary"},
      {"category.social", "Social"},
      {"category.promotions", "Promotions"},
      {"category.updates", "Updates"},
      {"category.forums", "Forums"},

      // Reply templates: categories and the four templates an empty store starts with.
      {"template.category.reply", "Reply"},
      {"template.category.business", "Business"},
      {"template.category.personal", "Personal"},
      {"template.category.follow_up", "Follow-up"},
      {"template.category.custom", "Custom"},
      {"template.default.ack.name", "Received"},
      {"template.default.ack.body",
       "Hello,\n\nI have received your message and will get back to you soon.\n\nThank you!"},
      {"template.default.thanks.name", "Thanks"},
      {"template.default.thanks.body",
       "Hello,\n\nThank you very much for your message and your help!\n\nBest regards"},
      {"template.default.followup.name", "Follow-up"},
      {"template.default.followup.subject", "Following up: my earlier message"},
      {"template.default.followup.body",
       "Hello,\n\nI wanted to follow up on my earlier message. Have you had a chance to look at "
       "it? I look forward to your reply.\n\nThank you!"},
      {"template.default.ooo.name", "Out of office"},
      {"template.default.ooo.subject", "Out of office"},
      {"template.default.ooo.body",
       "Hello,\n\nI am currently away and cannot reply right now. I will get back to you as soon "
       "as I return.\n\nThank you for your understanding!"},

      // Action items.
      {"action.notify.wake.title", "An action item is due"},
      {"action.notify.wake.body", "\"%@\" needs your attention again"},

      // Follow-up queues and snoozing.
      {"followup.notify.reply_later.title", "Time to reply"},
      {"followup.notify.reply_later.body", "\"%@\" reached the reply time you set"},
      {"followup.notify.waiting.title", "Still waiting for a reply"},
      {"followup.notify.waiting.body", "\"%@\" has been waiting for %d days"},
      {"snooze.duration.one_hour", "In 1 hour"},
      {"snooze.duration.tonight", "Tonight"},
      {"snooze.duration.tomorrow", "Tomorrow"},
      {"snooze.duration.next_week", "Next week"},
      {"snooze.duration.custom", "Custom time…"},
      {"snooze.expired.title", "A snoozed message is back"},
      {"snooze.expired.body", "\"%@\" is back in your message list"},

      // New-mail notifications.
      {"notification.new_mail.generic", "New message received"},
      {"notification.action.mark_as_read", "Mark as read"},
      {"notification.action.reply", "Reply"},

      // Mail rules: the summary of a rule and the combined preview.
      {"rules.enabled", "enabled"},
      {"rules.disabled", "disabled"},
      {"rules.condition.from", "sender contains \"%@\""},
      {"rules.condition.subject", "subject contains \"%@\""},
      {"rules.condition.body", "body contains \"%@\""},
      {"rules.condition.hasAttachments", "has attachments"},
      {"rules.condition.noAttachments", "no attachments"},
      {"rules.condition.read", "read"},
      {"rules.condition.unread", "unread"},
      {"rules.condition.any", "all mail"},
      {"rules.action.markRead", "mark as read"},
      {"rules.action.markUnread", "mark as unread"},
      {"rules.action.important", "mark as important"},
      {"rules.action.spam", "mark as spam"},
      {"rules.action.moveToFolder.summary", "move to a folder"},
      {"rules.action.tags", "add tags: %@"},
      {"rules.action.delete", "mark as deleted"},
      {"rules.action.none", "no action"},
      {"rules.all.enabled", "All enabled rules"},

      // Privacy report: link reasons, sender trust, prompt-injection kinds.
      {"privacy.link.reason.displayMismatch",
       "The domain shown in the link text differs from the real destination"},
      {"privacy.link.reason.ipAddress", "The link points directly at an IP address"},
      {"privacy.link.reason.urlShortener", "Short link: the real destination is unknown"},
      {"privacy.link.reason.punycode", "Punycode domain, possibly disguised"},
      {"privacy.link.reason.insecureScheme", "Unencrypted http link"},
      {"privacy.sender.replyToMismatch", "The Reply-To domain (%@) differs from the sender's (%@)"},
      {"privacy.sender.displayNameMimicry",
       "The sender's display name says %@, but the sending domain is %@"},
      {"privacy.sender.bothIssues",
       "Reply-To is %@ and the sending domain is %@, while the display name says %@"},
      {"privacy.injection.kind.directInstruction", "Suspicious instruction text"},
      {"privacy.injection.kind.hiddenText", "Hidden, invisible text"},
      {"privacy.injection.kind.systemFence", "AI system prompt fence characters"},
      {"privacy.injection.kind.zeroWidthChars", "Long run of zero-width characters"},
      {"privacy.injection.snippet.zeroWidth",
       "The body contains an unusual run of zero-width characters"},

      // Sender categories.
      {"sender.category.newsletter", "Newsletter"},
      {"sender.category.paperTrail", "Paper trail"},
      {"sender.category.vip", "VIP"},
      {"sender.category.lowPriority", "Low priority"},

      // AI scenarios and service regions.
      {"ai.scenario.email_translate", "Mail translation"},
      {"ai.scenario.email_translate.desc",
       "Translates a message's body into the language you choose"},
      {"ai.scenario.email_compose", "AI writing"},
      {"ai.scenario.email_compose.desc", "Drafts or polishes a message from your notes"},
      {"ai.scenario.email_summary", "AI summary"},
      {"ai.scenario.email_summary.desc", "Sums up a message or a conversation in a few sentences"},
      {"ai.scenario.email_reply", "AI reply suggestions"},
      {"ai.scenario.email_reply.desc", "Suggests a few replies to a message you received"},
      {"ai.scenario.email_analysis", "Mail analysis"},
      {"ai.scenario.email_analysis.desc", "Finds a message's category, priority and action items"},
      {"ai.service.halvex.endpoint.cn", "China region"},
      {"ai.service.halvex.endpoint.global", "Global region"},

      // Settings.
      {"settings.mcp.error.missingExecutable",
       "Cannot determine the path of this program's executable"},

      // Command line: overview, help, the tool-server link and the mail service.
      {"cli.overview.counts", "Kestrova — accounts: %d, unread messages: %d"},
      {"cli.overview.no_database", "Kestrova — database not initialised (%@)"},
      {"cli.overview.database", "Database: %@"},
      {"cli.help.no_such_command", "No such command: %@"},
      {"cli.error", "Error: %@"},
      {"cli.installed", "Installed: %@"},
      {"cli.removed", "Removed: %@"},
      {"cli.written", "Written: %@"},
      {"cli.mcp.installed", "installed: %@"},
      {"cli.mcp.not_installed", "not installed: %@"},
      {"cli.service.not_running", "Service: not running (start it with kestrova run)"},
      {"cli.service.running", "Service: running (pid %d)"},
      {"cli.service.account", "  %@  IDLE: %@  last received: %@"},
      {"cli.service.enable_hint",
       "Enable and start now: systemctl --user daemon-reload && systemctl --user enable --now "
       "kestrova.service"},
      {"cli.service.links_hint",
       "Let this program open kestrova: links: xdg-mime default kestrova.desktop "
       "x-scheme-handler/kestrova"},
      {"cli.service.disable_hint",
       "If the service still runs: systemctl --user disable --now kestrova.service"},

      // Command line: settings and kestrova:// links.
      {"cli.settings.unknown", "Unknown setting: %@ (kestrova settings list shows them all)"},
      {"cli.settings.file", "Settings file: %@"},
      {"cli.settings.legend", "(* marks values that differ from the default)"},
      {"cli.open.message", "select the message in the main window"},
      {"cli.open.thread", "open the conversation"},
      {"cli.open.draft", "open the draft in the compose window"},
      {"cli.open.account", "select the account"},
      {"cli.open.email", "open the message in its own window"},
      {"cli.open.reply", "open the reply window"},
      {"cli.open.drafts", "show the list of drafts"},
      {"cli.open.with_chat", "%@ and show the AI chat side bar"},
      {"cli.open.will", "Will %@: %@"},
      {"cli.open.oauth_forwarded",
       "Handed the sign-in callback to the waiting kestrova account add"},

      // Command line: syncing, listing, reading and changing mail.
      {"cli.date.unreadable",
       "Unreadable date: %@ (for example 2024-10-01 or 2024-10-01T08:00:00Z)"},
      {"cli.accounts.none", "No accounts yet (add one with kestrova account add)"},
      {"cli.sync.folder_list", "%@: folder list…"},
      {"cli.sync.progress", "%@ / %@: %@ messages"},
      {"cli.sync.folder_done", "%@ / %@: %d messages, %d new"},
      {"cli.sync.folder_failed", "%@ / %@: sync failed: %@"},
      {"cli.sync.account_failed", "%@: sync failed: %@"},
      {"cli.sync.moves_unfinished",
       "Server moves started by rules and the junk filter did not finish within 60 seconds; "
       "stopped waiting"},
      {"cli.folders.count", "%d messages"},
      {"cli.list.no_inbox", "No inbox found (name a folder with --folder)"},
      {"cli.list.empty", "(no messages)"},
      {"cli.read.no_html", "This message has no HTML body"},
      {"cli.attachments.none", "(this message has no attachments)"},
      {"cli.attachments.not_found", "No attachment named %@ (this message has no attachments)"},
      {"cli.attachments.not_found_list", "No attachment named %@. Attachments:%@"},
      {"cli.file.exists", "File exists: %@ (overwrite with --force)"},
      {"cli.file.unwritable", "Cannot write file: %@"},
      {"cli.file.saved", "Saved: %@ (%d bytes)"},
      {"cli.search.empty", "(nothing found)"},
      {"cli.local_copy_behind",
       "Warning: done on the server, but the local copy is not updated yet (%@); the next sync "
       "updates it"},
      {"cli.mark.done", "Marked: %@  %@"},
      {"cli.move.already_there", "The message is already in folder %@"},
      {"cli.move.done", "Moved to %@: %@"},
      {"cli.spam.done", "Moved to spam: %@"},
      {"cli.delete.no_trash", "Account %@ has no trash folder (delete for good with --permanent)"},
      {"cli.delete.to_trash", "Moved to %@: %@"},
      {"cli.delete.done", "Deleted: %@"},
      {"cli.error.item", "Error: %@: %@"},
      {"cli.delete.confirm", "Delete %d messages for good? This cannot be undone"},

      // Command line: a source copy the server only flagged as deleted.
      {"cli.flagged_only",
       "Note: this server can only purge every message marked as deleted in a folder at once, and "
       "the folder holds other such messages; so as not to delete those, the original is only "
       "marked as deleted and stays on the server"},

      // Command line: accounts, sign-in and certificate trust.
      {"cli.account.password_prompt", "Password: "},
      {"cli.account.password_not_terminal",
       "Standard input is not a terminal: use --password-stdin to read the password from its first "
       "line"},
      {"cli.account.password_empty", "The password must not be empty"},
      {"cli.account.testing", "Testing the servers of %@…"},
      {"cli.account.bad_fingerprint",
       "A certificate fingerprint is 64 hexadecimal digits (SHA-256, colons allowed): %@"},
      {"cli.account.ca_unreadable", "Cannot read the CA certificate file: %@"},
      {"cli.account.ca_no_pem", "The CA certificate file holds no PEM certificate: %@"},
      {"cli.account.unknown_provider", "Unknown provider: %@"},
      {"cli.account.unknown_encryption", "Unknown encryption: %@"},
      {"cli.account.provider_unrecognised",
       "Cannot tell the mail provider from the address: choose one with --provider, or give the "
       "servers with --imap-host and --smtp-host"},
      {"cli.account.custom_needs_hosts", "A custom provider needs --imap-host and --smtp-host"},
      {"cli.account.hosts_empty", "The server addresses must not be empty"},
      {"cli.account.oauth_providers", "OAuth sign-in supports only --provider gmail or outlook"},
      {"cli.account.oauth_client_id",
       "An OAuth client ID is needed: give it with --client-id (the README says how to create "
       "one), or set %@"},
      {"cli.account.client_secret_prompt", "Client secret: "},
      {"cli.account.open_in_browser", "Open this address in a browser and sign in as %@:"},
      {"cli.account.browser_opened", "Opened the sign-in page in the browser"},
      {"cli.account.waiting_callback",
       "Waiting for the browser's callback (at most %d minutes)..."},
      {"cli.account.signed_in", "Signed in"},
      {"cli.account.no_credential", "The account has no credential entry: %@"},
      {"cli.account.tokens_updated", "Updated the account's sign-in tokens: %@"},
      {"cli.account.address_empty", "The mail address must not be empty"},
      {"cli.account.oauth_only_options",
       "--client-id, --client-secret-stdin and --custom-scheme-redirect are only for --oauth"},
      {"cli.account.oauth_no_password", "--oauth takes no password"},
      {"cli.account.exists", "The account exists already: %@"},
      {"cli.account.trust_imap_command",
       "kestrova account add (other options unchanged) --imap-cert"},
      {"cli.account.trust_smtp_command",
       "kestrova account add (other options unchanged) --smtp-cert"},
      {"cli.account.test_skipped", "Skipped the connection test"},
      {"cli.account.test_failed", "The connection test failed; the account was not saved"},
      {"cli.account.added", "Added account: %@ (%@)"},
      {"cli.account.added_default", "Added account: %@ (%@), the default account"},
      {"cli.account.password_missing", "Password not found"},
      {"cli.account.enabled", "enabled"},
      {"cli.account.disabled", "disabled"},
      {"cli.account.legend", "(* marks the default account)"},
      {"cli.account.remove_confirm",
       "Remove account %@, with all its mail and its password stored on this computer?"},
      {"cli.account.removed", "Removed account: %@"},
      {"cli.account.default", "Default account: %@"},
      {"cli.account.trust_choose_server", "Choose one server with --imap or --smtp"},
      {"cli.account.trust_choose_what",
       "Give a certificate fingerprint or a CA certificate file with --ca-file (one of the two)"},
      {"cli.account.trusts_certificate", "%@: the %@ server now trusts certificate %@"},
      {"cli.account.trusts_ca_file", "%@: the %@ server now trusts the CA certificate file %@"},

      // Mail providers of the account editor: localised names and app-password hints.
      {"provider.mail163.name", "NetEase 163 Mail"},
      {"provider.qq.name", "QQ Mail"},
      {"provider.aliyun.name", "Alibaba Cloud Enterprise Mail"},
      {"provider.tencent.name", "Tencent Enterprise Mail"},
      {"provider.custom.name", "Custom"},
      {"provider.gmail.summary",
       "Turn on 2-Step Verification and sign in with an app password generated in your Google "
       "Account"},
      {"provider.outlook.summary",
       "Accounts with two-step verification need an app password generated in the Microsoft "
       "account"},
      {"provider.icloud.summary",
       "Generate an app-specific password under \"Sign-In and Security\" in your Apple Account"},
      {"provider.exchange.summary",
       "Use your work or school account; with multi-factor authentication, create an app "
       "password on the security info page"},
      {"provider.yahoo.summary",
       "Generate an app password in your Yahoo account security settings"},
      {"provider.aol.summary", "Generate an app password in your AOL account security settings"},
      {"provider.mail163.summary",
       "Turn on the IMAP/SMTP service in the web settings and sign in with the client "
       "authorisation code"},
      {"provider.qq.summary",
       "Turn on the IMAP/SMTP service in the web settings and sign in with the generated "
       "authorisation code"},
      {"provider.aliyun.summary",
       "Use your enterprise address and password; an administrator may first need to turn on "
       "IMAP/SMTP"},
      {"provider.tencent.summary",
       "Turn on secure login in the enterprise mail settings and use a client-specific password"},
      {"provider.custom.summary",
       "Enter the address, port and encryption of the IMAP and SMTP servers by hand"},
  };
  return table;
}

}  // namespace kestrova::detail
