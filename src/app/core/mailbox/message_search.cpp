#include "app/core/mailbox/message_search.h"

#include "app/core/agent/mail_tool_sql.h"
#include "store/search_index.h"

namespace kestrova::app {

namespace {

constexpr size_t kMaxIndexedPattern = 4096;

constexpr std::string_view kTextConditions =
    "AND is_deleted = 0 AND is_spam = 0 "
    "AND (subject LIKE ? OR from_email LIKE ? OR preview LIKE ? OR text_body LIKE ?) ";
const std::string kCandidates = "rowid IN " + std::string(store::kSearchCandidates) + " ";

// The date index the plain statements walk, and its condition on the account.
std::string date_walk(bool account) {
  return account ? "INDEXED BY idx_messages_account_date WHERE account_id = ? AND "
                 : "INDEXED BY idx_messages_date WHERE ";
}

// Few candidates: each read by row id, then sorted. Rows of equal date come in row id order,
// as they do in the date indexes that the plain statements walk.
std::string few_candidates_sql(bool account) {
  return std::string("SELECT * FROM email_messages NOT INDEXED WHERE ") +
         (account ? "account_id = ? AND " : "") + kCandidates + std::string(kTextConditions) +
         "ORDER BY date DESC, rowid LIMIT ?";
}

// The plain statement's walk of the date index, skipping rows the index rules out before
// their text is read; `older` for the rows dated before a bound only.
std::string date_walk_sql(bool account, std::string_view columns = "*", bool older = false) {
  return "SELECT " + std::string(columns) + " FROM email_messages " + date_walk(account) +
         (older ? "date < ? AND " : "") + kCandidates + std::string(kTextConditions) +
         "ORDER BY date DESC LIMIT ?";
}

// The plain statement's walk over the newest rows (dated at or after a bound).
std::string newest_rows_sql(bool account) {
  return "SELECT rowid FROM email_messages " + date_walk(account) + "date >= ? " +
         std::string(kTextConditions) + "ORDER BY date DESC LIMIT ?";
}

// Binds the statement's values: the account, then `values`, then the four patterns and the
// limit.
template <typename... Values>
store::Statement& bind(store::Statement& s, const std::optional<std::string>& account_id,
                       const std::string& pattern, int64_t limit, const Values&... values) {
  if (account_id)
    s.bind_all(*account_id, values..., pattern, pattern, pattern, pattern, limit);
  else
    s.bind_all(values..., pattern, pattern, pattern, pattern, limit);
  return s;
}

// Appends the row ids the statement yields to a JSON array's items; returns how many.
int64_t append_rowids(store::Statement& s, std::string& rowids) {
  int64_t found = 0;
  for (; s.step(); ++found) {
    if (rowids.size() > 1) rowids += ',';
    rowids += std::to_string(s.integer(0).value_or(0));
  }
  return found;
}

// The newest rows first, then a walk of the older ones for the rest of the page: the rows of
// both, in order (as a statement over their row ids).
store::Statement newest_first(store::Connection& c, const std::string& match,
                              const std::string& pattern,
                              const std::optional<std::string>& account_id, int64_t limit,
                              const std::optional<double>& since) {
  const bool account = account_id.has_value();
  std::string rowids = "[";
  {
    auto s = c.prepare(newest_rows_sql(account));
    limit -= append_rowids(bind(s, account_id, pattern, limit, since.value_or(-1e300)), rowids);
  }
  if (limit > 0 && since) {
    auto s = c.prepare(date_walk_sql(account, "rowid", true));
    append_rowids(bind(s, account_id, pattern, limit, *since, match), rowids);
  }
  auto s = c.prepare(
      "SELECT m.* FROM json_each(?) j JOIN email_messages m ON m.rowid = j.value ORDER BY j.key");
  s.bind(1, rowids + "]");
  return s;
}

}  // namespace

store::Statement prepare_message_search(store::Connection& c, std::string_view query,
                                        const std::optional<std::string>& account_id,
                                        int64_t limit) {
  const std::string pattern = "%" + std::string(query) + "%";
  std::optional<std::string> match;
  // Longer patterns go to the plain statement, which reports a pattern beyond SQLite's LIKE
  // limit as it always has.
  if (pattern.size() <= kMaxIndexedPattern) {
    match = store::like_pattern_query(query);
    if (!match && query.find_first_of("%_") == std::string_view::npos)
      match = store::short_text_query(c, query, store::kMaxShortTextTerms);
  }
  // An empty query: no indexed trigram starts with the text, so no indexed row holds it;
  // rows still queued for the index are looked for the plain way.
  if (match && match->empty() && store::has_queued_messages(c)) match.reset();
  if (!match) {
    auto s = c.prepare(account_id ? sql::kSearchAccount : sql::kSearchAll);
    bind(s, account_id, pattern, limit);
    return s;
  }
  if (match->empty()) {
    auto s = c.prepare("SELECT * FROM email_messages WHERE 0 LIMIT ?");
    s.bind(1, limit);
    return s;
  }
  const auto plan = store::plan_search(c, *match, account_id, limit);
  if (plan.way == store::SearchPlan::Way::newestFirst)
    return newest_first(c, *match, pattern, account_id, limit, plan.newestSince);
  const bool few = plan.way == store::SearchPlan::Way::fewCandidates;
  auto s = c.prepare(few ? few_candidates_sql(account_id.has_value())
                         : date_walk_sql(account_id.has_value()));
  bind(s, account_id, pattern, limit, *match);
  return s;
}

}  // namespace kestrova::app
