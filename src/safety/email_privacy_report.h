#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"

namespace kestrova::safety {

// A link that looks deceptive.
struct SuspiciousLink {
  enum class Reason { displayMismatch, ipAddress, urlShortener, punycode, insecureScheme };

  std::string id;           // canonical UUID
  std::string url;          // the URL as parsed (its absolute string)
  std::string displayText;  // the anchor's inner text; empty for bare URLs
  Reason reason = Reason::insecureScheme;

  bool operator==(const SuspiciousLink&) const = default;
};

// Whether the sender's identity is consistent.
struct SenderTrustCheck {
  enum class Status { replyToDomainMismatch, displayNameMimicsEmail, both, clean };

  Status status = Status::clean;
  std::string replyToDomain;    // set for replyToDomainMismatch and both
  std::string senderDomain;     // set for every case but clean
  std::string displayedDomain;  // set for displayNameMimicsEmail and both

  bool operator==(const SenderTrustCheck&) const = default;
  // The localised explanation; empty when clean.
  std::string message() const;
};

// Text in the message aimed at an AI assistant reading it.
struct PromptInjectionHit {
  enum class Kind { directInstruction, hiddenText, systemFence, zeroWidthChars };

  std::string id;  // canonical UUID
  Kind kind = Kind::directInstruction;
  std::string snippet;

  bool operator==(const PromptInjectionHit&) const = default;
};

struct EmailPrivacyReport {
  int trackerCount = 0;  // remote resources the HTML would load
  std::vector<SuspiciousLink> suspiciousLinks;  // in discovery order
  SenderTrustCheck senderTrust;
  std::vector<PromptInjectionHit> injection;

  bool operator==(const EmailPrivacyReport&) const = default;
};

// Raw names: the case names ("displayMismatch", "replyToDomainMismatch", "hiddenText", ...).
std::string_view raw_value(SuspiciousLink::Reason reason);
std::string_view raw_value(SenderTrustCheck::Status status);
std::string_view raw_value(PromptInjectionHit::Kind kind);
// Localised texts: "privacy.link.reason.<case>" and "privacy.injection.kind.<case>".
std::string localized_reason(SuspiciousLink::Reason reason);
std::string localized_label(PromptInjectionHit::Kind kind);

// The agent tool server's rendering: {trackerCount, suspiciousLinks: [{url, displayText,
// reason}], senderTrust: {status, ...domains}, injection: [{kind, snippet}]}. Ids are left
// out (they are generated per report).
Json to_tool_json(const EmailPrivacyReport& report);

}  // namespace kestrova::safety
