#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::store {

class Connection;

// The substring index over the text that searches look in: subject, sender address and name,
// preview and text body of every row of email_messages. It is an FTS5 trigram index without
// a copy of the text (the rows keep it) and without positions, kept current by triggers on
// email_messages, so every write path (sync, import, tools, deletes, account removal) updates
// it in the same transaction as the row.
//
// The index only narrows: it answers "which rows may contain this text". Searches keep their
// LIKE conditions on the rows it names, so their results are the same with or without it.
//
// Index entries are keyed by the rowid of email_messages, which VACUUM keeps (it copies
// rows with their rowids).
//
// Rows written with new text wait in email_search_queue (their row ids) and enter the index
// in one statement when the write transaction commits (index_queued_messages): FTS5 writes
// out its pending entries at every statement of a transaction, so indexing each message in
// its own statement would write one small segment per message and merge them over and over.
// Searches take the queued rows as candidates too, so a row is found before it is indexed.
// Removals leave the index at once (an index without a copy of the text needs the removed
// text, which only the trigger still has).
//
// The index folds ASCII letter case and nothing else, as LIKE does, so the trigrams of a text
// LIKE matches are exactly those of the query.
//
// Each field is indexed followed by two line feeds, so every occurrence of a one- or
// two-character text starts at least one indexed trigram; that is what lets short texts
// (two-character Chinese words) use the index too (see short_text_query).

// Creates the index, its term listing and its triggers when missing, and fills the index from
// the stored mail when it was missing. Runs inside the schema build's write transaction.
void create_search_index(Connection& c);

// Indexes the queued rows and empties the queue. Called before every commit of a write
// transaction; does nothing when the queue is empty.
void index_queued_messages(Connection& c);
bool has_queued_messages(Connection& c);

// The row ids a search may find for an index query bound to its "?": the rows the index
// names and the rows still queued.
inline constexpr std::string_view kSearchCandidates =
    "(SELECT rowid FROM email_search WHERE email_search MATCH ? "
    "UNION ALL SELECT rowid FROM email_search_queue)";

// A query for the index matched by every row whose searchable text contains `literal`
// (ASCII letter case ignored, as LIKE does). Nothing when `literal` has fewer than three
// characters, is not valid UTF-8 or holds a NUL.
std::optional<std::string> literal_text_query(std::string_view literal);

// The same for a LIKE pattern whose "%" and "_" are wildcards (no escape character): the
// literal runs of three or more characters between wildcards. Nothing when there is none.
std::optional<std::string> like_pattern_query(std::string_view pattern);

// For a text of one or two characters: a query matching every row that contains it, built
// from the indexed trigrams that start with it. Nothing when more than `max_terms` trigrams
// start with it (a common text, which a scan in date order finds sooner). An empty query
// string means no row contains the text.
std::optional<std::string> short_text_query(Connection& c, std::string_view text, size_t max_terms);
// The `max_terms` the searches use: one- and two-character texts with more trigrams than this
// are common, and a date-ordered scan finds their page sooner than the index lists the rows.
inline constexpr size_t kMaxShortTextTerms = 400;

// How a search over an index query finds the newest `limit` rows of its text. The index lists
// rows in row id order, so the newest matches are found either by listing every candidate
// (cost: the candidates) or by walking the date index (cost: the rows walked until the page is
// full, reading the text of each). The choice only changes the time: every way yields the
// rows and order of the plain date-ordered statement.
struct SearchPlan {
  enum class Way {
    fewCandidates,  // the index names few rows: read each by row id, then sort
    dateWalk,       // walk the date index, skipping rows outside the listed candidates
    newestFirst,    // look through the newest rows the plain way, then walk the rest
  };
  Way way = Way::dateWalk;
  // newestFirst: the date from which on the rows are looked through first (nothing: every
  // row is among the newest, and the first look is the whole search).
  std::optional<double> newestSince;
};

// Candidates below this are few: read by row id sooner than found by a walk.
inline constexpr size_t kFewSearchCandidates = 300;

// The way for `query` (an index query, not empty), of `account` when given. Reads the index
// up to its kFewSearchCandidates-th candidate, which also tells how common the text is.
SearchPlan plan_search(Connection& c, const std::string& query,
                       const std::optional<std::string>& account, int64_t limit);

// The rowid of the `nth` (from 1) row the query names, in the index's (row id) order;
// nothing when it names fewer. Its position tells how common the text is.
std::optional<int64_t> nth_search_match(Connection& c, const std::string& query, size_t nth);

// The date of the `rows`-th newest message, of `account` when given (every row counts,
// deleted and spam mail too): the rows dated at or after it are the first `rows` (or a few
// more, of equal date) that a walk of the date index reads. Nothing when there are fewer rows.
//
// A date-ordered statement restricted to those rows finds exactly the first matches of the
// unrestricted one, and the same statement restricted to the older rows the rest, in order.
std::optional<double> newest_rows_start(Connection& c, const std::optional<std::string>& account,
                                        size_t rows);

}  // namespace kestrova::store
