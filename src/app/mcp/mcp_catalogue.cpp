#include "app/mcp/mcp_catalogue.h"

#include <map>
#include <span>
#include <string>
#include <string_view>

namespace kestrova::app {

namespace {

// Group membership in catalogue order.
constexpr std::string_view kBaseMail[] = {"list_accounts", "list_folders",    "list_messages",
                                          "get_message",   "search_messages", "create_draft"};
constexpr std::string_view kWorkflow[] = {
    "list_action_items", "list_follow_ups",    "get_privacy_report", "get_sender_profile",
    "list_contacts",     "create_action_item", "mark_action_done",   "snooze_action",
    "reopen_action",     "set_reply_later",    "set_waiting_on",     "set_sender_category",
    "set_sender_note"};
constexpr std::string_view kTagLink[] = {"list_tags",         "search_by_tag",
                                         "get_deep_link",     "list_feature_toggles",
                                         "open_email_window", "remove_tag"};
constexpr std::string_view kRule[] = {
    "list_email_rules",  "preview_email_rule",     "create_email_rule", "update_email_rule",
    "delete_email_rule", "set_email_rule_enabled", "apply_email_rule",  "apply_email_rules"};
constexpr std::string_view kWrite[] = {"mark_message_read", "set_message_starred", "add_tag",
                                       "move_message", "delete_message"};

// A group: its members and its place in the lookup order. The catalogue lists the groups
// in this table's order; a tools/call tries the write group first and base mail last.
struct GroupDefinition {
  std::span<const std::string_view> names;
  int lookup_rank;
};
constexpr GroupDefinition kGroups[] = {
    {kBaseMail, 4}, {kWorkflow, 3}, {kTagLink, 1}, {kRule, 2}, {kWrite, 0}};

ToolGroup group_of(const GroupDefinition& definition,
                   std::map<std::string, Tool, std::less<>>& available) {
  ToolGroup group(definition.lookup_rank);
  for (std::string_view name : definition.names) {
    auto it = available.find(name);
    if (it == available.end()) continue;  // this tool is not built into the program
    group.add(std::move(it->second));
    available.erase(it);
  }
  return group;
}

}  // namespace

std::vector<ToolGroup> build_tool_catalogue() {
  std::map<std::string, Tool, std::less<>> available;
  for (auto provider : {mail_tools, workflow_tools, link_tools, rule_tools})
    for (Tool& tool : provider()) available.emplace(tool.name, std::move(tool));
  std::vector<ToolGroup> groups;
  for (const GroupDefinition& definition : kGroups)
    groups.push_back(group_of(definition, available));
  return groups;
}

}  // namespace kestrova::app
