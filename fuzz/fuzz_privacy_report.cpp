// libFuzzer target: the privacy report of a message whose fields come from the input.
//
// The input is split at the byte sequence "\n--\n" into up to five fields: HTML body, text
// body, subject, sender ("Name <address>" or a bare address) and Reply-To addresses
// (separated by ","). A missing field is empty; an empty body counts as absent. Beyond
// sanitizer reports it aborts when the report is not the same twice, a count is negative or
// larger than the HTML allows, a snippet or URL is not valid UTF-8 where the input was, or
// the tool form cannot be serialised.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "safety/email_privacy_report_service.h"
#include "store/email_message.h"
#include "util/json.h"
#include "util/text.h"

namespace {

using kestrova::store::EmailContact;

std::vector<std::string_view> split_fields(std::string_view input) {
  std::vector<std::string_view> fields;
  constexpr std::string_view separator = "\n--\n";
  while (fields.size() < 4) {
    const size_t at = input.find(separator);
    if (at == std::string_view::npos) break;
    fields.push_back(input.substr(0, at));
    input.remove_prefix(at + separator.size());
  }
  fields.push_back(input);
  fields.resize(5);
  return fields;
}

EmailContact contact(std::string_view text) {
  const size_t open = text.rfind('<');
  const size_t close = text.rfind('>');
  if (open != std::string_view::npos && close != std::string_view::npos && close > open)
    return {std::string(text.substr(0, open)),
            std::string(text.substr(open + 1, close - open - 1))};
  return {std::nullopt, std::string(text)};
}

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "privacy report check failed: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto fields = split_fields(std::string_view(reinterpret_cast<const char*>(data), size));
  kestrova::store::EmailMessage message;
  if (!fields[0].empty()) message.htmlBody = std::string(fields[0]);
  if (!fields[1].empty()) message.textBody = std::string(fields[1]);
  message.subject = std::string(fields[2]);
  message.from = contact(fields[3]);
  std::string_view reply = fields[4];
  while (!reply.empty()) {
    const size_t comma = reply.find(',');
    message.replyTo.push_back(contact(reply.substr(0, comma)));
    if (comma == std::string_view::npos) break;
    reply.remove_prefix(comma + 1);
  }

  using kestrova::safety::EmailPrivacyReportService;
  const auto first = EmailPrivacyReportService::report(message);
  const auto second = EmailPrivacyReportService::report(message);
  const kestrova::Json json = kestrova::safety::to_tool_json(first);
  check(json == kestrova::safety::to_tool_json(second), "deterministic");
  check(first.trackerCount >= 0, "count not negative");
  const size_t html_size = message.htmlBody ? message.htmlBody->size() : 0;
  check(static_cast<size_t>(first.trackerCount) <= html_size / 4, "count bounded by the HTML");
  if (html_size == 0) check(first.trackerCount == 0, "no HTML, no count");
  for (const auto& hit : first.injection)
    check(kestrova::text::is_valid_utf8(hit.snippet), "snippet is UTF-8");
  for (const auto& link : first.suspiciousLinks) check(!link.url.empty(), "link has a URL");
  check(first.senderTrust.status == kestrova::safety::SenderTrustCheck::Status::clean ||
            !first.senderTrust.senderDomain.empty(),
        "an inconsistent sender has a domain");
  check(!kestrova::dump_compact(json).empty(), "serialisable");
  return 0;
}
