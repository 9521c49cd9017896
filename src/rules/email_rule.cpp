#include "rules/email_rule.h"

#include <algorithm>

#include "util/localization.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::rules {

namespace {

// Reads one optional field; false when the key is present with a value of the wrong type.
bool read_text(const Json& object, const char* key, std::optional<std::string>& out) {
  const auto it = object.find(key);
  if (it == object.end()) return true;
  if (!it->is_string()) return false;
  out = it->get<std::string>();
  return true;
}

bool read_flag(const Json& object, const char* key, std::optional<bool>& out) {
  const auto it = object.find(key);
  if (it == object.end()) return true;
  if (!it->is_boolean()) return false;
  out = it->get<bool>();
  return true;
}

// A folder reference: canonical when it is a UUID; any other text is kept as it is, since
// it names no folder and so can only narrow what the rule touches.
bool read_folder(const Json& object, const char* key, std::optional<std::string>& out) {
  if (!read_text(object, key, out)) return false;
  if (out)
    if (auto canonical = parse_uuid(*out)) out = std::move(canonical);
  return true;
}

bool present(const std::optional<std::string>& text) { return text && !text->empty(); }

std::optional<Json> parse_object(std::string_view text) {
  Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded() || !value.is_object()) return std::nullopt;
  return value;
}

}  // namespace

Json RuleConditions::to_json() const {
  Json out = Json::object();
  if (fromContains) out["fromContains"] = *fromContains;
  if (subjectContains) out["subjectContains"] = *subjectContains;
  if (bodyContains) out["bodyContains"] = *bodyContains;
  if (hasAttachments) out["hasAttachments"] = *hasAttachments;
  if (isRead) out["isRead"] = *isRead;
  if (folderId) out["folderId"] = *folderId;
  return out;
}

std::optional<RuleConditions> RuleConditions::from_json(const Json& object) {
  if (!object.is_object()) return std::nullopt;
  RuleConditions c;
  if (read_text(object, "fromContains", c.fromContains) &&
      read_text(object, "subjectContains", c.subjectContains) &&
      read_text(object, "bodyContains", c.bodyContains) &&
      read_flag(object, "hasAttachments", c.hasAttachments) &&
      read_flag(object, "isRead", c.isRead) && read_folder(object, "folderId", c.folderId))
    return c;
  return std::nullopt;
}

Json RuleActions::to_json() const {
  Json out = Json::object();
  if (markAsRead) out["markAsRead"] = *markAsRead;
  if (markAsImportant) out["markAsImportant"] = *markAsImportant;
  if (markAsSpam) out["markAsSpam"] = *markAsSpam;
  if (moveToFolder) out["moveToFolder"] = *moveToFolder;
  if (addTags) out["addTags"] = *addTags;
  if (deleteMessage) out["delete"] = *deleteMessage;
  return out;
}

std::optional<RuleActions> RuleActions::from_json(const Json& object) {
  if (!object.is_object()) return std::nullopt;
  RuleActions a;
  if (!read_flag(object, "markAsRead", a.markAsRead) ||
      !read_flag(object, "markAsImportant", a.markAsImportant) ||
      !read_flag(object, "markAsSpam", a.markAsSpam) ||
      !read_folder(object, "moveToFolder", a.moveToFolder) ||
      !read_flag(object, "delete", a.deleteMessage))
    return std::nullopt;
  if (const auto it = object.find("addTags"); it != object.end()) {
    if (!it->is_array()) return std::nullopt;
    std::vector<std::string> tags;
    for (const auto& tag : *it) {
      if (!tag.is_string()) return std::nullopt;
      tags.push_back(tag.get<std::string>());
    }
    a.addTags = std::move(tags);
  }
  return a;
}

std::string encode_conditions(const RuleConditions& conditions) {
  const std::string text = dump_compact(conditions.to_json());
  return text::is_valid_utf8(text) ? text : "{}";
}

std::string encode_actions(const RuleActions& actions) {
  const std::string text = dump_compact(actions.to_json());
  return text::is_valid_utf8(text) ? text : "{}";
}

std::optional<RuleConditions> decode_conditions(std::string_view text) {
  const auto object = parse_object(text);
  return object ? RuleConditions::from_json(*object) : std::nullopt;
}

std::optional<RuleActions> decode_actions(std::string_view text) {
  const auto object = parse_object(text);
  return object ? RuleActions::from_json(*object) : std::nullopt;
}

bool matches(const RuleConditions& conditions, const store::EmailMessage& message) {
  if (present(conditions.fromContains)) {
    const std::string& needle = *conditions.fromContains;
    if (!text::contains_ci_locale(message.from.email, needle) &&
        !(message.from.name && text::contains_ci_locale(*message.from.name, needle)))
      return false;
  }
  if (present(conditions.subjectContains) &&
      !text::contains_ci_locale(message.subject, *conditions.subjectContains))
    return false;
  if (present(conditions.bodyContains)) {
    const std::string body = message.textBody.value_or("") + message.htmlBody.value_or("");
    if (!text::contains_ci_locale(body, *conditions.bodyContains)) return false;
  }
  if (conditions.hasAttachments && *conditions.hasAttachments != message.hasAttachments) return false;
  if (conditions.isRead && *conditions.isRead != message.isRead) return false;
  if (conditions.folderId && message.folderId != conditions.folderId) return false;
  return true;
}

store::EmailMessage apply(const RuleActions& actions, store::EmailMessage message) {
  if (actions.markAsRead) message.isRead = *actions.markAsRead;
  if (actions.markAsImportant) message.isImportant = *actions.markAsImportant;
  if (actions.markAsSpam) message.isSpam = *actions.markAsSpam;
  if (actions.moveToFolder) message.folderId = *actions.moveToFolder;
  if (actions.addTags)
    for (const auto& tag : *actions.addTags)
      if (std::find(message.tags.begin(), message.tags.end(), tag) == message.tags.end())
        message.tags.push_back(tag);
  if (actions.deleteMessage.value_or(false)) message.isDeleted = true;
  return message;
}

std::string summary(const EmailRule& rule) {
  const auto& c = rule.conditions;
  std::vector<std::string> conditions;
  if (present(c.fromContains)) conditions.push_back(localized_format("rules.condition.from", *c.fromContains));
  if (present(c.subjectContains))
    conditions.push_back(localized_format("rules.condition.subject", *c.subjectContains));
  if (present(c.bodyContains)) conditions.push_back(localized_format("rules.condition.body", *c.bodyContains));
  if (c.hasAttachments)
    conditions.push_back(localized(*c.hasAttachments ? "rules.condition.hasAttachments"
                                                     : "rules.condition.noAttachments"));
  if (c.isRead) conditions.push_back(localized(*c.isRead ? "rules.condition.read" : "rules.condition.unread"));
  if (conditions.empty()) conditions.push_back(localized("rules.condition.any"));

  const auto& a = rule.actions;
  std::vector<std::string> actions;
  if (a.markAsRead) actions.push_back(localized(*a.markAsRead ? "rules.action.markRead" : "rules.action.markUnread"));
  if (a.markAsImportant.value_or(false)) actions.push_back(localized("rules.action.important"));
  if (a.markAsSpam.value_or(false)) actions.push_back(localized("rules.action.spam"));
  if (a.moveToFolder) actions.push_back(localized("rules.action.moveToFolder.summary"));
  if (a.addTags && !a.addTags->empty()) {
    std::string joined;
    for (const auto& tag : *a.addTags) joined += (joined.empty() ? "" : ", ") + tag;
    actions.push_back(localized_format("rules.action.tags", joined));
  }
  if (a.deleteMessage.value_or(false)) actions.push_back(localized("rules.action.delete"));
  if (actions.empty()) actions.push_back(localized("rules.action.none"));

  auto join = [](const std::vector<std::string>& parts) {
    std::string out;
    for (const auto& part : parts) out += (out.empty() ? "" : " + ") + part;
    return out;
  };
  return rule.name + " · " + localized(rule.isEnabled ? "rules.enabled" : "rules.disabled") + "\nIF " +
         join(conditions) + "\nTHEN " + join(actions);
}

}  // namespace kestrova::rules
