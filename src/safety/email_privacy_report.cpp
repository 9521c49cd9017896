#include "safety/email_privacy_report.h"

#include "util/localization.h"

namespace kestrova::safety {

std::string_view raw_value(SuspiciousLink::Reason reason) {
  switch (reason) {
    case SuspiciousLink::Reason::displayMismatch:
      return "displayMismatch";
    case SuspiciousLink::Reason::ipAddress:
      return "ipAddress";
    case SuspiciousLink::Reason::urlShortener:
      return "urlShortener";
    case SuspiciousLink::Reason::punycode:
      return "punycode";
    case SuspiciousLink::Reason::insecureScheme:
      return "insecureScheme";
  }
  return "insecureScheme";
}

std::string_view raw_value(SenderTrustCheck::Status status) {
  switch (status) {
    case SenderTrustCheck::Status::replyToDomainMismatch:
      return "replyToDomainMismatch";
    case SenderTrustCheck::Status::displayNameMimicsEmail:
      return "displayNameMimicsEmail";
    case SenderTrustCheck::Status::both:
      return "both";
    case SenderTrustCheck::Status::clean:
      return "clean";
  }
  return "clean";
}

std::string_view raw_value(PromptInjectionHit::Kind kind) {
  switch (kind) {
    case PromptInjectionHit::Kind::directInstruction:
      return "directInstruction";
    case PromptInjectionHit::Kind::hiddenText:
      return "hiddenText";
    case PromptInjectionHit::Kind::systemFence:
      return "systemFence";
    case PromptInjectionHit::Kind::zeroWidthChars:
      return "zeroWidthChars";
  }
  return "directInstruction";
}

std::string localized_reason(SuspiciousLink::Reason reason) {
  return localized("privacy.link.reason." + std::string(raw_value(reason)));
}

std::string localized_label(PromptInjectionHit::Kind kind) {
  return localized("privacy.injection.kind." + std::string(raw_value(kind)));
}

std::string SenderTrustCheck::message() const {
  switch (status) {
    case Status::replyToDomainMismatch:
      return localized_format("privacy.sender.replyToMismatch", replyToDomain, senderDomain);
    case Status::displayNameMimicsEmail:
      return localized_format("privacy.sender.displayNameMimicry", displayedDomain, senderDomain);
    case Status::both:
      return localized_format("privacy.sender.bothIssues", replyToDomain, senderDomain,
                              displayedDomain);
    case Status::clean:
      return {};
  }
  return {};
}

namespace {

Json sender_trust_json(const SenderTrustCheck& check) {
  Json out = Json::object();
  out["status"] = std::string(raw_value(check.status));
  switch (check.status) {
    case SenderTrustCheck::Status::replyToDomainMismatch:
      out["fromDomain"] = check.senderDomain;
      out["replyToDomain"] = check.replyToDomain;
      break;
    case SenderTrustCheck::Status::displayNameMimicsEmail:
      out["fakedEmail"] = check.displayedDomain;
      out["actualDomain"] = check.senderDomain;
      break;
    case SenderTrustCheck::Status::both:
      out["replyToDomain"] = check.replyToDomain;
      out["fakedEmail"] = check.displayedDomain;
      out["fromDomain"] = check.senderDomain;
      break;
    case SenderTrustCheck::Status::clean:
      break;
  }
  return out;
}

}  // namespace

Json to_tool_json(const EmailPrivacyReport& report) {
  Json links = Json::array();
  for (const SuspiciousLink& link : report.suspiciousLinks)
    links.push_back({{"url", link.url},
                     {"displayText", link.displayText},
                     {"reason", std::string(raw_value(link.reason))}});
  Json hits = Json::array();
  for (const PromptInjectionHit& hit : report.injection)
    hits.push_back({{"kind", std::string(raw_value(hit.kind))}, {"snippet", hit.snippet}});
  return Json{{"trackerCount", report.trackerCount},
              {"suspiciousLinks", std::move(links)},
              {"senderTrust", sender_trust_json(report.senderTrust)},
              {"injection", std::move(hits)}};
}

}  // namespace kestrova::safety
