// `kestrova rules`: structured mail rules from the command line — list, add, show, preview,
// apply, enable, disable and remove. Applying changes the stored mail at once; messages a
// rule moved to another folder are then moved on the server, and the command waits for
// that (at most a minute).

#include <CLI/CLI.hpp>
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "app/cli/terminal_output.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/folder_lookup.h"
#include "app/core/mailbox/id_prefix.h"
#include "app/core/service/rule_server_move.h"
#include "rules/email_rule_service.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"
#include "util/work_group.h"

namespace kestrova::app {

namespace {

using rules::EmailRule;
using rules::EmailRuleService;

constexpr std::chrono::seconds kServerMoveWait{60};

EmailRuleService service_of(AccountBook& book) {
  store::EmailDatabase& database = book.store().database();
  return EmailRuleService(database, [&database](rules::PendingRuleServerMove move) {
    start_rule_server_move(database, std::move(move));
  });
}

EmailRule find_rule(const EmailRuleService& service, std::string_view id) {
  std::vector<std::string> ids;
  for (const auto& rule : service.rulesForApplication(std::nullopt, true)) ids.push_back(rule.id);
  auto rule = service.rule(match_id_prefix(id, ids, "cli.noun.rule"));
  if (!rule) throw Error(localized_format("cli.rules.not_found", id));
  return *rule;
}

std::optional<bool> yes_no(const std::string& text, std::string_view option) {
  if (text.empty()) return std::nullopt;
  const std::string value = text::lower(text::trim(text));
  if (value == "yes" || value == "true" || value == "1") return true;
  if (value == "no" || value == "false" || value == "0") return false;
  throw Error(localized_format("cli.rules.yes_no", option, text));
}

std::string date_text(std::optional<double> date) { return date ? local_date_text(*date) : "-"; }

constexpr const char* kUndecodable = "cli.rules.undecodable";

// ---- commands ----

void list_rules(const std::string& accountName) {
  AccountBook book;
  const auto service = service_of(book);
  std::optional<std::string> accountId;
  if (!accountName.empty()) accountId = book.find(accountName).id;
  const auto stored = service.rulesForApplication(accountId, true);
  if (stored.empty()) {
    std::cout << localized("cli.rules.none") << "\n";
    return;
  }
  for (const auto& rule : stored) {
    std::string address = rule.accountId;
    for (const auto& account : book.accounts())
      if (account.id == rule.accountId) address = account.emailAddress;
    const std::string text = rules::summary(rule);
    std::cout << short_id(rule.id) << "  " << address << "  " << text.substr(0, text.find('\n'))
              << (rule.isDecodable ? "" : localized(kUndecodable)) << "\n";
  }
}

struct AddOptions {
  std::string account, name, from, subject, body, attachments, read, inFolder, markRead, moveTo;
  std::vector<std::string> tags;
  bool important = false, spam = false, remove = false, disabled = false;
};

void add_rule(const AddOptions& o) {
  AccountBook book;
  const auto& account = book.find(o.account);
  const std::string name = text::trim(o.name);
  if (name.empty()) throw Error(localized("cli.rules.name_empty"));
  EmailRule rule;
  rule.id = new_uuid();
  rule.accountId = account.id;
  rule.name = name;
  auto text_condition = [](const std::string& value) -> std::optional<std::string> {
    if (value.empty()) return std::nullopt;
    return value;
  };
  rule.conditions.fromContains = text_condition(o.from);
  rule.conditions.subjectContains = text_condition(o.subject);
  rule.conditions.bodyContains = text_condition(o.body);
  rule.conditions.hasAttachments = yes_no(o.attachments, "--attachments");
  rule.conditions.isRead = yes_no(o.read, "--read");
  if (!o.inFolder.empty() || !o.moveTo.empty()) {
    const auto folders = folders_of(book, account);
    if (!o.inFolder.empty()) rule.conditions.folderId = find_folder(folders, o.inFolder, account).id;
    if (!o.moveTo.empty()) rule.actions.moveToFolder = find_folder(folders, o.moveTo, account).id;
  }
  rule.actions.markAsRead = yes_no(o.markRead, "--mark-read");
  if (o.important) rule.actions.markAsImportant = true;
  if (o.spam) rule.actions.markAsSpam = true;
  std::vector<std::string> tags;
  for (const auto& tag : o.tags)
    if (std::string trimmed = text::trim(tag); !trimmed.empty()) tags.push_back(std::move(trimmed));
  if (!tags.empty()) rule.actions.addTags = std::move(tags);
  if (o.remove) rule.actions.deleteMessage = true;
  rule.isEnabled = !o.disabled;
  rule.createdAt = rule.updatedAt = now_seconds();
  service_of(book).save(rule);
  std::cout << rule.id << "\n" << rules::summary(rule) << "\n";
}

void show_rule(const std::string& id) {
  AccountBook book;
  const auto rule = find_rule(service_of(book), id);
  std::cout << rules::summary(rule) << "\n";
  if (rule.actions.moveToFolder) {
    // The summary only says that the rule moves mail; name the folder.
    book.store().loadFolders();
    std::string name = localized("cli.rules.folder_missing");
    for (const auto& folder : book.store().foldersOf(rule.accountId))
      if (folder.id == *rule.actions.moveToFolder) name = folder.path;
    std::cout << localized_format("cli.rules.target_folder", name) << "\n";
  }
  if (!rule.isDecodable) std::cout << localized(kUndecodable) << "\n";
}

// The account of `--all`, or the rule named by `id`; exactly one of the two.
struct RuleChoice {
  std::optional<EmailRule> rule;
  std::string accountId;
};

RuleChoice choose(AccountBook& book, const EmailRuleService& service, const std::string& id, bool all,
                  const std::string& accountName) {
  if (all == !id.empty()) throw Error(localized("cli.rules.choose"));
  if (!all) {
    auto rule = find_rule(service, id);
    return RuleChoice{rule, rule.accountId};
  }
  if (accountName.empty()) throw Error(localized("cli.rules.all_needs_account"));
  return RuleChoice{std::nullopt, book.find(accountName).id};
}

void preview_rules(const std::string& id, bool all, const std::string& accountName, int64_t limit) {
  AccountBook book;
  const auto service = service_of(book);
  const auto choice = choose(book, service, id, all, accountName);
  const auto preview =
      choice.rule ? service.preview(*choice.rule, limit) : service.previewEnabled(choice.accountId, limit);
  std::cout << localized_format("cli.rules.preview_count", preview.label, preview.items.size())
            << "\n";
  for (const auto& item : preview.items)
    std::cout << short_id(item.id) << "  " << date_text(item.date) << "  " << item.from << "  "
              << item.subject << "\n";
}

void print_result(const rules::EmailRuleApplicationResult& r) {
  std::cout << localized_format(r.dryRun ? "cli.rules.result_dry_run" : "cli.rules.result",
                                r.ruleName, r.scannedCount, r.matchedCount, r.changedCount)
            << "\n";
  for (const auto& item : r.samples)
    std::cout << "  " << short_id(item.id) << "  " << date_text(item.date) << "  " << item.from
              << "  " << item.subject << "\n";
}

// Mail in the trash and spam stays out of reach unless the rule names those folders.
const rules::RuleApplicationStyle kStyle = rules::RuleApplicationStyle::commandLine();

// More changes than this in one apply are confirmed first.
constexpr int64_t kConfirmedChanges = 100;

void apply_rules(const std::string& id, bool all, const std::string& accountName, bool dryRun,
                 int64_t limit, bool yes) {
  AccountBook book;
  const auto service = service_of(book);
  const auto choice = choose(book, service, id, all, accountName);
  if (!dryRun) {
    int64_t changes = 0;
    if (choice.rule)
      changes = service.apply(*choice.rule, limit, true, kStyle).changedCount;
    else
      for (const auto& result : service.applyEnabled(choice.accountId, limit, true, kStyle))
        changes += result.changedCount;
    if (changes > kConfirmedChanges)
      confirm_or_stop(localized_format("cli.rules.confirm", changes), yes);
  }
  if (choice.rule) {
    if (!choice.rule->isDecodable)
      std::cerr << choice.rule->name << localized(kUndecodable) << "\n";
    print_result(service.apply(*choice.rule, limit, dryRun, kStyle));
  } else {
    const auto results = service.applyEnabled(choice.accountId, limit, dryRun, kStyle);
    if (results.empty()) std::cout << localized("cli.rules.none_enabled") << "\n";
    for (const auto& result : results) print_result(result);
  }
  if (!WorkGroup::shared().wait_for(kServerMoveWait))
    std::cerr << localized("cli.rules.moves_unfinished") << "\n";
}

void set_enabled(const std::string& id, bool enabled) {
  AccountBook book;
  const auto service = service_of(book);
  const auto rule = find_rule(service, id);
  service.setEnabled(rule.id, enabled);
  std::cout << rule.name << ": "
            << localized(enabled ? "cli.account.enabled" : "cli.account.disabled") << "\n";
}

void remove_rule(const std::string& id) {
  AccountBook book;
  const auto service = service_of(book);
  const auto rule = find_rule(service, id);
  service.remove(rule.id);
  std::cout << localized_format("cli.rules.removed", rule.name) << "\n";
}

}  // namespace

void add_rule_commands(CLI::App& root) {
  auto* rules = root.add_subcommand("rules", "Structured mail rules: list, add, show, preview, apply");
  rules->require_subcommand(1);
  {
    auto* command = rules->add_subcommand("list", "List the rules (every account, or one)");
    auto account = std::make_shared<std::string>();
    command->add_option("--account", *account, "Account id, address or name");
    auto json = add_json_flag(
        command, "Print the rules as the list_email_rules tool answers",
        "[{\"id\", \"accountId\", \"name\", \"conditions\": {...}, \"actions\": "
        "{...},\n"
        "\"isEnabled\", \"createdAt\", \"updatedAt\"}], newest first.\n"
        "Example: kestrova rules list --json | jq '.[] | select(.isEnabled) | .name'");
    command->callback([account, json] {
      if (!*json) return list_rules(*account);
      Json arguments = Json::object();
      if (!account->empty()) arguments["accountId"] = AccountBook().find(*account).id;
      print_tool_answer("list_email_rules", arguments);
    });
  }
  {
    auto* command = rules->add_subcommand("add", "Add a rule");
    auto o = std::make_shared<AddOptions>();
    command->add_option("--account", o->account, "Account id, address or name")->required();
    command->add_option("--name", o->name, "Rule name")->required();
    command->add_option("--from", o->from, "Sender address or name contains this text");
    command->add_option("--subject", o->subject, "Subject contains this text");
    command->add_option("--body", o->body, "Body contains this text");
    command->add_option("--attachments", o->attachments, "Has attachments: yes or no");
    command->add_option("--read", o->read, "Is read: yes or no");
    command->add_option("--in-folder", o->inFolder, "Lies in this folder (id, path or name)");
    command->add_option("--mark-read", o->markRead, "Mark read (yes) or unread (no)");
    command->add_flag("--important", o->important, "Mark important");
    command->add_flag("--spam", o->spam, "Mark as spam (and move to the spam folder)");
    command->add_option("--move-to", o->moveTo, "Move to this folder (id, path or name)");
    command->add_option("--tag", o->tags, "Add this tag (repeatable)");
    command->add_flag("--delete", o->remove, "Mark deleted");
    command->add_flag("--disabled", o->disabled, "Store the rule switched off");
    command->callback([o] { add_rule(*o); });
  }
  {
    auto* command = rules->add_subcommand("show", "Show what a rule does");
    auto id = std::make_shared<std::string>();
    command->add_option("ID", *id, "Rule id")->required();
    command->callback([id] { show_rule(*id); });
  }
  struct RunOptions {
    std::string id, account;
    bool all = false, dryRun = false, yes = false;
    int64_t limit = rules::kMaxRuleScan;
  };
  {
    auto* command = rules->add_subcommand("preview", "List the stored messages a rule would touch");
    auto o = std::make_shared<RunOptions>();
    command->add_option("ID", o->id, "Rule id");
    command->add_flag("--all", o->all, "Every enabled rule of --account");
    command->add_option("--account", o->account, "Account id, address or name (with --all)");
    command->add_option("--limit", o->limit, "Newest messages to look at (default and most 5000)")
        ->check(CLI::Range(1, 1000000));
    command->callback([o] { preview_rules(o->id, o->all, o->account, o->limit); });
  }
  {
    auto* command = rules->add_subcommand("apply", "Apply a rule (or every enabled rule) to stored mail");
    auto o = std::make_shared<RunOptions>();
    command->add_option("ID", o->id, "Rule id");
    command->add_flag("--all", o->all, "Every enabled rule of --account, newest rule first");
    command->add_option("--account", o->account, "Account id, address or name (with --all)");
    command->add_flag("--dry-run", o->dryRun, "Only report what would change");
    command->add_flag("-y,--yes", o->yes, "Do not ask before changing more than 100 messages");
    command->add_option("--limit", o->limit, "Newest messages per rule (default and most 5000)")
        ->check(CLI::Range(1, 1000000));
    command->callback([o] { apply_rules(o->id, o->all, o->account, o->dryRun, o->limit, o->yes); });
  }
  for (const bool enabled : {true, false}) {
    auto* command = rules->add_subcommand(enabled ? "enable" : "disable", enabled ? "Switch a rule on" : "Switch a rule off");
    auto id = std::make_shared<std::string>();
    command->add_option("ID", *id, "Rule id")->required();
    command->callback([id, enabled] { set_enabled(*id, enabled); });
  }
  {
    auto* command = rules->add_subcommand("remove", "Delete a rule");
    auto id = std::make_shared<std::string>();
    command->add_option("ID", *id, "Rule id")->required();
    command->callback([id] { remove_rule(*id); });
  }
}

}  // namespace kestrova::app
