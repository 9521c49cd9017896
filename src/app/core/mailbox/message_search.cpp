#include "app/core/mailbox/message_search.h"

#include "app/core/agent/mail_tool_sql.h"
#include "store/search_index.h"

namespace kestrova::app {

namespace {

// Rows the index names that the date-ordered walk of the plain statement would also find in
// a few steps; fewer than this are read by row id and sorted instead.
constexpr size_t kManyCandidates = 1500;
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

// Many candidates: the plain statement's walk of the date index, skipping rows the index
// rules out before their text is read.
std::string many_candidates_sql(bool account) {
  return "SELECT * FROM email_messages " + date_walk(account) + kCandidates +
         std::string(kTextConditions) + "ORDER BY date DESC LIMIT ?";
}

// The plain statement's walk over the newest rows only (date at or after the bound).
std::string newest_rows_sql(bool account) {
  return "SELECT rowid FROM email_messages " + date_walk(account) + "date >= ? " +
         std::string(kTextConditions) + "ORDER BY date DESC LIMIT ?";
}

// The rows of `rowids` (a JSON array), in its order.
store::Statement rows_in_order(store::Connection& c, const std::string& rowids) {
  auto s = c.prepare(
      "SELECT m.* FROM json_each(?) j JOIN email_messages m ON m.rowid = j.value ORDER BY j.key");
  s.bind(1, rowids);
  return s;
}

// A common text first looks among the newest rows, where the plain walk finds it in a few
// steps: when they hold a whole page, that page is the answer (as a JSON array of row ids).
std::optional<std::string> page_among_newest_rows(store::Connection& c, const std::string& pattern,
                                                  const std::optional<std::string>& account_id,
                                                  int64_t limit) {
  const auto since = store::newest_rows_start(c, account_id, store::newest_rows_to_search(limit));
  auto s = c.prepare(newest_rows_sql(account_id.has_value()));
  if (account_id)
    s.bind_all(*account_id, since.value_or(-1e300), pattern, pattern, pattern, pattern, limit);
  else
    s.bind_all(since.value_or(-1e300), pattern, pattern, pattern, pattern, limit);
  std::string rowids = "[";
  int64_t found = 0;
  for (; s.step(); ++found) {
    if (found) rowids += ',';
    rowids += std::to_string(s.integer(0).value_or(0));
  }
  // Without a bound the walk went over every row: its answer is whole however short.
  if (found < limit && since) return std::nullopt;
  return rowids + "]";
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
    if (account_id)
      s.bind_all(*account_id, pattern, pattern, pattern, pattern, limit);
    else
      s.bind_all(pattern, pattern, pattern, pattern, limit);
    return s;
  }
  if (match->empty()) {
    auto s = c.prepare("SELECT * FROM email_messages WHERE 0 LIMIT ?");
    s.bind(1, limit);
    return s;
  }
  const bool many = store::count_search_matches(c, *match, kManyCandidates) >= kManyCandidates;
  if (many)
    if (auto page = page_among_newest_rows(c, pattern, account_id, limit))
      return rows_in_order(c, *page);
  auto s = c.prepare(many ? many_candidates_sql(account_id.has_value())
                          : few_candidates_sql(account_id.has_value()));
  if (account_id)
    s.bind_all(*account_id, *match, pattern, pattern, pattern, pattern, limit);
  else
    s.bind_all(*match, pattern, pattern, pattern, pattern, limit);
  return s;
}

}  // namespace kestrova::app
