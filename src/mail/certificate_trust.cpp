#include "mail/certificate_trust.h"

#include "platform/settings_store.h"
#include "util/json.h"

namespace kestrova::mail {

namespace {

constexpr std::string_view kHexDigits = "0123456789ABCDEF";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> text_at(const Json& entry, const char* key) {
  if (!entry.is_object() || !entry.contains(key) || !entry[key].is_string()) return std::nullopt;
  std::string value = entry[key].get<std::string>();
  if (value.empty()) return std::nullopt;
  return value;
}

Json stored_entries(platform::SettingsStore& settings) {
  auto all = settings.value(AccountCertificateTrust::kSettingsKey);
  return all && all->is_object() ? *all : Json::object();
}

}  // namespace

std::optional<std::string> normalized_fingerprint(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c == ':' || c == ' ' || c == '\t') continue;
    const int value = hex_value(c);
    if (value < 0) return std::nullopt;
    digits.push_back(kHexDigits[static_cast<size_t>(value)]);
  }
  if (digits.size() != 64) return std::nullopt;
  std::string pairs;
  for (size_t i = 0; i < digits.size(); i += 2) {
    if (i) pairs.push_back(':');
    pairs.append(digits, i, 2);
  }
  return pairs;
}

std::string AccountCertificateTrust::trustCommandFor(std::string_view accountName, bool imap) {
  return "kestrova account trust-cert " + std::string(accountName) + (imap ? " --imap" : " --smtp");
}

AccountCertificateTrust AccountCertificateTrust::load(platform::SettingsStore& settings,
                                                      const std::string& accountId,
                                                      std::string_view accountName) {
  AccountCertificateTrust trust;
  trust.imap.trustCommand = trustCommandFor(accountName, true);
  trust.smtp.trustCommand = trustCommandFor(accountName, false);
  const Json all = stored_entries(settings);
  if (!all.contains(accountId)) return trust;
  const Json& entry = all[accountId];
  if (auto fingerprint = text_at(entry, "imap"))
    trust.imap.fingerprint = normalized_fingerprint(*fingerprint);
  if (auto fingerprint = text_at(entry, "smtp"))
    trust.smtp.fingerprint = normalized_fingerprint(*fingerprint);
  trust.imap.caFile = text_at(entry, "imapCAFile");
  trust.smtp.caFile = text_at(entry, "smtpCAFile");
  return trust;
}

void AccountCertificateTrust::save(platform::SettingsStore& settings,
                                   const std::string& accountId) const {
  Json entry = Json::object();
  auto put = [&](const char* key, const std::optional<std::string>& value) {
    if (value) entry[key] = *value;
  };
  put("imap", imap.fingerprint);
  put("smtp", smtp.fingerprint);
  put("imapCAFile", imap.caFile);
  put("smtpCAFile", smtp.caFile);
  Json all = stored_entries(settings);
  if (entry.empty()) {
    if (!all.contains(accountId)) return;
    all.erase(accountId);
  } else {
    all[accountId] = entry;
  }
  settings.set(kSettingsKey, all);
}

void AccountCertificateTrust::forget(platform::SettingsStore& settings,
                                     const std::string& accountId) {
  Json all = stored_entries(settings);
  if (!all.contains(accountId)) return;
  all.erase(accountId);
  settings.set(kSettingsKey, all);
}

}  // namespace kestrova::mail
