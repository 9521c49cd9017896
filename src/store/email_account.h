#pragma once

#include <optional>
#include <string>

#include "store/email_enums.h"
#include "util/json.h"

namespace kestrova::store {

class Statement;

// One mail account (a row of email_accounts). The password is never part of the record:
// passwordKeychainIdentifier names its entry in the credential store.
struct EmailAccount {
  std::string id{};  // canonical UUID; not changed after creation
  std::string emailAddress{};
  std::string displayName{};
  EmailServiceType serviceType = EmailServiceType::custom;
  std::string imapHost{};
  int imapPort = 993;
  EmailEncryption imapEncryption = EmailEncryption::ssl;
  std::string smtpHost{};
  int smtpPort = 587;
  EmailEncryption smtpEncryption = EmailEncryption::startTLS;
  bool isEnabled = true;
  bool isDefault = false;
  bool requiresBiometricUnlock = false;
  bool isPrivacyModeEnabled = false;
  std::optional<double> lastSyncDate{};
  ConnectionStatus connectionStatus = ConnectionStatus::disconnected;
  double createdAt = 0;
  double updatedAt = 0;
  std::optional<std::string> passwordKeychainIdentifier{};

  bool operator==(const EmailAccount&) const = default;

  // An account without servers (an archive kept only here): no IMAP host. It is never
  // synchronised and every change to its mail stays local. The one test of that property.
  bool isLocalOnly() const { return imapHost.empty(); }

  // Nothing when `id` is NULL or not a UUID. NULL or unknown values read as the member
  // defaults above.
  static std::optional<EmailAccount> from_row(const Statement& row);

  // Keys are the field names; absent optionals are left out.
  OrderedJson to_json() const;
  // Nothing when the value is not an object, `id` is missing or not a UUID, or a key holds
  // the wrong kind of value. Missing keys take the member defaults.
  static std::optional<EmailAccount> from_json(const OrderedJson& json);
};

}  // namespace kestrova::store
