#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova::platform {
class SettingsStore;
}

namespace kestrova::mail {

// What a server's certificate may be trusted by besides the system's certificate
// authorities and a matching host name (RFC 6125): one certificate named by its SHA-256
// fingerprint, or more certificate authorities from a PEM file. Chosen per account and per
// server by the user; nothing turns checking off.
// Every member has a default, so a designated initializer may name only the one it sets.
struct CertificateTrust {
  std::optional<std::string> fingerprint = {};  // "AB:CD:…", as normalized_fingerprint writes it
  std::optional<std::string> caFile = {};
  // The command that trusts a refused certificate; a refusal shows it followed by the
  // certificate's fingerprint. Empty: the command for an account not named here.
  std::string trustCommand = {};
};

// Both servers of one account, kept in the settings under kSettingsKey as an object
// keyed by account id: {"imap": fingerprint, "smtp": …, "imapCAFile": path, "smtpCAFile": …}.
struct AccountCertificateTrust {
  static constexpr std::string_view kSettingsKey = "emailTrustedCertificates";

  CertificateTrust imap;
  CertificateTrust smtp;

  // What the settings hold for the account, with the trust commands naming `accountName`.
  static AccountCertificateTrust load(platform::SettingsStore& settings,
                                      const std::string& accountId, std::string_view accountName);
  void save(platform::SettingsStore& settings, const std::string& accountId) const;
  static void forget(platform::SettingsStore& settings, const std::string& accountId);
  // "kestrova account trust-cert NAME --imap" (or --smtp).
  static std::string trustCommandFor(std::string_view accountName, bool imap);
};

// A SHA-256 fingerprint in the one form stored and compared: 32 upper-case hex pairs joined
// by ":". Accepts any case, with or without ":" or blanks between the pairs; nothing for
// anything else.
std::optional<std::string> normalized_fingerprint(std::string_view text);

}  // namespace kestrova::mail
