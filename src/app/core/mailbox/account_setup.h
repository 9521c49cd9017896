#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mail/certificate_trust.h"
#include "mail/oauth_token.h"
#include "store/email_account.h"

namespace kestrova::platform {
class SettingsStore;
}

namespace kestrova::app {

class AccountBook;
class UserPreferences;

// What adding and removing an account takes besides the account row, shared by
// `kestrova account` and the window's account page: certificates to trust, the browser
// sign-in's provider and client, and the order in which credential, row and trust are
// written and removed.

// ---- certificates ----

// `text` as a stored SHA-256 fingerprint; throws kestrova::Error naming it when it is none.
std::string fingerprint_named(const std::string& text);
// The absolute path of a readable PEM file holding at least one certificate; throws
// kestrova::Error otherwise.
std::string ca_file_named(const std::string& path);

// ---- browser sign-in (OAuth 2.0) ----

// Whether the provider signs in through the browser instead of a password: Gmail, Outlook
// and Exchange.
bool offers_browser_sign_in(store::EmailServiceType type);
// The provider's authorisation server: its own, or the one the settings name (a single
// Microsoft tenant instead of "common", a test server). Throws kestrova::Error for a
// provider without browser sign-in.
mail::OAuthProvider oauth_provider_for(store::EmailServiceType type,
                                       const UserPreferences& preferences);
// The OAuth client the settings name for the provider; the secret only for Google (Microsoft's
// desktop clients are public). An empty id means none is configured.
struct OAuthClient {
  std::string id;
  std::string secret;
  std::string idSettingKey;  // the setting that holds the id, for the message when it is empty
};
OAuthClient oauth_client_for(store::EmailServiceType type, const UserPreferences& preferences);

// ---- saving and removing ----

// Saves a new account whose servers accepted `credential` (a password or a serialized token
// set): the credential first under the account's id, then the row — a credential left over
// from a failed row write is removed again — then the certificates to trust. The first
// account, or one with `makeDefault`, becomes the default. Sets the account's
// passwordKeychainIdentifier, times and isDefault. Throws on failure.
void save_new_account(AccountBook& book, store::EmailAccount& account,
                      const std::string& credential, const mail::AccountCertificateTrust& trust,
                      platform::SettingsStore& settings, bool makeDefault = false);
// Saves changes to a stored account (servers, address, name) whose servers accepted its
// credential: `credential`, when given, first replaces the stored one — and the old one is
// put back should the row not be written — then the row, then the certificates to trust.
// The account keeps its id, credential key, creation time and default mark; sets updatedAt.
// Throws on failure.
void save_edited_account(AccountBook& book, store::EmailAccount& account,
                         const std::optional<std::string>& credential,
                         const mail::AccountCertificateTrust& trust,
                         platform::SettingsStore& settings);
// Removes the account with its folders and local mail, its credential and its trusted
// certificates.
void remove_account_completely(AccountBook& book, const store::EmailAccount& account,
                               platform::SettingsStore& settings);

}  // namespace kestrova::app
