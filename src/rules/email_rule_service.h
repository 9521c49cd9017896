#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rules/email_rule.h"
#include "store/database.h"
#include "store/email_account.h"
#include "store/email_message.h"

namespace kestrova::rules {

// The rule statements, one definition each, for the rule service and the tool server.
namespace sql {
inline constexpr std::string_view kOneRule = "SELECT * FROM email_rules WHERE id = ?";
inline constexpr std::string_view kRulesOfAccount =
    "SELECT * FROM email_rules WHERE account_id = ? ORDER BY created_at DESC";
inline constexpr std::string_view kEnabledRulesOfAccount =
    "SELECT * FROM email_rules WHERE account_id = ? AND is_enabled = 1 ORDER BY created_at DESC";
inline constexpr std::string_view kDeleteRule = "DELETE FROM email_rules WHERE id = ?";
// Bound with (enabled, updated_at, id).
inline constexpr std::string_view kSetRuleEnabled =
    "UPDATE email_rules SET is_enabled = ?, updated_at = ? WHERE id = ?";
inline constexpr std::string_view kNewestFirst = " ORDER BY created_at DESC";
inline constexpr std::string_view kByAccountNewestFirst = " ORDER BY account_id, created_at DESC";
// "SELECT * FROM email_rules WHERE 1=1", then " AND account_id = ?" (the one value to bind)
// for one account, " AND is_enabled = 1" for enabled rules only, then `order`.
std::string ruleListing(bool oneAccount, bool enabledOnly, std::string_view order);
}  // namespace sql

// One matched message as a preview shows it.
struct EmailRulePreviewItem {
  std::string id;
  std::string subject;
  std::string from;  // the sender's name when stored, else the address
  std::optional<double> date;
};

// A preview: its label (the rule's name, or the localised "all enabled rules") and the
// matches, newest first.
struct EmailRulePreview {
  std::string label;
  std::vector<EmailRulePreviewItem> items;
};

// What applying one rule did (or, in a dry run, would do).
struct EmailRuleApplicationResult {
  std::string ruleId;
  std::string ruleName;
  std::string accountId;
  size_t scannedCount = 0;
  size_t matchedCount = 0;
  size_t changedCount = 0;
  bool dryRun = false;
  std::vector<EmailRulePreviewItem> samples;  // the first kMaxSamples matches
  static constexpr size_t kMaxSamples = 10;
};

// Messages whose folder a rule changed locally and that must now move on the server: each
// record keeps its id, server UID, Message-ID and *former* folder.
struct PendingRuleServerMove {
  std::string accountId;
  std::string targetFolderId;
  std::vector<store::EmailMessage> messages;
};

// The two readings of a rule. The interactive service tests the plain and HTML bodies
// joined directly and skips only identical tags; the tool server also searches the preview
// (parts joined with a space) and skips tags that differ only in letter case.
struct RuleApplicationStyle {
  bool bodyIncludesPreview = false;
  bool tagsIgnoreCase = false;
  // Leaves messages in the trash or spam folder (or marked as spam) alone, unless the rule's
  // folder condition is one of those folders: a person applying a rule to stored mail
  // does not mean the mail they already threw away.
  bool skipsTrashAndSpam = false;

  static RuleApplicationStyle service() { return {}; }
  static RuleApplicationStyle toolServer() { return {true, true}; }
  static RuleApplicationStyle commandLine() { return {false, false, true}; }
};

// Candidates per rule: at most this many of the newest messages.
inline constexpr int64_t kMaxRuleScan = 5000;
int64_t clamp_rule_limit(int64_t limit);

// The rule of one `email_rules` row (the statement selects every column). Conditions or
// actions that cannot be read leave the rule empty on that side and `isDecodable` false.
EmailRule rule_from_row(const store::Statement& row);

// Applies one rule to the newest `limit` (clamped) non-deleted, non-draft messages of its
// account on `c`, which must be inside a write transaction unless `dryRun`. Changed rows
// get their flags, folder, tags, rule_applied_at and updated_at written (both `now`). A rule
// that cannot be decoded scans and changes nothing. `pending` receives the messages whose
// folder changed and that have a server UID, per target folder.
EmailRuleApplicationResult apply_rule(store::Connection& c, const EmailRule& rule, int64_t limit,
                                      bool dryRun, RuleApplicationStyle style, double now,
                                      std::vector<PendingRuleServerMove>& pending);

// Owner of the structured rules of the interactive program: storage, preview, application
// to stored mail and to freshly fetched batches, and the hand-over of folder changes to the
// mail server. Keeps no cache; every call reads the table.
class EmailRuleService {
 public:
  // Receives each server move after the local change committed; runs it in the background.
  using ServerMover = std::function<void(PendingRuleServerMove)>;

  explicit EmailRuleService(store::EmailDatabase& database, ServerMover mover = {});

  std::vector<EmailRule> rulesOf(const std::string& accountId) const;
  // Grouped by account, newest first within one; enabled ones only unless asked.
  std::vector<EmailRule> rulesForApplication(const std::optional<std::string>& accountId,
                                             bool includeDisabled = false) const;
  std::optional<EmailRule> rule(const std::string& id) const;
  // Replaces the whole row (created_at from the record).
  void save(const EmailRule& rule) const;
  void remove(const std::string& id) const;
  void setEnabled(const std::string& id, bool enabled) const;

  // Matches of one rule, or of every enabled rule of the account (each message once),
  // among its newest `limit` messages. Writes nothing.
  EmailRulePreview preview(const EmailRule& rule, int64_t limit = kMaxRuleScan) const;
  EmailRulePreview previewEnabled(const std::string& accountId, int64_t limit = kMaxRuleScan) const;

  // Applies one rule, or every enabled rule of the account in the order of the rules query
  // (later rules see the changes of earlier ones), in one transaction; then hands folder
  // changes to the server mover. A failure changes nothing and moves nothing.
  EmailRuleApplicationResult apply(
      const EmailRule& rule, int64_t limit = kMaxRuleScan, bool dryRun = false,
      RuleApplicationStyle style = RuleApplicationStyle::service()) const;
  std::vector<EmailRuleApplicationResult> applyEnabled(
      const std::string& accountId, int64_t limit = kMaxRuleScan, bool dryRun = false,
      RuleApplicationStyle style = RuleApplicationStyle::service()) const;

  // Newly fetched mail, before it is stored: the account's enabled rules change the records
  // in place (same matching and actions, folder targets checked against the stored
  // folders). Returns the moves the server needs for records whose folder changed; the
  // caller starts them once the batch is stored.
  std::vector<PendingRuleServerMove> applyToIncoming(const store::EmailAccount& account,
                                                     std::vector<store::EmailMessage>& batch) const;

 private:
  store::EmailDatabase& database_;
  ServerMover mover_;
};

}  // namespace kestrova::rules
