// The link tools of the tool server: deep links into the mail client and the feature
// toggles.

#include "app/core/email_deep_link.h"
#include "app/mcp/mail_tool_support.h"
#include "app/mcp/mcp_arguments.h"
#include "app/mcp/mcp_catalogue.h"
#include "app/mcp/mcp_error.h"
#include "platform/desktop_open.h"
#include "platform/settings_store.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

std::string uuid_or_fail(const std::optional<std::string>& id) {
  if (id)
    if (auto parsed = parse_uuid(*id)) return *parsed;
  throw MCPError("Invalid UUID");
}

Json get_deep_link(const Json& arguments) {
  const auto type = args::optional_string(arguments, "type");
  if (!type || type->empty()) throw MCPError("Missing required parameter: type");
  const auto id = args::optional_string(arguments, "id");
  const bool chat = args::boolean(arguments, "chat").value_or(true);
  EmailDeepLink link;
  if (*type == "message") {
    link = EmailDeepLink::message(uuid_or_fail(id));
  } else if (*type == "thread") {
    if (!id || id->empty()) throw MCPError("Thread ID required");
    // The agent gets the thread id exactly as it gave it.
    return Json{{"url", "kestrova://thread/" + *id}};
  } else if (*type == "drafts") {
    link = EmailDeepLink::drafts();
  } else if (*type == "draft") {
    link = EmailDeepLink::draft(uuid_or_fail(id));
  } else if (*type == "account") {
    link = EmailDeepLink::account(uuid_or_fail(id));
  } else if (*type == "email") {
    link = EmailDeepLink::email(uuid_or_fail(id), chat);
  } else if (*type == "reply") {
    link = EmailDeepLink::reply(uuid_or_fail(id), chat);
  } else {
    throw MCPError("Unknown link type: " + *type +
                   ". Use: message/thread/drafts/draft/account/email/reply");
  }
  return Json{{"url", link.build()}};
}

Json list_feature_toggles(const Json&) {
  auto& settings = platform::SettingsStore::shared();
  return Json{
      {"actionItems", settings.boolean("featureActionItemsEnabled").value_or(true)},
      {"internalNotes", settings.boolean("featureInternalNotesEnabled").value_or(false)},
      {"tagSystem", settings.boolean("featureTagSystemEnabled").value_or(false)}};
}

Json open_email_window(const Json& arguments) {
  const std::string message_id = required_uuid(arguments, "messageId", "Invalid or missing messageId");
  const bool chat = args::boolean(arguments, "chat").value_or(true);
  const std::string url = EmailDeepLink::email(message_id, chat).build();
  platform::open_url_on_desktop(url);  // without a desktop the agent still gets the link
  return Json{{"status", "ok"}, {"deepLink", url}};
}

}  // namespace

std::vector<Tool> link_tools() {
  OrderedJson link_properties = OrderedJson::object();
  link_properties["type"] = string_property("Link type: message / thread / drafts / draft / account / email / reply");
  link_properties["id"] = string_property("UUID or thread ID (not needed for 'drafts')");
  link_properties["chat"] = boolean_property("Include AI chat sidebar (for email/reply types, default true)");
  OrderedJson window_properties = OrderedJson::object();
  window_properties["messageId"] = string_property("Message UUID");
  window_properties["chat"] = boolean_property("Show AI chat sidebar (default true)");

  std::vector<Tool> tools;
  tools.push_back(Tool{"get_deep_link", ToolTier::read,
                       tool_descriptor("get_deep_link",
                                       "Generate a kestrova:// deep link URL for a resource. Types: message, thread, "
                                       "drafts, draft, account, email (opens window), reply (opens reply window).",
                                       std::move(link_properties), {"type"}),
                       get_deep_link});
  tools.push_back(Tool{"list_feature_toggles", ToolTier::read,
                       tool_descriptor("list_feature_toggles",
                                       "List current feature toggle states (action items, internal notes, tag system).",
                                       {}, {}),
                       list_feature_toggles});
  tools.push_back(Tool{"open_email_window", ToolTier::trainable,
                       tool_descriptor("open_email_window",
                                       "Open an email in an independent window with AI chat sidebar via deep link.",
                                       std::move(window_properties), {"messageId"}),
                       open_email_window});
  return tools;
}

}  // namespace kestrova::app
