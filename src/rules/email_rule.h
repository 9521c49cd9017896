#pragma once

#include <optional>
#include <string>
#include <vector>

#include "store/email_message.h"
#include "util/json.h"

namespace kestrova::rules {

// What a message must satisfy; every absent field places no constraint.
struct RuleConditions {
  std::optional<std::string> fromContains;
  std::optional<std::string> subjectContains;
  std::optional<std::string> bodyContains;
  std::optional<bool> hasAttachments;
  std::optional<bool> isRead;
  std::optional<std::string> folderId;  // canonical UUID (other text matches no folder)

  bool operator==(const RuleConditions&) const = default;
  // An object with exactly the present fields.
  Json to_json() const;
  // Any subset of the keys; unknown keys are ignored; folder UUIDs come back canonical.
  // Nothing when `object` is not an object or a known key holds a value of the wrong JSON
  // type (a string where a boolean belongs): dropping such a key would widen what the rule
  // touches.
  static std::optional<RuleConditions> from_json(const Json& object);
};

// What a matching message undergoes; every absent field does nothing.
struct RuleActions {
  std::optional<bool> markAsRead;
  std::optional<bool> markAsImportant;
  std::optional<bool> markAsSpam;
  std::optional<std::string> moveToFolder;  // canonical UUID (other text names no folder)
  std::optional<std::vector<std::string>> addTags;
  std::optional<bool> deleteMessage;  // JSON key "delete"

  bool operator==(const RuleActions&) const = default;
  Json to_json() const;
  // As for conditions: nothing when a known key has the wrong type.
  static std::optional<RuleActions> from_json(const Json& object);
};

struct EmailRule {
  std::string id;         // canonical UUID
  std::string accountId;  // canonical UUID
  std::string name;
  RuleConditions conditions;
  RuleActions actions;
  bool isEnabled = true;
  std::optional<std::string> luaCode;
  double createdAt = 0;
  double updatedAt = 0;
  // False when the stored conditions or actions text could not be read as a JSON object.
  // Such a rule is listed with what could be read but never applied: an unreadable
  // condition must not turn into "every message".
  bool isDecodable = true;

  bool operator==(const EmailRule&) const = default;
};

// The stored text of conditions and actions: compact JSON, absent fields omitted.
std::string encode_conditions(const RuleConditions& conditions);
std::string encode_actions(const RuleActions& actions);
// Reads a stored text; nothing when it is not a JSON object of the right shape.
std::optional<RuleConditions> decode_conditions(std::string_view text);
std::optional<RuleActions> decode_actions(std::string_view text);

// All present conditions hold for the message. Text tests are case-insensitive "contains"
// under the user's locale; an empty condition text counts as absent.
bool matches(const RuleConditions& conditions, const store::EmailMessage& message);
// The message with the actions applied: flags, folder, tags (exact duplicates skipped),
// soft delete. No database access; whether the folder exists is the caller's question.
store::EmailMessage apply(const RuleActions& actions, store::EmailMessage message);
// The one-paragraph description shown to the user: "name · state\nIF …\nTHEN …".
std::string summary(const EmailRule& rule);

}  // namespace kestrova::rules
