#include "platform/email_credential_store.h"

#include <fcntl.h>
#include <gio/gio.h>
#include <libsecret/secret.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/dbus_connection.h"
#include "platform/paths.h"
#include "util/c_free.h"
#include "util/json.h"
#include "util/log.h"
#include "util/text.h"

namespace kestrova::platform {

namespace {

constexpr std::string_view kComponent = "EmailCredentialStore";

// ---------------------------------------------------------------------------------------
// Errors

using SecretValuePtr = CHandle<SecretValue, &secret_value_unref>;

constexpr int32_t kSecretStatusBase = 1000;
constexpr int32_t kDBusStatusBase = 2000;
constexpr int32_t kIOStatusBase = 3000;
constexpr int32_t kOtherStatusBase = 9000;

// The one mapping from GLib errors to the status carried by EmailCredentialError (ranges
// documented with the error type). A failure without an error object is the service
// refusing without a reason.
int32_t status_from(const GError* error) {
  if (!error) return kSecretStatusBase;
  if (error->domain == SECRET_ERROR) return kSecretStatusBase + error->code;
  if (error->domain == G_DBUS_ERROR) return kDBusStatusBase + error->code;
  if (error->domain == G_IO_ERROR) return kIOStatusBase + error->code;
  return kOtherStatusBase + error->code;
}

// An errno from the credential file, carried until it becomes saveFailed or readFailed.
class FileFailure : public Error {
 public:
  explicit FileFailure(int number) : Error(std::strerror(number)), error_number(number) {}
  int error_number;
};

[[noreturn]] void fail_with_errno() { throw FileFailure{errno != 0 ? errno : EIO}; }

// ---------------------------------------------------------------------------------------
// Backend choice

// True when the session bus has a Secret Service, running or activatable. Asked on a
// private connection so that the process-wide session bus is not bound to an address
// before it is needed.
bool secret_service_answers() {
  std::string failure;
  ConnectionPtr bus = connect_bus(G_BUS_TYPE_SESSION, failure);
  if (!bus) return false;

  constexpr int kTimeoutMs = 2000;
  auto ask = [&](const char* method, GVariant* parameters, const char* reply_type) {
    return VariantPtr(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method,
        parameters, G_VARIANT_TYPE(reply_type), G_DBUS_CALL_FLAGS_NONE, kTimeoutMs, nullptr,
        nullptr));
  };
  if (VariantPtr owned =
          ask("NameHasOwner", g_variant_new("(s)", "org.freedesktop.secrets"), "(b)")) {
    gboolean has_owner = FALSE;
    g_variant_get(owned.get(), "(b)", &has_owner);
    if (has_owner) return true;
  }
  VariantPtr activatable = ask("ListActivatableNames", nullptr, "(as)");
  if (!activatable) return false;
  VariantPtr names(g_variant_get_child_value(activatable.get(), 0));
  const gsize count = g_variant_n_children(names.get());
  for (gsize i = 0; i < count; ++i) {
    const gchar* name = nullptr;
    g_variant_get_child(names.get(), i, "&s", &name);
    if (std::string_view(name) == "org.freedesktop.secrets") return true;
  }
  return false;
}

CredentialBackend choose_backend() {
  const char* forced = std::getenv(std::string(EmailCredentialStore::kBackendVariable).c_str());
  const std::string_view choice = forced ? forced : "";
  if (choice == "secret-service") return CredentialBackend::SecretService;
  if (choice == "file") return CredentialBackend::File;
  if (!choice.empty())
    log_line(log_kind::kWarning, kComponent,
             "忽略无法识别的 KESTROVA_CREDENTIAL_STORE 值: " + std::string(choice));
  // A home of its own keeps its passwords with it (the demo, a second mailbox): the
  // keyring is shared by every home of the user.
  if (kestrova_home()) return CredentialBackend::File;
  if (secret_service_answers()) return CredentialBackend::SecretService;
  log_line(log_kind::kWarning, kComponent,
           "会话总线上没有 Secret Service，密码将保存在仅本人可读的文件中: " +
               EmailCredentialStore::credentials_file().string());
  return CredentialBackend::File;
}

// ---------------------------------------------------------------------------------------
// Secret Service backend

// Items carry the schema name plus the two attributes; other programs (secret-tool,
// Seahorse) find them by "service" and "account".
SecretSchema make_schema() {
  SecretSchema schema{};  // unnamed attributes end the list; the reserved fields stay zero
  schema.name = "com.kestrova.mail.Password";
  schema.flags = SECRET_SCHEMA_NONE;
  schema.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
  schema.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
  return schema;
}

const SecretSchema kSchema = make_schema();

// libsecret talks over GLib's shared session-bus connection, which by default ends the
// process when the bus goes away. A mail client outlives a restarted desktop session (and
// tests stop their private bus), so the connection is told to stay quiet instead.
void keep_process_alive_without_bus() {
  GError* raw_error = nullptr;
  ConnectionPtr bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &raw_error));
  GErrorPtr error(raw_error);
  if (bus) g_dbus_connection_set_exit_on_close(bus.get(), FALSE);
}

void secret_clear(const std::string& service, const std::string& key) {
  keep_process_alive_without_bus();
  GError* raw_error = nullptr;
  secret_password_clear_sync(&kSchema, nullptr, &raw_error, "service", service.c_str(), "account",
                             key.c_str(), nullptr);
  GErrorPtr ignored(raw_error);
}

void secret_save(const std::string& service, const std::string& key, std::string_view password) {
  // Remove first: an item for the same key in another collection would otherwise survive
  // beside the new one and could be found first by a later read.
  secret_clear(service, key);
  SecretValuePtr value(
      secret_value_new(password.data(), static_cast<gssize>(password.size()), "text/plain"));
  const std::string label = "Kestrova 邮箱密码 (" + key + ")";
  GError* raw_error = nullptr;
  const gboolean stored = secret_password_store_binary_sync(
      &kSchema, SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), nullptr, &raw_error,
      "service", service.c_str(), "account", key.c_str(), nullptr);
  GErrorPtr error(raw_error);
  if (!stored) throw EmailCredentialError::saveFailed(status_from(error.get()));
}

std::optional<std::string> secret_read(const std::string& service, const std::string& key) {
  keep_process_alive_without_bus();
  GError* raw_error = nullptr;
  SecretValuePtr value(secret_password_lookup_binary_sync(
      &kSchema, nullptr, &raw_error, "service", service.c_str(), "account", key.c_str(), nullptr));
  GErrorPtr error(raw_error);
  if (error) throw EmailCredentialError::readFailed(status_from(error.get()));
  if (!value) return std::nullopt;
  gsize length = 0;
  const gchar* bytes = secret_value_get(value.get(), &length);
  if (!bytes) throw EmailCredentialError::invalidData();
  std::string password(bytes, length);
  if (!text::is_valid_utf8(password)) throw EmailCredentialError::invalidData();
  return password;
}

// ---------------------------------------------------------------------------------------
// File backend: {"<service>": {"<account key>": "<password>"}}

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded (a late write error shows here).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// An exclusive lock on "credentials.json.lock" beside the file, held while a change reads,
// edits and replaces the file, so that two writers (threads or processes) never lose each
// other's change. Readers need no lock: the file is only ever replaced whole by rename.
class FileLock {
 public:
  explicit FileLock(const std::filesystem::path& file)
      : fd_(::open((file.string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_.get() < 0) fail_with_errno();
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) fail_with_errno();
    }
  }

 private:
  UniqueFd fd_;  // closing releases the lock
};

// The stored document. A missing file is empty; a file that is not a JSON object is
// treated as empty too (and replaced by the next change), with a warning that names the
// file but never shows its contents.
Json load_document(const std::filesystem::path& file) {
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return Json::object();
    fail_with_errno();
  }
  restrict_file_to_owner(file);  // a copy restored from a backup may come back wider
  std::string content;
  char buffer[8192];
  while (true) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail_with_errno();
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  Json document = Json::parse(content, nullptr, /*allow_exceptions=*/false);
  if (document.is_object()) return document;
  log_line(log_kind::kWarning, kComponent,
           "凭据文件无法解析，已按空文件处理，下次保存时重写: " + file.string());
  return Json::object();
}

// Replaces the file with `document`: a temporary file created 0600 in the same folder,
// written and flushed, then renamed over the old one. The password never exists in a file
// that others could read, and a crash leaves either the old or the new file.
void write_document(const std::filesystem::path& file, const Json& document) {
  std::string temp = file.string() + ".XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));  // mkostemp creates with mode 0600
  if (fd.get() < 0) fail_with_errno();
  const std::string content = dump_compact(document);
  auto abandon = [&] {
    const int saved = errno;
    ::unlink(temp.c_str());
    errno = saved;
    fail_with_errno();
  };
  size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd.get(), content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) abandon();
    written += static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0 || !fd.close()) abandon();
  if (::rename(temp.c_str(), file.c_str()) != 0) abandon();
}

void ensure_directory(const std::filesystem::path& file) {
  if (!ensure_private_directory(file.parent_path())) throw FileFailure{errno};
}

void file_save(const std::string& service, const std::string& key, std::string_view password) {
  const auto file = EmailCredentialStore::credentials_file();
  try {
    ensure_directory(file);
    FileLock lock(file);
    Json document = load_document(file);
    if (!document[service].is_object()) document[service] = Json::object();
    document[service][key] = std::string(password);
    write_document(file, document);
  } catch (const FileFailure& failure) {
    throw EmailCredentialError::saveFailed(failure.error_number);
  }
}

std::optional<std::string> file_read(const std::string& service, const std::string& key) {
  Json document;
  try {
    document = load_document(EmailCredentialStore::credentials_file());
  } catch (const FileFailure& failure) {
    throw EmailCredentialError::readFailed(failure.error_number);
  }
  const auto entries = document.find(service);
  if (entries == document.end() || !entries->is_object()) return std::nullopt;
  const auto entry = entries->find(key);
  if (entry == entries->end()) return std::nullopt;
  if (!entry->is_string()) throw EmailCredentialError::invalidData();
  return entry->get<std::string>();
}

void file_remove(const std::string& service, const std::string& key) {
  const auto file = EmailCredentialStore::credentials_file();
  if (!std::filesystem::exists(file)) return;
  FileLock lock(file);
  Json document = load_document(file);
  const auto entries = document.find(service);
  if (entries == document.end() || !entries->is_object() || entries->erase(key) == 0) return;
  if (entries->empty()) document.erase(entries);
  write_document(file, document);
}

}  // namespace

// -----------------------------------------------------------------------------------------

EmailCredentialError::EmailCredentialError(Kind kind, std::optional<int32_t> status,
                                           const std::string& description)
    : Error(description), kind_(kind), status_(status) {}

EmailCredentialError EmailCredentialError::saveFailed(int32_t status) {
  return EmailCredentialError(Kind::SaveFailed, status, "保存密码失败: " + std::to_string(status));
}

EmailCredentialError EmailCredentialError::readFailed(int32_t status) {
  return EmailCredentialError(Kind::ReadFailed, status, "读取密码失败: " + std::to_string(status));
}

EmailCredentialError EmailCredentialError::invalidData() {
  return EmailCredentialError(Kind::InvalidData, std::nullopt, "无效的密码数据");
}

EmailCredentialStore& EmailCredentialStore::shared() {
  static EmailCredentialStore store;
  return store;
}

EmailCredentialStore::EmailCredentialStore(std::string service)
    : EmailCredentialStore(std::move(service), choose_backend()) {}

EmailCredentialStore::EmailCredentialStore(std::string service, CredentialBackend backend)
    : service_(std::move(service)), backend_(backend) {}

std::filesystem::path EmailCredentialStore::credentials_file() {
  return data_home() / "kestrova" / "credentials.json";
}

void EmailCredentialStore::save(std::string_view password, std::string_view key) const {
  if (!text::is_valid_utf8(password)) throw EmailCredentialError::invalidData();
  const std::string account(key);
  switch (backend_) {
    case CredentialBackend::SecretService:
      return secret_save(service_, account, password);
    case CredentialBackend::File:
      return file_save(service_, account, password);
  }
}

std::optional<std::string> EmailCredentialStore::read(std::string_view key) const {
  const std::string account(key);
  switch (backend_) {
    case CredentialBackend::SecretService:
      return secret_read(service_, account);
    case CredentialBackend::File:
      return file_read(service_, account);
  }
  return std::nullopt;
}

void EmailCredentialStore::remove(std::string_view key) const noexcept {
  try {
    const std::string account(key);
    switch (backend_) {
      case CredentialBackend::SecretService:
        return secret_clear(service_, account);
      case CredentialBackend::File:
        return file_remove(service_, account);
    }
  } catch (...) {
    // Removing is best effort: a password that cannot be removed now does no harm to
    // the caller, which is usually deleting the account anyway.
  }
}

}  // namespace kestrova::platform
