#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"

namespace kestrova::store {

class EmailDatabase;
class Statement;

// One named signature of an account (a row of `email_signatures`).
struct EmailSignature {
  std::string id;         // canonical UUID
  std::string accountId;  // canonical UUID of the owning account
  std::string name;
  std::string content;  // HTML when isHtml
  bool isHtml = false;
  bool isDefault = false;
  double createdAt = 0;
  double updatedAt = 0;

  bool operator==(const EmailSignature&) const = default;

  // Nothing when `id` or `account_id` is NULL or not a UUID.
  static std::optional<EmailSignature> from_row(const Statement& row);
  // Keys are the field names.
  OrderedJson to_json() const;
};

// The statements of the signatures table. Every call is one database access on the shared
// database; failures throw (DatabaseError, or Error with the missing-account text).
// Thread-safe as the database is.
class SignatureStore {
 public:
  static constexpr std::string_view kMissingAccount =
      "账号不存在，无法保存签名。请先添加邮箱账号。";

  // Borrows `database` for the store's lifetime.
  explicit SignatureStore(EmailDatabase& database) : database_(database) {}

  // The default first, then the most recently updated.
  std::vector<EmailSignature> list(std::string_view accountId) const;
  std::optional<EmailSignature> defaultSignature(std::string_view accountId) const;
  std::optional<EmailSignature> get(std::string_view id) const;
  // Insert or replace; throws Error(kMissingAccount) when the account does not exist.
  void save(const EmailSignature& signature) const;
  void remove(std::string_view id) const;
  // Clears the account's previous default and marks `id`, in one transaction.
  void setDefault(std::string_view accountId, std::string_view id, double now) const;

 private:
  EmailDatabase& database_;
};

}  // namespace kestrova::store
