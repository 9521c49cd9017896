#include "rules/email_rule_service.h"

#include <algorithm>
#include <map>
#include <set>

#include "store/json_list.h"
#include "store/server_change_journal.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::rules {

namespace {

using store::Connection;
using store::EmailMessage;
using store::Statement;

constexpr std::string_view kCandidates =
    "SELECT id, account_id, folder_id, uid, message_id, subject, from_name, from_email, preview, "
    "text_body, html_body, date, is_read, has_attachments, is_important, is_spam, is_deleted, tags "
    "FROM email_messages WHERE account_id = ? AND is_deleted = 0 AND is_draft = 0 "
    "ORDER BY date DESC LIMIT ?";

EmailMessage candidate_from_row(const Statement& s) {
  EmailMessage m;
  m.id = s.text(0).value_or("");
  m.accountId = s.text(1).value_or("");
  m.folderId = s.text(2);
  if (auto uid = s.integer(3)) m.uid = static_cast<uint32_t>(*uid);
  m.messageId = s.text(4);
  m.subject = s.text(5).value_or("");
  m.from.name = s.text(6);
  m.from.email = s.text(7).value_or("");
  m.preview = s.text(8).value_or("");
  m.textBody = s.text(9);
  m.htmlBody = s.text(10);
  m.date = s.real(11).value_or(0);
  m.isRead = s.integer(12).value_or(0) == 1;
  m.hasAttachments = s.integer(13).value_or(0) == 1;
  m.isImportant = s.integer(14).value_or(0) == 1;
  m.isSpam = s.integer(15).value_or(0) == 1;
  m.isDeleted = s.integer(16).value_or(0) == 1;
  m.tags = store::decode_string_list(s.text(17));
  return m;
}

EmailRulePreviewItem preview_item(const EmailMessage& m, std::optional<double> date) {
  return EmailRulePreviewItem{m.id, m.subject, m.from.name ? *m.from.name : m.from.email, date};
}

bool matches_in_style(const RuleConditions& conditions, const EmailMessage& m,
                      RuleApplicationStyle style) {
  if (!style.bodyIncludesPreview || !conditions.bodyContains || conditions.bodyContains->empty())
    return matches(conditions, m);
  RuleConditions rest = conditions;
  rest.bodyContains.reset();
  if (!matches(rest, m)) return false;
  const std::string body = m.textBody.value_or("") + " " + m.htmlBody.value_or("") + " " + m.preview;
  return text::contains_ci_locale(body, *conditions.bodyContains);
}

// Where the rule sends a message of its account: the spam folder for spam (nowhere when the
// account has none), else the move target when it is a folder of the account.
class FolderTarget {
 public:
  FolderTarget(Connection& c, const EmailRule& rule) {
    const RuleActions& a = rule.actions;
    if (a.markAsSpam.value_or(false)) {
      auto s = c.prepare("SELECT id FROM email_folders WHERE account_id = ? AND type = ? LIMIT 1");
      s.bind_all(rule.accountId, std::string("spam"));
      if (s.step()) folder_ = s.text(0);
    } else if (a.moveToFolder) {
      auto s = c.prepare("SELECT COUNT(*) FROM email_folders WHERE id = ? AND account_id = ?");
      s.bind_all(*a.moveToFolder, rule.accountId);
      if (s.step() && s.integer(0).value_or(0) >= 1) folder_ = a.moveToFolder;
    }
  }
  const std::optional<std::string>& folder() const { return folder_; }

 private:
  std::optional<std::string> folder_;
};

// The record after the rule's actions, with the folder decided by `target`.
EmailMessage acted_on(const EmailRule& rule, const EmailMessage& stored, const FolderTarget& target,
                      RuleApplicationStyle style) {
  RuleActions actions = rule.actions;
  actions.moveToFolder.reset();
  if (style.tagsIgnoreCase) actions.addTags.reset();
  EmailMessage updated = apply(actions, stored);
  if (target.folder()) updated.folderId = target.folder();
  if (style.tagsIgnoreCase && rule.actions.addTags)
    for (const auto& tag : *rule.actions.addTags)
      if (std::none_of(updated.tags.begin(), updated.tags.end(),
                       [&](const std::string& t) { return text::equals_ci(t, tag); }))
        updated.tags.push_back(tag);
  return updated;
}

// The trash and spam folders of the rule's account that `style` keeps the rule away from;
// nothing when it skips none, also when the rule's own folder condition names one of them.
std::optional<std::set<std::string>> skipped_folders(Connection& c, const EmailRule& rule,
                                                     RuleApplicationStyle style) {
  if (!style.skipsTrashAndSpam) return std::nullopt;
  std::set<std::string> folders;
  auto s =
      c.prepare("SELECT id FROM email_folders WHERE account_id = ? AND type IN ('trash', 'spam')");
  s.bind(1, rule.accountId);
  while (s.step()) folders.insert(s.text(0).value_or(""));
  if (rule.conditions.folderId && folders.contains(*rule.conditions.folderId)) return std::nullopt;
  return folders;
}

// Mail marked as spam counts as the spam folder's wherever it is stored.
bool skipped(const EmailMessage& m, const std::optional<std::set<std::string>>& folders) {
  return folders && (m.isSpam || (m.folderId && folders->contains(*m.folderId)));
}

bool differs(const EmailMessage& a, const EmailMessage& b) {
  return a.isRead != b.isRead || a.isImportant != b.isImportant || a.isSpam != b.isSpam ||
         a.isDeleted != b.isDeleted || a.folderId != b.folderId || a.tags != b.tags;
}

// Records that `former` (as the server has it) must end up in `target`. A message an
// earlier rule of the same run already moved keeps its first record: the server still has
// it in its original folder, since moves start only after the transaction.
void add_pending(std::vector<PendingRuleServerMove>& pending, const std::string& accountId,
                 const std::string& target, EmailMessage former) {
  for (auto& move : pending) {
    auto it = std::find_if(move.messages.begin(), move.messages.end(),
                           [&](const EmailMessage& m) { return m.id == former.id; });
    if (it == move.messages.end()) continue;
    former = std::move(*it);
    move.messages.erase(it);
    break;
  }
  std::erase_if(pending, [](const PendingRuleServerMove& move) { return move.messages.empty(); });
  if (former.folderId == target) return;  // back where the server has it
  for (auto& move : pending)
    if (move.accountId == accountId && move.targetFolderId == target) {
      move.messages.push_back(std::move(former));
      return;
    }
  pending.push_back(PendingRuleServerMove{accountId, target, {std::move(former)}});
}

std::vector<EmailRule> rules_of(Connection& c, const std::string& sql,
                                const std::vector<std::string>& values) {
  auto s = c.prepare(sql);
  for (size_t i = 0; i < values.size(); ++i) s.bind(static_cast<int>(i + 1), values[i]);
  std::vector<EmailRule> out;
  while (s.step()) out.push_back(rule_from_row(s));
  return out;
}

}  // namespace

int64_t clamp_rule_limit(int64_t limit) { return std::clamp<int64_t>(limit, 1, kMaxRuleScan); }

EmailRule rule_from_row(const Statement& s) {
  EmailRule rule;
  rule.id = s.text("id").value_or("");
  rule.accountId = s.text("account_id").value_or("");
  rule.name = s.text("name").value_or("");
  const auto conditions = decode_conditions(s.text("conditions").value_or(""));
  const auto actions = decode_actions(s.text("actions").value_or(""));
  if (conditions) rule.conditions = *conditions;
  if (actions) rule.actions = *actions;
  rule.isDecodable = conditions && actions;
  rule.isEnabled = s.integer("is_enabled").value_or(0) == 1;
  rule.luaCode = s.text("lua_code");
  rule.createdAt = s.real("created_at").value_or(0);
  rule.updatedAt = s.real("updated_at").value_or(0);
  return rule;
}

EmailRuleApplicationResult apply_rule(Connection& c, const EmailRule& rule, int64_t limit,
                                      bool dryRun, RuleApplicationStyle style, double now,
                                      std::vector<PendingRuleServerMove>& pending) {
  EmailRuleApplicationResult result;
  result.ruleId = rule.id;
  result.ruleName = rule.name;
  result.accountId = rule.accountId;
  result.dryRun = dryRun;
  if (!rule.isDecodable) return result;

  auto candidates = c.prepare(kCandidates);
  candidates.bind_all(rule.accountId, clamp_rule_limit(limit));
  std::optional<FolderTarget> target;
  std::vector<std::pair<EmailMessage, EmailMessage>> changed;  // stored, updated
  const auto skippedFolders = skipped_folders(c, rule, style);
  while (candidates.step()) {
    EmailMessage stored = candidate_from_row(candidates);
    if (skipped(stored, skippedFolders)) continue;
    ++result.scannedCount;
    if (!matches_in_style(rule.conditions, stored, style)) continue;
    ++result.matchedCount;
    if (result.samples.size() < EmailRuleApplicationResult::kMaxSamples)
      result.samples.push_back(preview_item(stored, candidates.real(11)));
    if (!target) target.emplace(c, rule);
    EmailMessage updated = acted_on(rule, stored, *target, style);
    if (!differs(stored, updated)) continue;
    ++result.changedCount;
    if (!dryRun) changed.emplace_back(std::move(stored), std::move(updated));
  }
  for (const auto& [stored, updated] : changed) {
    // Journalled with the row as the server still has it, in the same transaction, so that
    // the service brings the server along and a sync does not undo the change meanwhile.
    if (updated.isRead != stored.isRead)
      store::record_server_change(c, updated.id, store::ServerChangeKind::read, updated.isRead);
    if (updated.folderId && updated.folderId != stored.folderId && stored.uid)
      store::record_server_change(c, updated.id, store::ServerChangeKind::move, false,
                                  *updated.folderId);
    auto s = c.prepare(
        "UPDATE email_messages SET is_read = ?, is_important = ?, is_spam = ?, is_deleted = ?, "
        "folder_id = ?, tags = ?, rule_applied_at = ?, updated_at = ? WHERE id = ?");
    s.bind_all(updated.isRead, updated.isImportant, updated.isSpam, updated.isDeleted, updated.folderId,
               store::encode_string_list(updated.tags), now, now, updated.id);
    s.run();
    // Messages that only exist locally (no server UID) have nothing to move on the server.
    if (updated.folderId && updated.folderId != stored.folderId && stored.uid)
      add_pending(pending, rule.accountId, *updated.folderId, stored);
  }
  return result;
}

std::string sql::ruleListing(bool oneAccount, bool enabledOnly, std::string_view order) {
  std::string text = "SELECT * FROM email_rules WHERE 1=1";
  if (oneAccount) text += " AND account_id = ?";
  if (enabledOnly) text += " AND is_enabled = 1";
  text += order;
  return text;
}

EmailRuleService::EmailRuleService(store::EmailDatabase& database, ServerMover mover)
    : database_(database), mover_(std::move(mover)) {}

std::vector<EmailRule> EmailRuleService::rulesOf(const std::string& accountId) const {
  return database_.read(
      [&](Connection& c) { return rules_of(c, std::string(sql::kRulesOfAccount), {accountId}); });
}

namespace {

std::vector<EmailRule> rules_for_application(Connection& c,
                                             const std::optional<std::string>& accountId,
                                             bool includeDisabled) {
  std::vector<std::string> values;
  if (accountId) values.push_back(*accountId);
  return rules_of(
      c, sql::ruleListing(accountId.has_value(), !includeDisabled, sql::kByAccountNewestFirst),
      values);
}

}  // namespace

std::vector<EmailRule> EmailRuleService::rulesForApplication(const std::optional<std::string>& accountId,
                                                             bool includeDisabled) const {
  return database_.read([&](Connection& c) { return rules_for_application(c, accountId, includeDisabled); });
}

std::optional<EmailRule> EmailRuleService::rule(const std::string& id) const {
  auto found =
      database_.read([&](Connection& c) { return rules_of(c, std::string(sql::kOneRule), {id}); });
  if (found.empty()) return std::nullopt;
  return found.front();
}

void EmailRuleService::save(const EmailRule& rule) const {
  database_.write([&](Connection& c) {
    auto s = c.prepare(
        "INSERT OR REPLACE INTO email_rules (id, account_id, name, conditions, actions, is_enabled, "
        "lua_code, created_at, updated_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    s.bind_all(rule.id, rule.accountId, rule.name, encode_conditions(rule.conditions),
               encode_actions(rule.actions), rule.isEnabled, rule.luaCode, rule.createdAt,
               rule.updatedAt);
    s.run();
  });
}

void EmailRuleService::remove(const std::string& id) const {
  database_.write([&](Connection& c) {
    auto s = c.prepare(sql::kDeleteRule);
    s.bind(1, id);
    s.run();
  });
}

void EmailRuleService::setEnabled(const std::string& id, bool enabled) const {
  database_.write([&](Connection& c) {
    auto s = c.prepare(sql::kSetRuleEnabled);
    s.bind_all(enabled, now_seconds(), id);
    s.run();
  });
}

namespace {

std::vector<EmailRulePreviewItem> preview_matches(Connection& c, const std::vector<EmailRule>& rules,
                                                  const std::string& accountId, int64_t limit) {
  std::vector<EmailRulePreviewItem> items;
  auto s = c.prepare(kCandidates);
  s.bind_all(accountId, clamp_rule_limit(limit));
  while (s.step()) {
    const EmailMessage m = candidate_from_row(s);
    for (const auto& rule : rules)
      if (rule.isDecodable && matches(rule.conditions, m)) {
        items.push_back(preview_item(m, s.real(11)));
        break;
      }
  }
  return items;
}

}  // namespace

EmailRulePreview EmailRuleService::preview(const EmailRule& rule, int64_t limit) const {
  return database_.read([&](Connection& c) {
    return EmailRulePreview{rule.name, preview_matches(c, {rule}, rule.accountId, limit)};
  });
}

EmailRulePreview EmailRuleService::previewEnabled(const std::string& accountId, int64_t limit) const {
  const auto rules = rulesForApplication(accountId);
  return database_.read([&](Connection& c) {
    return EmailRulePreview{localized("rules.all.enabled"), preview_matches(c, rules, accountId, limit)};
  });
}

EmailRuleApplicationResult EmailRuleService::apply(const EmailRule& rule, int64_t limit,
                                                   bool dryRun, RuleApplicationStyle style) const {
  std::vector<PendingRuleServerMove> pending;
  auto result = database_.write([&](Connection& c) {
    return apply_rule(c, rule, limit, dryRun, style, now_seconds(), pending);
  });
  if (mover_)
    for (auto& move : pending) mover_(std::move(move));
  return result;
}

std::vector<EmailRuleApplicationResult> EmailRuleService::applyEnabled(
    const std::string& accountId, int64_t limit, bool dryRun, RuleApplicationStyle style) const {
  std::vector<PendingRuleServerMove> pending;
  auto results = database_.write([&](Connection& c) {
    const double now = now_seconds();
    std::vector<EmailRuleApplicationResult> out;
    for (const auto& rule : rules_for_application(c, accountId, false))
      out.push_back(apply_rule(c, rule, limit, dryRun, style, now, pending));
    return out;
  });
  if (mover_)
    for (auto& move : pending) mover_(std::move(move));
  return results;
}

std::vector<PendingRuleServerMove> EmailRuleService::applyToIncoming(
    const store::EmailAccount& account, std::vector<EmailMessage>& batch) const {
  std::vector<PendingRuleServerMove> pending;
  if (batch.empty()) return pending;
  const auto rules = rulesForApplication(account.id);
  if (rules.empty()) return pending;
  const std::vector<EmailMessage> fetched = batch;
  database_.read([&](Connection& c) {
    for (const auto& rule : rules) {
      if (!rule.isDecodable) continue;
      std::optional<FolderTarget> target;
      for (auto& message : batch) {
        if (message.isDeleted || message.isDraft || !matches(rule.conditions, message)) continue;
        if (!target) target.emplace(c, rule);
        message = acted_on(rule, message, *target, RuleApplicationStyle::service());
      }
    }
  });
  for (size_t i = 0; i < batch.size(); ++i)
    if (batch[i].folderId && batch[i].folderId != fetched[i].folderId && fetched[i].uid)
      add_pending(pending, account.id, *batch[i].folderId, fetched[i]);
  return pending;
}

}  // namespace kestrova::rules
