#include "store/email_signature.h"

#include "store/database.h"
#include "store/row_reader.h"

namespace kestrova::store {

namespace {

constexpr std::string_view kList =
    "SELECT * FROM email_signatures WHERE account_id = ? ORDER BY is_default DESC, updated_at DESC";
constexpr std::string_view kDefault =
    "SELECT * FROM email_signatures WHERE account_id = ? AND is_default = 1 LIMIT 1";
constexpr std::string_view kGet = "SELECT * FROM email_signatures WHERE id = ?";
constexpr std::string_view kAccountExists = "SELECT COUNT(*) FROM email_accounts WHERE id = ?";
constexpr std::string_view kSave =
    "INSERT OR REPLACE INTO email_signatures ( id, account_id, name, content, is_html, "
    "is_default, created_at, updated_at ) VALUES (?, ?, ?, ?, ?, ?, ?, ?)";
constexpr std::string_view kDelete = "DELETE FROM email_signatures WHERE id = ?";
constexpr std::string_view kClearDefault =
    "UPDATE email_signatures SET is_default = 0 WHERE account_id = ?";
constexpr std::string_view kSetDefault =
    "UPDATE email_signatures SET is_default = 1, updated_at = ? WHERE id = ?";

std::vector<EmailSignature> read_all(Statement& s) {
  std::vector<EmailSignature> out;
  while (s.step())
    if (auto signature = EmailSignature::from_row(s)) out.push_back(std::move(*signature));
  return out;
}

}  // namespace

std::optional<EmailSignature> EmailSignature::from_row(const Statement& row) {
  RowReader r(row);
  auto id = r.uuid("id");
  auto account = r.uuid("account_id");
  if (!id || !account) return std::nullopt;
  return EmailSignature{std::move(*id),       std::move(*account), r.text("name"),
                        r.text("content"),    r.flag("is_html"),   r.flag("is_default"),
                        r.date("created_at"), r.date("updated_at")};
}

OrderedJson EmailSignature::to_json() const {
  OrderedJson j = OrderedJson::object();
  j["id"] = id;
  j["accountId"] = accountId;
  j["name"] = name;
  j["content"] = content;
  j["isHtml"] = isHtml;
  j["isDefault"] = isDefault;
  j["createdAt"] = createdAt;
  j["updatedAt"] = updatedAt;
  return j;
}

std::vector<EmailSignature> SignatureStore::list(std::string_view accountId) const {
  return database_.read([&](Connection& c) {
    auto s = c.prepare(kList);
    s.bind(1, accountId);
    return read_all(s);
  });
}

std::optional<EmailSignature> SignatureStore::defaultSignature(std::string_view accountId) const {
  return database_.read([&](Connection& c) -> std::optional<EmailSignature> {
    auto s = c.prepare(kDefault);
    s.bind(1, accountId);
    auto all = read_all(s);
    if (all.empty()) return std::nullopt;
    return std::move(all.front());
  });
}

std::optional<EmailSignature> SignatureStore::get(std::string_view id) const {
  return database_.read([&](Connection& c) -> std::optional<EmailSignature> {
    auto s = c.prepare(kGet);
    s.bind(1, id);
    auto all = read_all(s);
    if (all.empty()) return std::nullopt;
    return std::move(all.front());
  });
}

void SignatureStore::save(const EmailSignature& g) const {
  database_.write([&](Connection& c) {
    {
      auto s = c.prepare(kAccountExists);
      s.bind(1, g.accountId);
      if (!s.step() || s.integer(0).value_or(0) == 0) throw Error(std::string(kMissingAccount));
    }
    c.prepare(kSave)
        .bind_all(g.id, g.accountId, g.name, g.content, g.isHtml, g.isDefault, g.createdAt,
                  g.updatedAt)
        .run();
  });
}

void SignatureStore::remove(std::string_view id) const {
  database_.write([&](Connection& c) { c.prepare(kDelete).bind(1, id).run(); });
}

void SignatureStore::setDefault(std::string_view accountId, std::string_view id, double now) const {
  database_.write([&](Connection& c) {
    c.prepare(kClearDefault).bind(1, accountId).run();
    c.prepare(kSetDefault).bind_all(now, id).run();
  });
}

}  // namespace kestrova::store
