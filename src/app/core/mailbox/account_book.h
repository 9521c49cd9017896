#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/email_account.h"

namespace kestrova::store {
class EmailDatabase;
class EmailStore;
}  // namespace kestrova::store

namespace kestrova::platform {
class SettingsStore;
}

namespace kestrova::app {

// The user's accounts for the account and send commands and the window's account page: the
// mail store over the user's database, with its account list loaded. For one thread only
// (a command's main thread, the window's interface thread).
class AccountBook {
 public:
  // Over the user's database and settings. Throws when the database cannot be opened.
  AccountBook();
  // Over the given ones (which outlive the book). Throws when the database cannot be opened.
  AccountBook(store::EmailDatabase& database, platform::SettingsStore& settings);
  ~AccountBook();
  AccountBook(const AccountBook&) = delete;
  AccountBook& operator=(const AccountBook&) = delete;

  // Default account first, then newest first.
  const std::vector<store::EmailAccount>& accounts() const;
  // The account whose id is `idOrAddress`, else whose address equals it, else whose display
  // name does (both ignoring case). Throws "未找到账户: ..." when there is none.
  const store::EmailAccount& find(std::string_view idOrAddress) const;
  // The default account, else the first one; throws when there is no account at all.
  const store::EmailAccount& defaultAccount() const;

  // The mail store the book reads (accounts loaded; folders and messages on demand).
  store::EmailStore& store() { return *store_; }

  // Reads the account list again (another process may have changed it).
  void reload();

  // Writes the account (insert or replace).
  void save(const store::EmailAccount& account);
  // Makes `accountId` the only default account, in one transaction.
  void makeDefault(const std::string& accountId);
  // Deletes the account row (its folders and messages go with it); when it was the
  // default, the first remaining account becomes the default.
  void remove(const std::string& accountId);

 private:
  std::unique_ptr<store::EmailStore> store_;
};

}  // namespace kestrova::app
