#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "util/json.h"

namespace kestrova::app {

// A link into the mail client under the "kestrova" URL scheme. Pure value.
struct EmailDeepLink {
  // The case number is the enumerator's position.
  enum class Kind { message, thread, draft, account, email, reply, drafts };

  Kind kind = Kind::drafts;
  // Canonical upper-case UUID for the UUID cases, the thread id for `thread`, empty for
  // `drafts`.
  std::string id;
  // Only for `email` and `reply`: open with the AI chat side panel.
  bool chat = false;

  static EmailDeepLink message(std::string_view uuid);
  static EmailDeepLink thread(std::string_view thread_id);
  static EmailDeepLink draft(std::string_view uuid);
  static EmailDeepLink account(std::string_view uuid);
  static EmailDeepLink email(std::string_view uuid, bool chat);
  static EmailDeepLink reply(std::string_view uuid, bool chat);
  static EmailDeepLink drafts();

  // Nothing when `url` is not a link of this program.
  static std::optional<EmailDeepLink> parse(std::string_view url);
  // The inverse of parse for every link with a valid payload: parse(build()) == *this.
  std::string build() const;
  // {"case", "caseNumber", "id" (absent for drafts), "chat" (email and reply only)}.
  Json to_json() const;

  bool operator==(const EmailDeepLink&) const = default;
};

// The case's name, as in the link text ("message", "drafts", ...).
std::string_view case_name(EmailDeepLink::Kind kind);

// A URL delivered to the program: when it parses, logs "🔗 [AppDelegate] 深链打开: " + URL
// and posts the notification "emailDeepLinkOpened" with the link's JSON on the main thread
// (platform::MainQueue). A URL that does not parse is ignored silently: nothing is logged
// or posted. Returns the link.
std::optional<EmailDeepLink> open_deep_link(std::string_view url);

// Percent-encodes everything outside the characters allowed in a URL path.
std::string percent_encode_path(std::string_view text);
// Nothing when an escape is malformed or the decoded bytes are not UTF-8.
std::optional<std::string> percent_decode(std::string_view text);

}  // namespace kestrova::app
