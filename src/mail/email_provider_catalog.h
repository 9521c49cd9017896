#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/email_account.h"
#include "store/email_enums.h"

namespace kestrova::mail {

// One card of the provider picker.
struct EmailProviderBrand {
  store::EmailServiceType id = store::EmailServiceType::custom;
  std::string displayName;                     // localised where the provider has a name key
  std::string symbol;                          // icon name
  std::string tint;                            // colour, "#RRGGBB"
  std::vector<std::string> domains;            // lower-case mail domains of the provider
  std::string summary;                         // localisation key "provider.<case>.summary"
  std::optional<std::string> appPasswordURL;   // the provider's app-password or security page
  int priority = 0;                            // cards are shown by ascending priority
};

// The fixed list of providers the account editor offers.
class EmailProviderCatalog {
 public:
  // Every provider, custom included, by ascending priority. Lives for the whole process.
  static std::span<const EmailProviderBrand> brands();
  // The card of one provider.
  static const EmailProviderBrand& brand(store::EmailServiceType id);
  // The provider whose domains hold the domain of `emailAddress` (the text after the last
  // "@", compared without regard to case); nothing for any other address.
  static std::optional<store::EmailServiceType> recognize(std::string_view emailAddress);
  // "provider.mail163.name" for the providers whose names are localised, else nothing.
  static std::optional<std::string> nameKey(store::EmailServiceType id);
};

// What the account editor is doing when the provider choice changes.
enum class AccountEditorState {
  loadingExistingAccount,  // the form is being filled from a stored account
  editingExistingAccount,  // the user edits a stored account
  creatingAccount,         // a new account
};

struct PresetApplication {
  bool serverSettingsChanged = false;
  // The advanced server fields are shown when the provider brings no preset (custom).
  bool showAdvancedSettings = false;
};

// Reacts to a change of the provider choice (`account.serviceType` already holds the new
// provider): a new account takes the provider's IMAP and SMTP presets; a stored account
// keeps its servers, whether it is being loaded or edited. Logged under
// "EmailAccountViewModel".
PresetApplication applyProviderPreset(store::EmailAccount& account, AccountEditorState state);

}  // namespace kestrova::mail
