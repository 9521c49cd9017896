#include "app/core/mailbox/account_setup.h"

#include <filesystem>

#include "app/core/mailbox/account_book.h"
#include "app/core/user_preferences.h"
#include "platform/email_credential_store.h"
#include "util/error.h"
#include "util/file.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::app {

using store::EmailServiceType;

std::string fingerprint_named(const std::string& text) {
  auto fingerprint = mail::normalized_fingerprint(text);
  if (!fingerprint) throw Error(localized_format("cli.account.bad_fingerprint", text));
  return *fingerprint;
}

std::string ca_file_named(const std::string& path) {
  const auto content = read_file(path);
  if (!content) throw Error(localized_format("cli.account.ca_unreadable", path));
  if (content->find("-----BEGIN CERTIFICATE-----") == std::string::npos)
    throw Error(localized_format("cli.account.ca_no_pem", path));
  return std::filesystem::absolute(path).lexically_normal().string();
}

bool offers_browser_sign_in(EmailServiceType type) {
  return type == EmailServiceType::gmail || type == EmailServiceType::outlook ||
         type == EmailServiceType::exchange;
}

mail::OAuthProvider oauth_provider_for(EmailServiceType type, const UserPreferences& preferences) {
  if (!offers_browser_sign_in(type)) throw Error(localized("cli.account.oauth_providers"));
  namespace s = settings;
  const bool google = type == EmailServiceType::gmail;
  auto provider = google ? mail::OAuthProvider::google() : mail::OAuthProvider::microsoft();
  const std::string authorization = preferences.get(google ? s::oauthGmailAuthorizationEndpoint
                                                           : s::oauthOutlookAuthorizationEndpoint);
  const std::string token =
      preferences.get(google ? s::oauthGmailTokenEndpoint : s::oauthOutlookTokenEndpoint);
  if (!authorization.empty()) provider.authorizationEndpoint = authorization;
  if (!token.empty()) provider.tokenEndpoint = token;
  return provider;
}

OAuthClient oauth_client_for(EmailServiceType type, const UserPreferences& preferences) {
  namespace s = settings;
  if (type == EmailServiceType::gmail)
    return {text::trim(preferences.get(s::oauthGmailClientId)),
            text::trim(preferences.get(s::oauthGmailClientSecret)),
            std::string(s::oauthGmailClientId.key)};
  return {text::trim(preferences.get(s::oauthOutlookClientId)),
          {},
          std::string(s::oauthOutlookClientId.key)};
}

void save_new_account(AccountBook& book, store::EmailAccount& account,
                      const std::string& credential, const mail::AccountCertificateTrust& trust,
                      platform::SettingsStore& settings, bool makeDefault) {
  const double now = now_seconds();
  account.createdAt = now;
  account.updatedAt = now;
  account.passwordKeychainIdentifier = account.id;
  account.isDefault = book.accounts().empty();

  // The credential first: an account row without its password would be unusable.
  const auto& credentials = platform::EmailCredentialStore::shared();
  credentials.save(credential, *account.passwordKeychainIdentifier);
  try {
    book.save(account);
  } catch (...) {
    credentials.remove(*account.passwordKeychainIdentifier);
    throw;
  }
  trust.save(settings, account.id);
  if (makeDefault && !account.isDefault) {
    book.makeDefault(account.id);
    account.isDefault = true;
  }
}

void save_edited_account(AccountBook& book, store::EmailAccount& account,
                         const std::optional<std::string>& credential,
                         const mail::AccountCertificateTrust& trust,
                         platform::SettingsStore& settings) {
  const auto& stored = book.find(account.id);
  account.createdAt = stored.createdAt;
  account.isDefault = stored.isDefault;
  account.updatedAt = now_seconds();
  if (!account.passwordKeychainIdentifier)
    account.passwordKeychainIdentifier = stored.passwordKeychainIdentifier.value_or(account.id);
  const std::string& key = *account.passwordKeychainIdentifier;

  const auto& credentials = platform::EmailCredentialStore::shared();
  std::optional<std::string> previous;
  if (credential) {
    previous = credentials.read(key);
    credentials.save(*credential, key);
  }
  try {
    book.save(account);
  } catch (...) {
    // The row still names the old servers: they go with the old credential.
    if (previous)
      credentials.save(*previous, key);
    else if (credential)
      credentials.remove(key);
    throw;
  }
  trust.save(settings, account.id);
}

void remove_account_completely(AccountBook& book, const store::EmailAccount& account,
                               platform::SettingsStore& settings) {
  book.remove(account.id);
  platform::EmailCredentialStore::shared().remove(
      account.passwordKeychainIdentifier.value_or(account.id));
  mail::AccountCertificateTrust::forget(settings, account.id);
}

}  // namespace kestrova::app
