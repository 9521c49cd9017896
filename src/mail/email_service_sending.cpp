// EmailService's send operation and the sent copy.

#include "mail/email_message_conversion.h"
#include "mail/email_service.h"
#include "util/log.h"
#include "util/text.h"

namespace kestrova::mail {

BuiltMessage EmailService::sendMessage(const store::EmailAccount& account,
                                       const std::optional<std::string>& password,
                                       OutgoingMessage message,
                                       const std::vector<std::string>& bcc) const {
  auto session = openSMTPSession(account, password);
  message.fromName = account.displayName;
  LibEtPanError error;
  BuiltMessage built;
  const bool sent = session->sendMessage(std::move(message), bcc, &error, &built);
  session->disconnect();
  if (!sent) throw EmailServiceError::networkError(error);
  return built;
}

bool EmailService::providerFilesSentCopy(const store::EmailAccount& account) {
  if (account.serviceType == store::EmailServiceType::gmail) return true;
  const std::string host = text::lower(account.smtpHost);
  return host == "smtp.gmail.com" || host == "smtp.googlemail.com";
}

void EmailService::appendSentCopy(const store::EmailAccount& account,
                                  const std::optional<std::string>& password,
                                  std::string_view folderPath, std::string_view message) const {
  auto session = openIMAPSession(account, password);
  LibEtPanError error;
  bool stored = session->appendSeenMessage(folderPath, message, &error);
  // RFC 3501 §6.3.11: a server answers [TRYCREATE] for a folder that does not exist; create
  // it and try once more (a failed create means it existed or cannot be made).
  if (!stored && session->createFolder(folderPath))
    stored = session->appendSeenMessage(folderPath, message, &error);
  session->disconnect();
  if (!stored) throw EmailServiceError::networkError(error);
}

bool EmailService::isAutomaticMail(std::string_view headerFields) {
  // Unfolded, lower-cased "name: value" lines.
  std::string unfolded;
  for (size_t i = 0; i < headerFields.size(); ++i) {
    const char c = headerFields[i];
    if (c == '\r') continue;
    if (c == '\n' && i + 1 < headerFields.size() &&
        (headerFields[i + 1] == ' ' || headerFields[i + 1] == '\t'))
      continue;
    unfolded.push_back(c);
  }
  const std::string lowered = text::lower(unfolded);
  bool returnPath = false;
  size_t at = 0;
  while (at < lowered.size()) {
    size_t end = lowered.find('\n', at);
    if (end == std::string::npos) end = lowered.size();
    const std::string_view line = std::string_view(lowered).substr(at, end - at);
    at = end + 1;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string name = text::trim(line.substr(0, colon));
    const std::string value = text::trim(line.substr(colon + 1));
    if (name == "auto-submitted" && value.substr(0, value.find_first_of(" \t;(")) != "no")
      return true;
    if (name == "precedence" &&
        (value == "bulk" || value == "junk" || value == "list" || value == "auto_reply"))
      return true;
    if (name == "list-id" || name == "list-unsubscribe" || name == "x-autoreply" ||
        name == "x-autorespond")
      return true;
    if (name == "return-path") {
      // RFC 5321 §4.4: "<>" is the null reverse path of bounces and other automatic mail.
      std::string address = value;
      std::erase_if(address, [](char c) { return c == '<' || c == '>' || c == ' ' || c == '\t'; });
      if (address.empty() || is_no_reply_address(address)) return true;
      returnPath = true;
    }
  }
  return !returnPath;
}

}  // namespace kestrova::mail
