// The rule tools of the tool server: structured mail rules in the local database, previewed
// and applied to stored mail, with folder changes moved on the mail server in the
// background.

#include <vector>

#include "app/mcp/mail_tool_support.h"
#include "app/mcp/mcp_arguments.h"
#include "app/mcp/mcp_catalogue.h"
#include "app/mcp/mcp_error.h"
#include "app/core/service/rule_server_move.h"
#include "rules/email_rule_service.h"
#include "store/database.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

using store::Connection;
using store::EmailDatabase;

// ---- normalisation of what an agent sends ----

Json object_argument(const Json& arguments, std::string_view key) {
  const auto it = arguments.find(key);
  return it != arguments.end() && it->is_object() ? *it : Json::object();
}

bool non_empty_string(const Json& value) { return value.is_string() && !value.get<std::string>().empty(); }

Json normalised_conditions(const Json& in) {
  Json out = Json::object();
  for (const char* key : {"fromContains", "subjectContains", "bodyContains", "folderId"})
    if (const auto it = in.find(key); it != in.end() && non_empty_string(*it)) out[key] = *it;
  for (const char* key : {"hasAttachments", "isRead"})
    if (const auto it = in.find(key); it != in.end() && it->is_boolean()) out[key] = *it;
  return out;
}

Json normalised_actions(const Json& in) {
  Json out = Json::object();
  for (const char* key : {"markAsRead", "markAsImportant", "markAsSpam", "delete"})
    if (const auto it = in.find(key); it != in.end() && it->is_boolean()) out[key] = *it;
  if (const auto tags = in.find("addTags"); tags != in.end() && tags->is_array()) {
    Json kept = Json::array();
    for (const auto& tag : *tags)
      if (tag.is_string())
        if (std::string trimmed = text::trim(tag.get<std::string>()); !trimmed.empty())
          kept.push_back(std::move(trimmed));
    if (!kept.empty()) out["addTags"] = std::move(kept);
  } else if (const auto tag = in.find("addTag"); tag != in.end() && tag->is_string()) {
    if (std::string trimmed = text::trim(tag->get<std::string>()); !trimmed.empty())
      out["addTags"] = Json::array({std::move(trimmed)});
  }
  if (const auto it = in.find("moveToFolder"); it != in.end() && non_empty_string(*it))
    out["moveToFolder"] = *it;
  return out;
}

std::string stored_text(const Json& normalised) {
  if (!normalised.is_object()) throw MCPError("Invalid JSON object");
  std::string text = dump_compact(normalised);
  return text::is_valid_utf8(text) ? text : "{}";
}

Json stored_object(const std::optional<std::string>& text) {
  Json value = Json::parse(text.value_or(""), nullptr, false);
  return !value.is_discarded() && value.is_object() ? value : Json::object();
}

// ---- listing and editing ----

Json list_email_rules(const Json& arguments) {
  const auto account = args::optional_string(arguments, "accountId");
  const std::string sql = rules::sql::ruleListing(
      account.has_value(), args::boolean(arguments, "enabledOnly").value_or(false),
      rules::sql::kNewestFirst);
  return EmailDatabase::shared().read([&](Connection& c) {
    auto s = c.prepare(sql);
    if (account) s.bind(1, *account);
    Json out = Json::array();
    while (s.step())
      out.push_back(Json{{"id", text_column(s, "id")},
                         {"accountId", text_column(s, "account_id")},
                         {"name", text_column(s, "name")},
                         {"conditions", stored_object(s.text("conditions"))},
                         {"actions", stored_object(s.text("actions"))},
                         {"isEnabled", flag_column(s, "is_enabled")},
                         {"createdAt", iso_date_column(s, "created_at", "")},
                         {"updatedAt", iso_date_column(s, "updated_at", "")}});
    return out;
  });
}

Json create_email_rule(const Json& arguments) {
  const std::string account_id = args::required_string(arguments, "accountId");
  const std::string name = args::required_string(arguments, "name");
  const std::string conditions = stored_text(normalised_conditions(object_argument(arguments, "conditions")));
  const std::string actions = stored_text(normalised_actions(object_argument(arguments, "actions")));
  const bool enabled = args::boolean(arguments, "isEnabled").value_or(true);
  const std::string id = new_uuid();
  const double now = now_seconds();
  EmailDatabase::shared().write([&](Connection& c) {
    auto s = c.prepare(
        "INSERT INTO email_rules (id, account_id, name, conditions, actions, is_enabled, lua_code, "
        "created_at, updated_at) VALUES (?, ?, ?, ?, ?, ?, NULL, ?, ?)");
    s.bind_all(id, account_id, name, conditions, actions, enabled, now, now);
    s.run();
  });
  return Json{{"id", id}, {"status", "created"}};
}

Json update_email_rule(const Json& arguments) {
  const std::string id = args::required_string(arguments, "ruleId");
  EmailDatabase::shared().write([&](Connection& c) {
    auto s = c.prepare(rules::sql::kOneRule);
    s.bind(1, id);
    if (!s.step()) throw MCPError("Rule not found");
    std::string name = text_column(s, "name");
    std::string conditions = text_column(s, "conditions");
    std::string actions = text_column(s, "actions");
    bool enabled = flag_column(s, "is_enabled");
    if (const auto it = arguments.find("name"); it != arguments.end() && it->is_string())
      name = it->get<std::string>();
    if (const auto it = arguments.find("conditions"); it != arguments.end() && it->is_object())
      conditions = stored_text(normalised_conditions(*it));
    if (const auto it = arguments.find("actions"); it != arguments.end() && it->is_object())
      actions = stored_text(normalised_actions(*it));
    if (const auto it = arguments.find("isEnabled"); it != arguments.end() && it->is_boolean())
      enabled = it->get<bool>();
    auto u = c.prepare(
        "UPDATE email_rules SET name = ?, conditions = ?, actions = ?, is_enabled = ?, updated_at = ? "
        "WHERE id = ?");
    u.bind_all(name, conditions, actions, enabled, now_seconds(), id);
    u.run();
  });
  return Json{{"id", id}, {"status", "updated"}};
}

Json delete_email_rule(const Json& arguments) {
  const std::string id = args::required_string(arguments, "ruleId");
  EmailDatabase::shared().write([&](Connection& c) {
    auto s = c.prepare(rules::sql::kDeleteRule);
    s.bind(1, id);
    s.run();
  });
  return Json{{"id", id}, {"status", "deleted"}};
}

Json set_email_rule_enabled(const Json& arguments) {
  const std::string id = args::required_string(arguments, "ruleId");
  const auto it = arguments.find("isEnabled");
  if (it == arguments.end() || !it->is_boolean()) throw MCPError("Missing required argument: isEnabled");
  const bool enabled = it->get<bool>();
  EmailDatabase::shared().write([&](Connection& c) {
    auto s = c.prepare(rules::sql::kSetRuleEnabled);
    s.bind_all(enabled, now_seconds(), id);
    s.run();
  });
  return Json{{"id", id}, {"isEnabled", enabled}};
}

// ---- application ----

Json result_json(const rules::EmailRuleApplicationResult& r) {
  Json samples = Json::array();
  for (const auto& item : r.samples)
    samples.push_back(Json{{"id", item.id},
                           {"subject", item.subject},
                           {"from", item.from},
                           {"date", item.date ? iso8601_utc(*item.date) : std::string()}});
  return Json{{"ruleId", r.ruleId},     {"ruleName", r.ruleName},         {"accountId", r.accountId},
              {"scannedCount", r.scannedCount}, {"matchedCount", r.matchedCount},
              {"changedCount", r.changedCount}, {"dryRun", r.dryRun},     {"samples", std::move(samples)}};
}

int64_t scan_limit(const Json& arguments) {
  return args::clamped(args::integer(arguments, "limit"), 500, 1, rules::kMaxRuleScan);
}

void start_moves(std::vector<rules::PendingRuleServerMove>& pending) {
  for (auto& move : pending) start_rule_server_move(EmailDatabase::shared(), std::move(move));
}

Json run_rule(const std::string& id, bool dry_run, int64_t limit) {
  std::vector<rules::PendingRuleServerMove> pending;
  const auto result = EmailDatabase::shared().write([&](Connection& c) {
    auto s = c.prepare(rules::sql::kOneRule);
    s.bind(1, id);
    if (!s.step()) throw MCPError("Rule not found");
    const rules::EmailRule rule = rules::rule_from_row(s);
    return rules::apply_rule(c, rule, limit, dry_run, rules::RuleApplicationStyle::toolServer(),
                             now_seconds(), pending);
  });
  start_moves(pending);
  return result_json(result);
}

Json preview_email_rule(const Json& arguments) {
  return run_rule(args::required_string(arguments, "ruleId"), true, scan_limit(arguments));
}

Json apply_email_rule(const Json& arguments) {
  const std::string id = args::required_string(arguments, "ruleId");
  return run_rule(id, args::boolean(arguments, "dryRun").value_or(false), scan_limit(arguments));
}

Json apply_email_rules(const Json& arguments) {
  const std::string account_id = args::required_string(arguments, "accountId");
  const bool dry_run = args::boolean(arguments, "dryRun").value_or(false);
  const int64_t limit = scan_limit(arguments);
  std::vector<rules::PendingRuleServerMove> pending;
  const auto results = EmailDatabase::shared().write([&](Connection& c) {
    std::vector<rules::EmailRule> rules;
    auto s = c.prepare(rules::sql::kEnabledRulesOfAccount);
    s.bind(1, account_id);
    while (s.step()) rules.push_back(rules::rule_from_row(s));
    const double now = now_seconds();
    std::vector<rules::EmailRuleApplicationResult> out;
    for (const auto& rule : rules)
      out.push_back(rules::apply_rule(c, rule, limit, dry_run, rules::RuleApplicationStyle::toolServer(),
                                      now, pending));
    return out;
  });
  start_moves(pending);
  size_t matched = 0, changed = 0;
  Json list = Json::array();
  for (const auto& r : results) {
    matched += r.matchedCount;
    changed += r.changedCount;
    list.push_back(result_json(r));
  }
  return Json{{"accountId", account_id}, {"ruleCount", results.size()}, {"matchedCount", matched},
              {"changedCount", changed},  {"dryRun", dry_run},          {"rules", std::move(list)}};
}

}  // namespace

std::vector<Tool> rule_tools() {
  std::vector<Tool> tools;
  auto add = [&](ToolTier tier, OrderedJson descriptor, std::function<Json(const Json&)> handler) {
    tools.push_back(Tool{descriptor["name"].get<std::string>(), tier, std::move(descriptor), std::move(handler)});
  };
  add(ToolTier::read,
      tool_descriptor("list_email_rules", "List structured email rules. Optionally filter by accountId.",
                      properties({{"accountId", string_property("Optional account UUID")},
                                  {"enabledOnly", boolean_property("Only return enabled rules")}}),
                      {}),
      list_email_rules);
  add(ToolTier::read,
      tool_descriptor("preview_email_rule",
                      "Preview messages that match a rule in the rule's own account without changing mail.",
                      properties({{"ruleId", string_property("Rule UUID")},
                                  {"limit", integer_property("Max messages to scan, default 500")}}),
                      {"ruleId"}),
      preview_email_rule);
  add(ToolTier::trainable,
      tool_descriptor(
          "create_email_rule", "Create a structured email rule. conditions/actions are JSON objects.",
          properties({{"accountId", string_property("Account UUID")},
                      {"name", string_property("Rule name")},
                      {"conditions", object_property("fromContains, subjectContains, bodyContains, "
                                                     "hasAttachments, isRead, folderId")},
                      {"actions", object_property("markAsRead, markAsImportant, markAsSpam, moveToFolder, "
                                                  "addTags, delete")},
                      {"isEnabled", boolean_property("Defaults to true")}}),
          {"accountId", "name", "conditions", "actions"}),
      create_email_rule);
  add(ToolTier::trainable,
      tool_descriptor("update_email_rule", "Update a structured email rule. Omitted fields are kept unchanged.",
                      properties({{"ruleId", string_property("Rule UUID")},
                                  {"name", string_property("Optional rule name")},
                                  {"conditions", object_property("Optional condition object")},
                                  {"actions", object_property("Optional action object")},
                                  {"isEnabled", boolean_property("Optional enabled state")}}),
                      {"ruleId"}),
      update_email_rule);
  add(ToolTier::trainable,
      tool_descriptor("delete_email_rule", "Delete a structured email rule.",
                      properties({{"ruleId", string_property("Rule UUID")}}), {"ruleId"}),
      delete_email_rule);
  add(ToolTier::trainable,
      tool_descriptor("set_email_rule_enabled", "Enable or disable a structured email rule.",
                      properties({{"ruleId", string_property("Rule UUID")},
                                  {"isEnabled", boolean_property("Enabled state")}}),
                      {"ruleId", "isEnabled"}),
      set_email_rule_enabled);
  add(ToolTier::trainable,
      tool_descriptor("apply_email_rule",
                      "Apply a rule to existing local email in the rule's own account. Move actions "
                      "(moveToFolder / markAsSpam) also move the messages on the IMAP server in the "
                      "background. Set dryRun=true to preview only.",
                      properties({{"ruleId", string_property("Rule UUID")},
                                  {"dryRun", boolean_property("Preview only, default false")},
                                  {"limit", integer_property("Max messages to scan, default 500")}}),
                      {"ruleId"}),
      apply_email_rule);
  add(ToolTier::trainable,
      tool_descriptor("apply_email_rules",
                      "Apply all enabled rules for an account to existing local email. Move actions "
                      "(moveToFolder / markAsSpam) also move the messages on the IMAP server in the "
                      "background.",
                      properties({{"accountId", string_property("Account UUID")},
                                  {"dryRun", boolean_property("Preview only, default false")},
                                  {"limit", integer_property("Max messages per rule, default 500")}}),
                      {"accountId"}),
      apply_email_rules);
  return tools;
}

}  // namespace kestrova::app
