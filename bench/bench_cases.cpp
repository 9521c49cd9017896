#include "bench_cases.h"

#include <stdexcept>

#include "app/core/agent/mail_tool_sql.h"
#include "store/email_store_sql.h"

namespace kestrova::bench {

namespace {

// The statements the tools run, from where the tools take them (same text, same bound
// values).
const std::string kListAccounts(app::sql::kListAccounts);
const std::string kListFolders(app::sql::kListFolders);
const std::string kFolderLookup(app::sql::kFolderLookup);
const std::string kGetMessage(app::sql::kGetMessage);
const std::string kSearchAccount(app::sql::kSearchAccount);
const std::string kSearchAll(app::sql::kSearchAll);
const std::string kListTags(app::sql::kListTags);
const std::string kSearchByTag(app::sql::kSearchByTag);
const std::string kListTrash = store::sql::folderPage(store::EmailFolderType::trash);
const std::string kListSpam = store::sql::folderPage(store::EmailFolderType::spam);
const std::string kListFolder = store::sql::folderPage(store::EmailFolderType::inbox);

StatementHandle prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                         &raw, nullptr) != SQLITE_OK)
    throw std::runtime_error(std::string("prepare failed: ") + sqlite3_errmsg(db) + ": " + sql);
  return StatementHandle(raw);
}

std::string first_text(sqlite3* db, const std::string& sql, const std::vector<std::string>& values) {
  StatementHandle s = prepare(db, sql);
  for (size_t i = 0; i < values.size(); ++i)
    sqlite3_bind_text(s.get(), static_cast<int>(i + 1), values[i].c_str(), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(s.get()) != SQLITE_ROW || sqlite3_column_type(s.get(), 0) == SQLITE_NULL)
    throw std::runtime_error("benchmark database lacks a row for: " + sql);
  return reinterpret_cast<const char*>(sqlite3_column_text(s.get(), 0));
}

std::string like(const std::string& text) { return "%" + text + "%"; }

}  // namespace

DatabaseHandle open_database(const std::filesystem::path& file) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
  DatabaseHandle db(raw);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + file.string());
  sqlite3_exec(db.get(), "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr);
  return db;
}

std::vector<BenchCase> make_cases(const std::filesystem::path& file) {
  DatabaseHandle db = open_database(file);
  sqlite3* d = db.get();
  // The default account (the one list_accounts puts first) and its folders.
  const std::string account = first_text(d, std::string(kListAccounts) + " LIMIT 1", {});
  auto folder = [&](const char* type) {
    return first_text(d, "SELECT id FROM email_folders WHERE account_id = ? AND type = ? ORDER BY name LIMIT 1",
                      {account, type});
  };
  const std::string inbox = folder("inbox"), trash = folder("trash"), spam = folder("spam"),
                    custom = folder("custom");
  // A message with both bodies, some way down the inbox.
  const std::string message = first_text(
      d,
      "SELECT id FROM email_messages WHERE folder_id = ? AND html_body IS NOT NULL "
      "AND cc_contacts IS NOT NULL ORDER BY date DESC LIMIT 1 OFFSET 50",
      {inbox});

  const int64_t limit = 20, offset = 0;
  std::vector<BenchCase> cases;
  cases.push_back({"list_accounts", "list_accounts", Json::object(), {{kListAccounts, {}}}});
  cases.push_back({"list_folders", "list_folders", {{"accountId", account}},
                   {{kListFolders, {account}}}, 15});
  cases.push_back({"list_messages inbox", "list_messages", {{"folderId", inbox}},
                   {{kFolderLookup, {inbox}}, {kListFolder, {inbox, limit, offset}}}});
  cases.push_back({"list_messages inbox limit=100 offset=500", "list_messages",
                   {{"folderId", inbox}, {"limit", 100}, {"offset", 500}},
                   {{kFolderLookup, {inbox}}, {kListFolder, {inbox, int64_t{100}, int64_t{500}}}}});
  cases.push_back({"list_messages custom folder", "list_messages", {{"folderId", custom}},
                   {{kFolderLookup, {custom}}, {kListFolder, {custom, limit, offset}}}});
  cases.push_back({"list_messages trash", "list_messages", {{"folderId", trash}},
                   {{kFolderLookup, {trash}}, {kListTrash, {account, trash, limit, offset}}}});
  cases.push_back({"list_messages spam", "list_messages", {{"folderId", spam}},
                   {{kFolderLookup, {spam}}, {kListSpam, {account, spam, limit, offset}}}});
  cases.push_back({"get_message", "get_message", {{"messageId", message}}, {{kGetMessage, {message}}}});
  for (const std::string query : {"发票", "invoice"}) {
    const std::string p = like(query);
    cases.push_back({"search_messages \"" + query + "\"", "search_messages", {{"query", query}},
                     {{kSearchAll, {p, p, p, p, limit}}}});
    cases.push_back({"search_messages \"" + query + "\" accountId", "search_messages",
                     {{"query", query}, {"accountId", account}},
                     {{kSearchAccount, {account, p, p, p, p, limit}}}});
  }
  // Nothing matches: every row of the table is read (the worst case of a search).
  const std::string none = like("qzx-no-such-text");
  cases.push_back({"search_messages no match", "search_messages", {{"query", "qzx-no-such-text"}},
                   {{kSearchAll, {none, none, none, none, limit}}}, 15});
  cases.push_back({"list_tags", "list_tags", Json::object(), {{kListTags, {int64_t{10000}}}}, 50});
  // The tool reads up to 4 × limit rows but stops once `limit` of them carry the tag; in
  // this data every LIKE hit is an exact tag match, so it reads `limit` rows, and so does
  // the raw side.
  for (const std::string tag : {"invoice", "工作"}) {
    cases.push_back({"search_by_tag " + tag, "search_by_tag", {{"tag", tag}},
                     {{kSearchByTag, {like(tag), int64_t{30 * 4}}, 30}}});
  }
  cases.push_back({"get_deep_link", "get_deep_link", {{"type", "email"}, {"id", message}}, {}});
  cases.push_back({"list_feature_toggles", "list_feature_toggles", Json::object(), {}});
  return cases;
}

std::string request_line(const BenchCase& c, int64_t id) {
  Json request = {{"jsonrpc", "2.0"},
                  {"id", id},
                  {"method", "tools/call"},
                  {"params", {{"name", c.tool}, {"arguments", c.arguments}}}};
  return request.dump();
}

RawQuery::RawQuery(sqlite3* db, const BenchCase& c) : db_(db) {
  for (const auto& statement : c.statements)
    prepared_.push_back(Prepared{prepare(db, statement.sql), statement.values, statement.max_rows});
}

uint64_t RawQuery::run() {
  uint64_t checksum = 0;
  for (auto& p : prepared_) {
    sqlite3_stmt* s = p.statement.get();
    for (size_t i = 0; i < p.values.size(); ++i) {
      const int index = static_cast<int>(i + 1);
      if (const auto* n = std::get_if<int64_t>(&p.values[i])) {
        sqlite3_bind_int64(s, index, *n);
      } else {
        const auto& text = std::get<std::string>(p.values[i]);
        sqlite3_bind_text64(s, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
      }
    }
    int rc = SQLITE_DONE;
    int64_t rows = 0;
    while ((p.max_rows == 0 || rows++ < p.max_rows) && (rc = sqlite3_step(s)) == SQLITE_ROW) {
      const int columns = sqlite3_column_count(s);
      for (int col = 0; col < columns; ++col) {
        switch (sqlite3_column_type(s, col)) {
          case SQLITE_INTEGER:
            checksum += static_cast<uint64_t>(sqlite3_column_int64(s, col));
            break;
          case SQLITE_FLOAT:
            checksum += static_cast<uint64_t>(sqlite3_column_double(s, col));
            break;
          case SQLITE_TEXT:
            checksum += sqlite3_column_text(s, col)[0] + static_cast<uint64_t>(sqlite3_column_bytes(s, col));
            break;
          case SQLITE_BLOB: {
            const void* blob = sqlite3_column_blob(s, col);
            const int size = sqlite3_column_bytes(s, col);
            checksum += static_cast<uint64_t>(size) + (blob && size ? *static_cast<const unsigned char*>(blob) : 0);
            break;
          }
          default:
            break;
        }
      }
    }
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) throw std::runtime_error(std::string("step failed: ") + sqlite3_errmsg(db_));
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
  }
  return checksum;
}

}  // namespace kestrova::bench
