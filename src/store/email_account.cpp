#include "store/email_account.h"

#include "store/json_reader.h"
#include "store/row_reader.h"

namespace kestrova::store {

std::optional<EmailAccount> EmailAccount::from_row(const Statement& row) {
  RowReader r(row);
  auto id = r.uuid("id");
  if (!id) return std::nullopt;
  const EmailAccount defaults;
  EmailAccount a;
  a.id = std::move(*id);
  a.emailAddress = r.text("email_address");
  a.displayName = r.text("display_name");
  a.serviceType = r.enumeration("service_type", defaults.serviceType);
  a.imapHost = r.text("imap_host");
  a.imapPort = static_cast<int>(r.integer("imap_port", defaults.imapPort));
  a.imapEncryption = r.enumeration("imap_encryption", defaults.imapEncryption);
  a.smtpHost = r.text("smtp_host");
  a.smtpPort = static_cast<int>(r.integer("smtp_port", defaults.smtpPort));
  a.smtpEncryption = r.enumeration("smtp_encryption", defaults.smtpEncryption);
  a.isEnabled = r.flag("is_enabled", defaults.isEnabled);
  a.isDefault = r.flag("is_default");
  a.requiresBiometricUnlock = r.flag("requires_biometric_unlock");
  a.isPrivacyModeEnabled = r.flag("is_privacy_mode_enabled");
  a.lastSyncDate = r.optional_date("last_sync_date");
  a.connectionStatus = r.enumeration("connection_status", defaults.connectionStatus);
  a.createdAt = r.date("created_at");
  a.updatedAt = r.date("updated_at");
  a.passwordKeychainIdentifier = r.optional_text("password_keychain_identifier");
  return a;
}

OrderedJson EmailAccount::to_json() const {
  OrderedJson j = OrderedJson::object();
  j["id"] = id;
  j["emailAddress"] = emailAddress;
  j["displayName"] = displayName;
  j["serviceType"] = raw_value(serviceType);
  j["imapHost"] = imapHost;
  j["imapPort"] = imapPort;
  j["imapEncryption"] = raw_value(imapEncryption);
  j["smtpHost"] = smtpHost;
  j["smtpPort"] = smtpPort;
  j["smtpEncryption"] = raw_value(smtpEncryption);
  j["isEnabled"] = isEnabled;
  j["isDefault"] = isDefault;
  j["requiresBiometricUnlock"] = requiresBiometricUnlock;
  j["isPrivacyModeEnabled"] = isPrivacyModeEnabled;
  if (lastSyncDate) j["lastSyncDate"] = *lastSyncDate;
  j["connectionStatus"] = raw_value(connectionStatus);
  j["createdAt"] = createdAt;
  j["updatedAt"] = updatedAt;
  if (passwordKeychainIdentifier) j["passwordKeychainIdentifier"] = *passwordKeychainIdentifier;
  return j;
}

std::optional<EmailAccount> EmailAccount::from_json(const OrderedJson& json) {
  JsonReader r(json);
  const EmailAccount defaults;
  EmailAccount a;
  a.id = r.uuid("id");
  a.emailAddress = r.text("emailAddress");
  a.displayName = r.text("displayName");
  a.serviceType = r.enumeration("serviceType", defaults.serviceType);
  a.imapHost = r.text("imapHost");
  a.imapPort = static_cast<int>(r.integer("imapPort", defaults.imapPort));
  a.imapEncryption = r.enumeration("imapEncryption", defaults.imapEncryption);
  a.smtpHost = r.text("smtpHost");
  a.smtpPort = static_cast<int>(r.integer("smtpPort", defaults.smtpPort));
  a.smtpEncryption = r.enumeration("smtpEncryption", defaults.smtpEncryption);
  a.isEnabled = r.flag("isEnabled", defaults.isEnabled);
  a.isDefault = r.flag("isDefault");
  a.requiresBiometricUnlock = r.flag("requiresBiometricUnlock");
  a.isPrivacyModeEnabled = r.flag("isPrivacyModeEnabled");
  a.lastSyncDate = r.optional_date("lastSyncDate");
  a.connectionStatus = r.enumeration("connectionStatus", defaults.connectionStatus);
  a.createdAt = r.date("createdAt");
  a.updatedAt = r.date("updatedAt");
  a.passwordKeychainIdentifier = r.optional_text("passwordKeychainIdentifier");
  if (!r.ok()) return std::nullopt;
  return a;
}

}  // namespace kestrova::store
