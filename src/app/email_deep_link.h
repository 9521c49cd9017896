#pragma once

#include <optional>
#include <string>
#include <string_view>

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
  std::string build() const;

  bool operator==(const EmailDeepLink&) const = default;
};

// Percent-encodes everything outside the characters allowed in a URL path.
std::string percent_encode_path(std::string_view text);
// Nothing when an escape is malformed or the decoded bytes are not UTF-8.
std::optional<std::string> percent_decode(std::string_view text);

}  // namespace kestrova::app
