// `kestrova account add|edit|test|list|remove|set-default|trust-cert`: the account editor of the
// command line. Accounts go to the mail store, their passwords to the credential store; an
// account is saved only after both of its servers accepted the password. Certificates a
// self-hosted server needs trusted are kept per account in the settings.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "app/cli/secret_input.h"
#include "app/cli/terminal_output.h"
#include "app/core/agent/tool_answer_json.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/account_setup.h"
#include "app/core/mailbox/id_prefix.h"
#include "app/core/user_preferences.h"
#include "mail/certificate_trust.h"
#include "mail/email_provider_catalog.h"
#include "mail/email_service.h"
#include "mail/oauth_sign_in.h"
#include "platform/desktop_open.h"
#include "platform/email_credential_store.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_folder.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/file.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/terminal_text.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

using store::EmailAccount;
using store::EmailEncryption;
using store::EmailServiceType;

namespace {

// ---- passwords ----

// The password as typed: on a terminal after a prompt on standard error, without echo;
// with `fromStandardInput`, the first line of standard input.
std::string read_password(bool fromStandardInput) {
  std::string password = read_secret(localized("cli.account.password_prompt"), fromStandardInput,
                                     localized("cli.account.password_not_terminal"));
  if (password.empty()) throw Error(localized("cli.account.password_empty"));
  return password;
}

// ---- output ----

std::string server_text(const std::string& host, int port, EmailEncryption encryption) {
  return host + ":" + std::to_string(port) + " " + std::string(store::raw_value(encryption));
}

// Prints the stages and the summary message; true when both stages passed.
bool print_connection_test(const mail::EmailConnectionTestReport& report) {
  const auto result = mail::ConnectionTestResult::from(report);
  for (const auto& stage : result.stages)
    std::cout << (stage.success ? "✓ " : "✗ ") << stage.name << ": "
              << terminal_safe(stage.detail, TextShape::block) << "\n";
  std::cout << terminal_safe(result.message, TextShape::block) << "\n" << std::flush;
  return result.success;
}

mail::EmailConnectionTestReport run_connection_test(const EmailAccount& account,
                                                    const std::string& password,
                                                    const mail::AccountCertificateTrust* trust = nullptr) {
  std::cerr << localized_format("cli.account.testing", account.emailAddress) << "\n" << std::flush;
  return mail::EmailService::shared().testConnection(account, password, trust);
}

// The provider's name as shown: records keep the Chinese names of the Chinese providers,
// the listing gives them in the interface language.
std::string provider_display_name(EmailServiceType type) {
  switch (type) {
    case EmailServiceType::mail163:
      return localized("email.provider.mail163");
    case EmailServiceType::qq:
      return localized("email.provider.qq");
    case EmailServiceType::aliyun:
      return localized("email.provider.aliyun");
    case EmailServiceType::tencent:
      return localized("email.provider.tencent");
    case EmailServiceType::custom:
      return localized("email.provider.custom");
    default:
      return std::string(store::raw_value(type));
  }
}

// ---- account add ----

std::vector<std::string> provider_names() {
  std::vector<std::string> names;
  for (auto type : store::all_cases<EmailServiceType>()) names.emplace_back(store::case_name(type));
  return names;
}

EmailServiceType provider_named(const std::string& name) {
  for (auto type : store::all_cases<EmailServiceType>())
    if (store::case_name(type) == name) return type;
  throw Error(localized_format("cli.account.unknown_provider", name));
}

bool given(const CLI::Option* option) { return option && option->count() > 0; }

EmailEncryption encryption_named(const std::string& name) {
  auto encryption = store::from_raw<EmailEncryption>(name);
  if (!encryption) throw Error(localized_format("cli.account.unknown_encryption", name));
  return *encryption;
}

// The server options of `account add` and `account edit`.
struct ServerOptions {
  std::string imapHost, smtpHost;
  int imapPort = 0, smtpPort = 0;
  std::string imapEncryption, smtpEncryption;
  // Which options were given; set while the command is registered.
  CLI::Option *imapHostOption = nullptr, *imapPortOption = nullptr, *imapEncryptionOption = nullptr,
              *smtpHostOption = nullptr, *smtpPortOption = nullptr, *smtpEncryptionOption = nullptr;

  bool any_given() const {
    return std::ranges::any_of(std::array{imapHostOption, imapPortOption, imapEncryptionOption,
                                          smtpHostOption, smtpPortOption, smtpEncryptionOption},
                               given);
  }
  // Puts the options given over the account's servers.
  void apply(EmailAccount& account) const {
    if (given(imapHostOption)) account.imapHost = text::trim(imapHost);
    if (given(imapPortOption)) account.imapPort = imapPort;
    if (given(imapEncryptionOption)) account.imapEncryption = encryption_named(imapEncryption);
    if (given(smtpHostOption)) account.smtpHost = text::trim(smtpHost);
    if (given(smtpPortOption)) account.smtpPort = smtpPort;
    if (given(smtpEncryptionOption)) account.smtpEncryption = encryption_named(smtpEncryption);
    if (account.imapHost.empty() || account.smtpHost.empty())
      throw Error(localized("cli.account.hosts_empty"));
  }
};

void register_server_options(CLI::App& command, ServerOptions& o) {
  const std::vector<std::string> encryptions = {"none", "ssl", "startTLS"};
  o.imapHostOption = command.add_option("--imap-host", o.imapHost, "IMAP server");
  o.imapPortOption =
      command.add_option("--imap-port", o.imapPort, "IMAP port")->check(CLI::Range(1, 65535));
  o.imapEncryptionOption =
      command.add_option("--imap-encryption", o.imapEncryption, "none, ssl or startTLS")
          ->check(CLI::IsMember(encryptions));
  o.smtpHostOption = command.add_option("--smtp-host", o.smtpHost, "SMTP server");
  o.smtpPortOption =
      command.add_option("--smtp-port", o.smtpPort, "SMTP port")->check(CLI::Range(1, 65535));
  o.smtpEncryptionOption =
      command.add_option("--smtp-encryption", o.smtpEncryption, "none, ssl or startTLS")
          ->check(CLI::IsMember(encryptions));
}

struct AddOptions {
  std::string email;
  std::string name;
  std::string provider;
  ServerOptions servers;
  std::string imapCert, smtpCert, imapCAFile, smtpCAFile;
  bool passwordFromStandardInput = false;
  bool oauth = false;
  std::string clientId;
  bool clientSecretFromStandardInput = false;
  bool customSchemeRedirect = false;
  bool skipTest = false;
  bool makeDefault = false;
  bool local = false;
  CLI::Option* providerOption = nullptr;  // set while the command is registered
};

// The new account's provider and servers: the provider's preset (the provider named, else
// the one the address belongs to), with any server option given overriding it.
EmailAccount account_from_options(const AddOptions& o, const std::string& address) {
  EmailAccount account;
  account.id = new_uuid();
  account.emailAddress = address;
  account.displayName = text::trim(o.name).empty() ? address : text::trim(o.name);
  const bool serversGiven = given(o.servers.imapHostOption) || given(o.servers.smtpHostOption);
  if (given(o.providerOption)) {
    account.serviceType = provider_named(o.provider);
  } else if (auto recognized = mail::EmailProviderCatalog::recognize(address)) {
    account.serviceType = *recognized;
  } else if (!serversGiven) {
    throw Error(localized("cli.account.provider_unrecognised"));
  }
  mail::applyProviderPreset(account, mail::AccountEditorState::creatingAccount);

  if (account.serviceType == EmailServiceType::custom &&
      !(given(o.servers.imapHostOption) && given(o.servers.smtpHostOption)))
    throw Error(localized("cli.account.custom_needs_hosts"));
  o.servers.apply(account);
  return account;
}

// The interactive sign-in: prints the authorisation URL (and opens it where a desktop
// exists), waits for the redirect and returns the token set to file as the credential.
std::string sign_in_with_oauth(const AddOptions& o, const EmailAccount& account) {
  const UserPreferences& preferences = UserPreferences::shared();
  const auto provider = oauth_provider_for(account.serviceType, preferences);
  const OAuthClient configured = oauth_client_for(account.serviceType, preferences);
  std::string clientId = text::trim(o.clientId);
  if (clientId.empty()) clientId = configured.id;
  if (clientId.empty())
    throw Error(localized_format("cli.account.oauth_client_id", configured.idSettingKey));
  const std::string secret =
      o.clientSecretFromStandardInput
          ? read_secret(localized("cli.account.client_secret_prompt"), true, "")
          : configured.secret;
  mail::OAuthSignIn signIn(provider, clientId, text::trim(secret), account.emailAddress,
                           o.customSchemeRedirect);
  std::cout << localized_format("cli.account.open_in_browser", account.emailAddress) << "\n"
            << signIn.authorizationURL() << std::endl;
  if (platform::open_url_on_desktop(signIn.authorizationURL()))
    std::cerr << localized("cli.account.browser_opened") << "\n";
  std::cerr << localized_format("cli.account.waiting_callback",
                                static_cast<int>(mail::OAuthSignIn::kDefaultWaitSeconds / 60))
            << "\n";
  const std::string credential = signIn.complete().serialize();
  std::cout << localized("cli.account.signed_in") << std::endl;
  return credential;
}

// `account add --oauth` for an account that exists: a new sign-in replaces its tokens
// (what "sign in again" means).
void sign_in_again(const AddOptions& o, const EmailAccount& existing) {
  if (!existing.passwordKeychainIdentifier)
    throw Error(localized_format("cli.account.no_credential", existing.emailAddress));
  const std::string credential = sign_in_with_oauth(o, existing);
  platform::EmailCredentialStore::shared().save(credential, *existing.passwordKeychainIdentifier);
  std::cout << localized_format("cli.account.tokens_updated", existing.emailAddress) << "\n";
}

// `account add --local`: an account without servers or password, for archives kept only
// here. It gets an inbox of its own so that it has a folder from the start.
void add_local_account(const AddOptions& o, const std::string& address, AccountBook& book) {
  if (given(o.providerOption) || o.servers.any_given())
    throw Error(localized("local_account.no_servers"));
  if (o.oauth || o.passwordFromStandardInput || !o.imapCert.empty() || !o.smtpCert.empty() ||
      !o.imapCAFile.empty() || !o.smtpCAFile.empty())
    throw Error(localized("local_account.no_servers"));
  EmailAccount account;
  account.id = new_uuid();
  account.emailAddress = address;
  account.displayName = text::trim(o.name).empty() ? address : text::trim(o.name);
  account.imapHost.clear();
  account.smtpHost.clear();
  account.createdAt = account.updatedAt = now_seconds();
  account.isDefault = book.accounts().empty();
  const auto inbox = store::EmailFolder::make({.id = new_uuid(),
                                               .accountId = account.id,
                                               .name = "INBOX",
                                               .type = store::EmailFolderType::inbox,
                                               .path = "INBOX"});
  book.store().database().write([&](store::Connection&) {
    book.save(account);
    book.store().saveFolder(inbox);
  });
  if (o.makeDefault && !account.isDefault) {
    book.makeDefault(account.id);
    account.isDefault = true;
  }
  std::cout << localized_format("local_account.added", account.emailAddress, account.id) << "\n";
}

void add_account(const AddOptions& o) {
  const std::string address = text::trim(o.email);
  if (address.empty()) throw Error(localized("cli.account.address_empty"));
  if (!o.oauth &&
      (!o.clientId.empty() || o.clientSecretFromStandardInput || o.customSchemeRedirect))
    throw Error(localized("cli.account.oauth_only_options"));
  if (o.oauth && o.passwordFromStandardInput)
    throw Error(localized("cli.account.oauth_no_password"));
  AccountBook book;
  for (const auto& existing : book.accounts())
    if (text::equals_ci(existing.emailAddress, address)) {
      if (o.oauth && mail::OAuthTokenSet::isTokenSet(
                         mail::EmailService::shared().storedPassword(existing).value_or("")))
        return sign_in_again(o, existing);
      throw Error(localized_format("cli.account.exists", existing.emailAddress));
    }
  if (o.local) return add_local_account(o, address, book);

  EmailAccount account = account_from_options(o, address);
  // The certificates to trust; a refusal during the test names the option that adds one.
  mail::AccountCertificateTrust trust;
  trust.imap.trustCommand = localized("cli.account.trust_imap_command");
  trust.smtp.trustCommand = localized("cli.account.trust_smtp_command");
  if (!o.imapCert.empty()) trust.imap.fingerprint = fingerprint_named(o.imapCert);
  if (!o.smtpCert.empty()) trust.smtp.fingerprint = fingerprint_named(o.smtpCert);
  if (!o.imapCAFile.empty()) trust.imap.caFile = ca_file_named(o.imapCAFile);
  if (!o.smtpCAFile.empty()) trust.smtp.caFile = ca_file_named(o.smtpCAFile);
  const std::string password =
      o.oauth ? sign_in_with_oauth(o, account) : read_password(o.passwordFromStandardInput);

  if (o.skipTest) {
    std::cerr << localized("cli.account.test_skipped") << "\n";
  } else if (!print_connection_test(run_connection_test(account, password, &trust))) {
    throw Error(localized("cli.account.test_failed"));
  }

  save_new_account(book, account, password, trust, platform::SettingsStore::shared(),
                   o.makeDefault);
  std::cout << localized_format(
                   account.isDefault ? "cli.account.added_default" : "cli.account.added",
                   account.emailAddress, account.id)
            << "\n";
}

void register_add(CLI::App& account) {
  auto* add = account.add_subcommand("add", "Add an account after testing both of its servers");
  auto o = std::make_shared<AddOptions>();
  add->add_option("--email", o->email, "The account's mail address (also the login name)")
      ->required();
  add->add_option("--name", o->name, "Display name (default: the address)");
  o->providerOption =
      add->add_option("--provider", o->provider,
                      "Mail provider whose servers to use (default: recognised from the address)")
          ->check(CLI::IsMember(provider_names()));
  register_server_options(*add, o->servers);
  add->add_option("--imap-cert", o->imapCert,
                  "Trust the IMAP server's certificate with this SHA-256 fingerprint (self-hosted servers)");
  add->add_option("--smtp-cert", o->smtpCert, "The same for the SMTP server");
  add->add_option("--imap-ca-file", o->imapCAFile,
                  "Also trust the certificate authorities in this PEM file for the IMAP server");
  add->add_option("--smtp-ca-file", o->smtpCAFile, "The same for the SMTP server");
  add->add_flag("--password-stdin", o->passwordFromStandardInput,
                "Read the password from the first line of standard input instead of a prompt");
  add->add_flag("--oauth", o->oauth,
                "Sign in through the browser with OAuth 2.0 (gmail, outlook) instead of a password");
  add->add_option("--client-id", o->clientId, "Your OAuth client's id (with --oauth)");
  add->add_flag("--client-secret-stdin", o->clientSecretFromStandardInput,
                "Read your OAuth client's secret from the first line of standard input (Google)");
  add->add_flag("--custom-scheme-redirect", o->customSchemeRedirect,
                "Redirect to com.kestrova.mail:/oauth/callback (handed over by kestrova open) "
                "instead of a loopback address");
  add->add_flag("--skip-test", o->skipTest, "Save without testing the servers");
  add->add_flag("--default", o->makeDefault, "Make it the default account");
  add->add_flag("--local", o->local,
                "An account kept only on this computer: no servers, no password, never synced");
  add->callback([o] { add_account(*o); });
}

// ---- account edit ----

struct EditOptions {
  std::string account;
  std::string email, name;
  ServerOptions servers;
  bool passwordFromStandardInput = false;
  // Which options were given; set while the command is registered.
  CLI::Option *emailOption = nullptr, *nameOption = nullptr;
};

// Changes a stored account's servers, address or name as the Accounts page does: saved only
// when both servers pass with the changed values; a password read from standard input
// replaces the stored credential only then, else the stored one is tested and kept.
void edit_account(const EditOptions& o) {
  AccountBook book;
  EmailAccount account = book.find(o.account);
  if (account.isLocalOnly())
    throw Error(localized_format("local_account.no_sync", account.emailAddress));
  if (given(o.emailOption)) {
    const std::string address = text::trim(o.email);
    if (address.empty()) throw Error(localized("cli.account.address_empty"));
    for (const auto& other : book.accounts())
      if (other.id != account.id && text::equals_ci(other.emailAddress, address))
        throw Error(localized_format("cli.account.exists", other.emailAddress));
    account.emailAddress = address;
  }
  if (given(o.nameOption))
    account.displayName = text::trim(o.name).empty() ? account.emailAddress : text::trim(o.name);
  o.servers.apply(account);

  std::optional<std::string> typed;
  if (o.passwordFromStandardInput) typed = read_password(true);
  const auto credential = typed ? typed : mail::EmailService::shared().storedPassword(account);
  if (!credential)
    throw mail::EmailServiceError::authenticationFailed(localized("cli.account.password_missing"));
  auto& settings = platform::SettingsStore::shared();
  const auto trust =
      mail::AccountCertificateTrust::load(settings, account.id, account.emailAddress);
  if (!print_connection_test(run_connection_test(account, *credential, &trust)))
    throw Error(localized("cli.account.edit_failed"));
  save_edited_account(book, account, typed, trust, settings);
  std::cout << localized_format("cli.account.edited", account.emailAddress) << "\n";
}

void register_edit(CLI::App& account) {
  auto* edit = account.add_subcommand(
      "edit", "Change an account's servers, address or name; saved after both servers pass");
  auto o = std::make_shared<EditOptions>();
  edit->add_option("ACCOUNT", o->account, "Account id or mail address")->required();
  o->emailOption = edit->add_option("--email", o->email, "New mail address (also the login name)");
  o->nameOption = edit->add_option("--name", o->name, "New display name");
  register_server_options(*edit, o->servers);
  edit->add_flag("--password-stdin", o->passwordFromStandardInput,
                 "A new password from the first line of standard input (else the stored one)");
  edit->callback([o] { edit_account(*o); });
}

// ---- account test, list, remove, set-default ----

void test_account(const std::string& idOrAddress) {
  AccountBook book;
  const EmailAccount account = book.find(idOrAddress);
  if (account.isLocalOnly())
    throw Error(localized_format("local_account.no_sync", account.emailAddress));
  const auto password = mail::EmailService::shared().storedPassword(account);
  if (!password)
    throw mail::EmailServiceError::authenticationFailed(localized("cli.account.password_missing"));
  if (!print_connection_test(run_connection_test(account, *password))) throw CommandFailure{1};
}

void list_accounts(bool json) {
  AccountBook book;
  if (json) {
    std::cout << book.store()
                     .database()
                     .read([](store::Connection& c) { return accounts_json(c); })
                     .dump()
              << "\n";
    return;
  }
  if (book.accounts().empty()) {
    std::cout << localized("cli.accounts.none") << "\n";
    return;
  }
  for (const auto& a : book.accounts()) {
    std::cout << (a.isDefault ? "* " : "  ") << short_id(a.id) << "  " << a.emailAddress;
    if (a.displayName != a.emailAddress && !a.displayName.empty())
      std::cout << " (" << a.displayName << ")";
    if (a.isLocalOnly()) {
      std::cout << "  " << localized("local_account.label") << "\n";
      continue;
    }
    std::cout << "  " << provider_display_name(a.serviceType) << "  IMAP "
              << server_text(a.imapHost, a.imapPort, a.imapEncryption) << "  SMTP "
              << server_text(a.smtpHost, a.smtpPort, a.smtpEncryption) << "  "
              << localized(a.isEnabled ? "cli.account.enabled" : "cli.account.disabled") << "\n";
  }
  std::cout << localized("cli.account.legend") << "\n";
}

void remove_account(const std::string& idOrAddress, bool yes) {
  AccountBook book;
  const EmailAccount account = book.find(idOrAddress);
  confirm_or_stop(localized_format("cli.account.remove_confirm", account.emailAddress), yes);
  remove_account_completely(book, account, platform::SettingsStore::shared());
  std::cout << localized_format("cli.account.removed", account.emailAddress) << "\n";
}

void set_default_account(const std::string& idOrAddress) {
  AccountBook book;
  const EmailAccount account = book.find(idOrAddress);
  book.makeDefault(account.id);
  std::cout << localized_format("cli.account.default", account.emailAddress) << "\n";
}

// ---- account trust-cert ----

struct TrustOptions {
  std::string account;
  bool imap = false, smtp = false;
  std::string fingerprint, caFile;
};

// Trusts one certificate (by fingerprint) or more certificate authorities (a CA file) for
// one server of one account; replaces what was trusted for that server before.
void trust_certificate(const TrustOptions& o) {
  if (o.imap == o.smtp) throw Error(localized("cli.account.trust_choose_server"));
  if (o.fingerprint.empty() == o.caFile.empty())
    throw Error(localized("cli.account.trust_choose_what"));
  AccountBook book;
  const EmailAccount account = book.find(o.account);
  auto& settings = platform::SettingsStore::shared();
  auto trust = mail::AccountCertificateTrust::load(settings, account.id, account.emailAddress);
  mail::CertificateTrust& server = o.imap ? trust.imap : trust.smtp;
  server.fingerprint.reset();
  server.caFile.reset();
  if (!o.fingerprint.empty())
    server.fingerprint = fingerprint_named(o.fingerprint);
  else
    server.caFile = ca_file_named(o.caFile);
  trust.save(settings, account.id);
  const std::string kind = o.imap ? "IMAP" : "SMTP";
  std::cout << (server.fingerprint
                    ? localized_format("cli.account.trusts_certificate", account.emailAddress, kind,
                                       *server.fingerprint)
                    : localized_format("cli.account.trusts_ca_file", account.emailAddress, kind,
                                       *server.caFile))
            << "\n";
}

void register_trust_cert(CLI::App& account) {
  auto* command = account.add_subcommand(
      "trust-cert", "Trust a server certificate (SHA-256 fingerprint) or a CA file for one account");
  auto o = std::make_shared<TrustOptions>();
  command->add_option("ACCOUNT", o->account, "Account id or mail address")->required();
  command->add_option("FINGERPRINT", o->fingerprint, "The certificate's SHA-256 fingerprint, as the refusal shows it");
  command->add_flag("--imap", o->imap, "The IMAP server's certificate");
  command->add_flag("--smtp", o->smtp, "The SMTP server's certificate");
  command->add_option("--ca-file", o->caFile, "Trust the certificate authorities in this PEM file instead");
  command->callback([o] { trust_certificate(*o); });
}

// A subcommand taking one account (id or address) and running `action` on it.
void register_for_account(CLI::App& account, const std::string& name,
                          const std::string& description, void (*action)(const std::string&)) {
  auto* command = account.add_subcommand(name, description);
  auto target = std::make_shared<std::string>();
  command->add_option("ACCOUNT", *target, "Account id or mail address")->required();
  command->callback([target, action] { action(*target); });
}

}  // namespace

void add_account_commands(CLI::App& root) {
  auto* account = root.add_subcommand("account", "Add, test, list and remove mail accounts");
  account->require_subcommand(1);
  register_add(*account);
  register_edit(*account);
  register_for_account(*account, "test", "Test an account's servers with its stored password",
                       test_account);
  {
    auto* command = account->add_subcommand("list", "Every account (* marks the default)");
    auto json = std::make_shared<bool>(false);
    command->add_flag("--json", *json,
                      "Print what the tool server's list_accounts answers: [{\"id\", \"email\", "
                      "\"displayName\", \"provider\", \"isEnabled\", \"isDefault\"}, ...]");
    command->callback([json] { list_accounts(*json); });
  }
  {
    auto* command =
        account->add_subcommand("remove", "Remove an account, its local mail and its password");
    auto target = std::make_shared<std::string>();
    auto yes = std::make_shared<bool>(false);
    command->add_option("ACCOUNT", *target, "Account id or mail address")->required();
    command->add_flag("-y,--yes", *yes, "Do not ask (needed when not on a terminal)");
    command->callback([target, yes] { remove_account(*target, *yes); });
  }
  register_for_account(*account, "set-default", "Make an account the default one",
                       set_default_account);
  register_trust_cert(*account);
}

}  // namespace kestrova::app
