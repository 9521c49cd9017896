// `kestrova signature list|show|add|edit|remove|default|templates`: the named signatures of
// each account, and the ready-made designs a new one can start from.

#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

#include "app/cli/command_line.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/writing/email_signature_service.h"
#include "app/core/writing/email_signature_templates.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "util/error.h"
#include "util/file.h"
#include "util/json.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

// The user's own values for the design placeholders, kept per account in the settings
// file: {"<account id>": {"company": ..., ...}}.
constexpr std::string_view kValuesKey = "signatureFieldValues";

struct SignatureOptions {
  bool json = false;
  std::string account;
  std::string idOrName;
  std::string name;
  std::string content;
  std::string contentFile;
  std::string templateId;
  bool html = false;
  bool plain = false;
  bool makeDefault = false;
  SignatureFieldValues values;
};

store::EmailAccount account_of(AccountBook& book, const std::string& account) {
  return account.empty() ? book.defaultAccount() : book.find(account);
}

SignatureFieldValues stored_values(const std::string& accountId) {
  SignatureFieldValues values;
  const auto all = platform::SettingsStore::shared().value(kValuesKey);
  if (!all || !all->is_object() || !all->contains(accountId) || !(*all)[accountId].is_object())
    return values;
  for (const auto& [key, value] : (*all)[accountId].items())
    if (value.is_string()) values[key] = value.get<std::string>();
  return values;
}

// The given values over the stored ones; the result is stored again.
SignatureFieldValues remember_values(const std::string& accountId,
                                     const SignatureFieldValues& given) {
  SignatureFieldValues values = stored_values(accountId);
  for (const auto& [key, value] : given)
    if (!value.empty()) values[key] = value;
  auto& settings = platform::SettingsStore::shared();
  Json all = settings.value(kValuesKey).value_or(Json::object());
  if (!all.is_object()) all = Json::object();
  Json entry = Json::object();
  for (const auto& [key, value] : values) entry[key] = value;
  all[accountId] = entry;
  settings.set(kValuesKey, all);
  return values;
}

store::EmailSignature find_signature(EmailSignatureService& service,
                                     const store::EmailAccount& account,
                                     const std::string& idOrName) {
  if (auto id = parse_uuid(idOrName))
    if (auto found = service.signature(*id)) return *found;
  for (const auto& s : service.signatures(account.id))
    if (text::equals_ci(s.name, idOrName)) return s;
  throw Error(localized_format("cli.signature.not_found", idOrName));
}

std::string read_content(const SignatureOptions& o) {
  if (o.contentFile.empty()) return o.content;
  auto content = read_file(o.contentFile);
  if (!content) throw Error(localized_format("cli.file.unreadable", o.contentFile));
  return std::move(*content);
}

void add_value_options(CLI::App* command, SignatureOptions& o) {
  for (const auto& variable : signature_variables()) {
    if (variable.key == "name" || variable.key == "email" || variable.key.starts_with("date") ||
        variable.key == "time")
      continue;
    command->add_option("--" + std::string(variable.key), o.values[std::string(variable.key)],
                        std::string(variable.label) + " ({{" + std::string(variable.key) + "}})");
  }
}

void list(const SignatureOptions& o) {
  AccountBook book;
  EmailSignatureService service(store::EmailDatabase::shared());
  const auto account = account_of(book, o.account);
  const auto all = service.signatures(account.id);
  if (o.json) {
    OrderedJson array = OrderedJson::array();
    for (const auto& s : all) array.push_back(s.to_json());
    std::cout << array.dump(2) << "\n";
    return;
  }
  if (all.empty()) std::cout << localized("cli.signature.none") << "\n";
  for (const auto& s : all)
    std::cout << s.id << "  " << (s.isDefault ? "★ " : "  ") << s.name
              << (s.isHtml ? "  [HTML]" : "") << "\n";
}

void show(const SignatureOptions& o) {
  AccountBook book;
  EmailSignatureService service(store::EmailDatabase::shared());
  const auto account = account_of(book, o.account);
  const auto s = find_signature(service, account, o.idOrName);
  std::cout << "# " << s.name << (s.isDefault ? localized("cli.signature.default_mark") : "")
            << "\n"
            << service.plainText(s, account) << "\n";
  if (s.isHtml) std::cout << "\n# HTML\n" << service.render(s, account) << "\n";
}

void add(SignatureOptions& o) {
  AccountBook book;
  EmailSignatureService service(store::EmailDatabase::shared());
  const auto account = account_of(book, o.account);
  store::EmailSignature s;
  s.id = new_uuid();
  s.accountId = account.id;
  s.name = o.name;
  if (!o.templateId.empty()) {
    const auto* design = find_signature_template(o.templateId);
    if (!design) throw Error(localized_format("cli.signature.unknown_template", o.templateId));
    s.isHtml = design->isHtml;
    s.content = EmailSignatureService::fillValues(design->content,
                                                  remember_values(account.id, o.values), s.isHtml);
    if (s.name.empty()) s.name = std::string(design->name);
  } else {
    s.content = read_content(o);
    if (text::trim(s.content).empty()) throw Error(localized("cli.signature.content_needed"));
    s.isHtml = o.html;
  }
  if (s.name.empty()) throw Error(localized("cli.signature.name_needed"));
  s.createdAt = s.updatedAt = now_seconds();
  s.isDefault = o.makeDefault || service.signatures(account.id).empty();
  service.save(s);
  if (s.isDefault) service.setDefault(account.id, s.id);
  std::cout << localized_format("cli.signature.added", s.id, s.name)
            << (s.isDefault ? localized("cli.signature.default_mark") : "") << "\n";
}

void edit(SignatureOptions& o) {
  AccountBook book;
  EmailSignatureService service(store::EmailDatabase::shared());
  const auto account = account_of(book, o.account);
  auto s = find_signature(service, account, o.idOrName);
  if (!o.name.empty()) s.name = o.name;
  if (!o.content.empty() || !o.contentFile.empty()) s.content = read_content(o);
  if (o.html) s.isHtml = true;
  if (o.plain) s.isHtml = false;
  s.content =
      EmailSignatureService::fillValues(s.content, remember_values(account.id, o.values), s.isHtml);
  s.updatedAt = now_seconds();
  service.save(s);
  std::cout << localized_format("cli.signature.updated", s.id, s.name) << "\n";
}

void remove(const SignatureOptions& o) {
  AccountBook book;
  EmailSignatureService service(store::EmailDatabase::shared());
  const auto s = find_signature(service, account_of(book, o.account), o.idOrName);
  service.remove(s.id);
  std::cout << localized_format("cli.signature.removed", s.name) << "\n";
}

void make_default(const SignatureOptions& o) {
  AccountBook book;
  EmailSignatureService service(store::EmailDatabase::shared());
  const auto account = account_of(book, o.account);
  const auto s = find_signature(service, account, o.idOrName);
  service.setDefault(account.id, s.id);
  std::cout << localized_format("cli.signature.default", s.name) << "\n";
}

void templates(bool withPreview) {
  for (const auto& design : email_signature_templates()) {
    std::cout << design.id << "  " << display_name(design) << "  "
              << (design.isHtml ? "[HTML] " : "") << display_description(design) << "\n";
    if (withPreview) {
      const std::string preview = EmailSignatureService::preview(design.content);
      std::cout << (design.isHtml ? EmailSignatureService::htmlToPlainText(preview)
                                  : text::trim(preview))
                << "\n\n";
    }
  }
}

}  // namespace

void add_signature_commands(CLI::App& root) {
  auto* signature = root.add_subcommand(
      "signature", "Signatures of an account: list, show, add, edit, remove, default");
  signature->require_subcommand(1);
  auto o = std::make_shared<SignatureOptions>();
  const auto with_account = [&](CLI::App* command) {
    command->add_option("--account", o->account,
                        "Account id or address (default: the default account)");
    return command;
  };
  auto* list_cmd = with_account(
      signature->add_subcommand("list", "List the account's signatures (★ the default)"));
  list_cmd->add_flag("--json", o->json, "Print the signatures as JSON");
  list_cmd->footer(
      "--json prints [{\"id\", \"accountId\", \"name\", \"content\", \"isHtml\", \"isDefault\",\n"
      "\"createdAt\", \"updatedAt\"}] (dates in seconds since 1970).\n"
      "Example: kestrova signature list --json | jq -r '.[] | select(.isDefault) | .name'");
  list_cmd->callback([o] { list(*o); });
  auto* show_cmd =
      with_account(signature->add_subcommand("show", "Show a signature as it renders"));
  show_cmd->add_option("signature", o->idOrName, "Signature id or name")->required();
  show_cmd->callback([o] { show(*o); });

  auto* add_cmd =
      with_account(signature->add_subcommand("add", "Add a signature, from text or from a design"));
  auto* name_option = add_cmd->add_option("--name", o->name,
                                          "Name of the signature (a design's name when omitted)");
  add_cmd->add_option("NAME", o->name, "The same as --name, as show and edit take it")
      ->excludes(name_option);
  add_cmd->add_option("--template", o->templateId,
                      "Start from a design (see: kestrova signature templates)");
  add_cmd->add_option("--content", o->content, "The signature text (HTML with --html)");
  add_cmd->add_option("--content-file", o->contentFile, "File holding the signature");
  add_cmd->add_flag("--html", o->html, "The content is HTML");
  add_cmd->add_flag("--default", o->makeDefault, "Make it the account's default");
  add_value_options(add_cmd, *o);
  add_cmd->callback([o] { add(*o); });

  auto* edit_cmd = with_account(
      signature->add_subcommand("edit", "Change a signature's name, content or values"));
  edit_cmd->add_option("signature", o->idOrName, "Signature id or name")->required();
  edit_cmd->add_option("--name", o->name, "New name");
  edit_cmd->add_option("--content", o->content, "New content");
  edit_cmd->add_option("--content-file", o->contentFile, "File holding the new content");
  edit_cmd->add_flag("--html", o->html, "The content is HTML");
  edit_cmd->add_flag("--plain", o->plain, "The content is plain text");
  add_value_options(edit_cmd, *o);
  edit_cmd->callback([o] { edit(*o); });

  auto* remove_cmd = with_account(signature->add_subcommand("remove", "Delete a signature"));
  remove_cmd->add_option("signature", o->idOrName, "Signature id or name")->required();
  remove_cmd->callback([o] { remove(*o); });

  auto* default_cmd =
      with_account(signature->add_subcommand("default", "Make a signature the account's default"));
  default_cmd->add_option("signature", o->idOrName, "Signature id or name")->required();
  default_cmd->callback([o] { make_default(*o); });

  auto preview = std::make_shared<bool>(false);
  auto* templates_cmd =
      signature->add_subcommand("templates", "List the seventeen ready-made designs");
  templates_cmd->add_flag("--preview", *preview, "Show each design with sample values");
  templates_cmd->callback([preview] { templates(*preview); });
}

}  // namespace kestrova::app
