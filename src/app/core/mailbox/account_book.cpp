#include "app/core/mailbox/account_book.h"

#include <algorithm>

#include "app/core/mailbox/id_prefix.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

using store::EmailAccount;

AccountBook::AccountBook()
    : AccountBook(store::EmailDatabase::shared(), platform::SettingsStore::shared()) {}

AccountBook::AccountBook(store::EmailDatabase& database, platform::SettingsStore& settings) {
  if (!database.is_open())
    throw Error(localized_format("cli.database.unopenable", database.db_path().string()));
  store_ = std::make_unique<store::EmailStore>(database, settings);
  store_->loadAccounts();
}

void AccountBook::reload() { store_->loadAccounts(); }

AccountBook::~AccountBook() = default;

const std::vector<EmailAccount>& AccountBook::accounts() const { return store_->accounts(); }

const EmailAccount& AccountBook::find(std::string_view idOrAddress) const {
  const auto id = parse_uuid(text::trim(idOrAddress));
  const std::string address = text::trim(idOrAddress);
  for (const auto& account : accounts()) {
    if (id && parse_uuid(account.id) == id) return account;
    if (!address.empty() && text::equals_ci(account.emailAddress, address)) return account;
  }
  for (const auto& account : accounts())
    if (!address.empty() && text::equals_ci(account.displayName, address)) return account;
  // Last, an id prefix.
  std::vector<std::string> ids;
  for (const auto& account : accounts()) ids.push_back(account.id);
  const auto matches = prefix_matches(address, ids);
  if (matches.size() == 1)
    return *std::ranges::find(accounts(), matches.front(), &EmailAccount::id);
  if (matches.size() > 1)
    match_id_prefix(address, ids, "cli.noun.account");  // throws the candidates
  throw Error(localized_format("cli.account.not_found", idOrAddress));
}

const EmailAccount& AccountBook::defaultAccount() const {
  const auto& all = accounts();
  if (all.empty()) throw Error(localized("cli.accounts.none"));
  auto it = std::ranges::find(all, true, &EmailAccount::isDefault);
  return it != all.end() ? *it : all.front();
}

void AccountBook::save(const EmailAccount& account) { store_->saveAccount(account); }

void AccountBook::makeDefault(const std::string& accountId) {
  // Copied: each save replaces the entry of the list being walked.
  const std::vector<EmailAccount> all = accounts();
  const double now = now_seconds();
  store_->database().write([&](store::Connection&) {
    for (EmailAccount account : all) {
      const bool wanted = account.id == accountId;
      if (account.isDefault == wanted) continue;
      account.isDefault = wanted;
      account.updatedAt = now;
      store_->saveAccount(account);
    }
  });
}

void AccountBook::remove(const std::string& accountId) {
  const bool wasDefault = find(accountId).isDefault;
  store_->deleteAccount(accountId);
  if (wasDefault && !accounts().empty()) makeDefault(accounts().front().id);
}

}  // namespace kestrova::app
