#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "util/error.h"

namespace kestrova::platform {

// Failure of the credential store. The status tells callers (and their logs) what went
// wrong without ever carrying the password:
//   1000 + code   a Secret Service error (libsecret's SecretError codes; 1000 alone: the
//                 service refused without saying why, e.g. a dismissed unlock prompt)
//   2000 + code   a D-Bus error (GDBusError codes: no session bus, no such service, ...)
//   3000 + code   an I/O error reported through GLib (GIOErrorEnum codes)
//   9000 + code   an error of any other GLib domain
//   1 ... 999     an errno value from the credential file (EACCES, ENOSPC, ...)
class EmailCredentialError : public Error {
 public:
  enum class Kind { SaveFailed, ReadFailed, InvalidData };

  static EmailCredentialError saveFailed(int32_t status);
  static EmailCredentialError readFailed(int32_t status);
  static EmailCredentialError invalidData();

  Kind kind() const { return kind_; }
  // The platform status of SaveFailed and ReadFailed; nothing for InvalidData.
  std::optional<int32_t> status() const { return status_; }

 private:
  EmailCredentialError(Kind kind, std::optional<int32_t> status, const std::string& description);
  Kind kind_;
  std::optional<int32_t> status_;
};

enum class CredentialBackend {
  // The desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC) through libsecret.
  SecretService,
  // $XDG_DATA_HOME/kestrova/credentials.json, readable by the owner only (0600).
  File,
};

// Account passwords, kept out of the database. Each password is filed under (service,
// account key); the database only stores the key. Both backends behave the same: saving
// replaces, reading a missing key gives nothing, removing a missing key is fine, and a
// stored value that is not UTF-8 text reads as InvalidData. Passwords never reach a log.
//
// The object holds no mutable state and may be used from any thread; each backend
// serialises its own operations (the Secret Service by itself, the file under a lock that
// also excludes other Kestrova processes).
class EmailCredentialStore {
 public:
  static constexpr std::string_view kDefaultService = "com.kestrova.mail.credentials";
  // Environment variable that forces a backend: "secret-service" or "file".
  static constexpr std::string_view kBackendVariable = "KESTROVA_CREDENTIAL_STORE";

  // The store under the default service, chosen once for the process.
  static EmailCredentialStore& shared();

  // Chooses the backend: the one KESTROVA_CREDENTIAL_STORE names; otherwise the Secret
  // Service when one runs (or can be started) on the session bus; otherwise the file.
  explicit EmailCredentialStore(std::string service = std::string(kDefaultService));
  EmailCredentialStore(std::string service, CredentialBackend backend);

  // Stores `password` under `key`, replacing any earlier one. Throws saveFailed(status),
  // or invalidData when `password` is not valid UTF-8.
  void save(std::string_view password, std::string_view key) const;
  // The password stored under `key`, or nothing when none is. Throws readFailed(status),
  // or invalidData when the stored value is not UTF-8 text.
  std::optional<std::string> read(std::string_view key) const;
  // Removes the password stored under `key`, if any. Failures are ignored.
  void remove(std::string_view key) const noexcept;

  CredentialBackend backend() const { return backend_; }
  const std::string& service() const { return service_; }
  // Where the file backend keeps its passwords.
  static std::filesystem::path credentials_file();

 private:
  std::string service_;
  CredentialBackend backend_;
};

}  // namespace kestrova::platform
