#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrova::store {
class Connection;
}

namespace kestrova::app {

// The search language of `kestrova search`:
//   from:  to:  cc:  subject:  body:     text in that part (address or name for people)
//   has:attachment   is:unread  is:read  is:starred
//   folder:NAME (as the folder lists its mail: deleted mail is in the trash)
//   account:ADDRESS-OR-NAME  tag:NAME (one of the message's tags)
//   before:DATE  after:DATE  since:DATE  (2026-12-01, or a span back from now: 7d, 2w, 3m, 1y)
//   "quoted phrases", implicit AND between terms, a leading "-" negates a term;
//   any other word is looked for in the subject, sender, preview and text body.
struct SearchTerm {
  std::string field;  // empty for a plain word or phrase
  std::string value;
  bool negated = false;
};

// Splits a query into terms. Throws on an unknown has: or is: value.
std::vector<SearchTerm> parse_search_query(std::string_view query);

// The terms as an SQL condition on email_messages (one "?" per value in `values`, every
// text matched literally, ignoring case), for `now` (seconds) as the reference of spans.
// Throws on a date it cannot read. Given the connection the condition will run on (`index`),
// text terms also name the rows the substring index allows (same rows found, fewer read; a
// term of one or two characters reads the index's term listing for them); without, only the
// LIKE conditions.
struct SearchCondition {
  std::string sql;
  std::vector<std::string> texts;  // bound in order: LIKE patterns, index queries or dates
};
SearchCondition search_condition(const std::vector<SearchTerm>& terms, double now,
                                 store::Connection* index = nullptr);

// The statement of `kestrova search` around `condition`: the ids of the rows it allows,
// newest first (equal dates in row order), deleted and spam mail included. Bound with the
// account id (NULL for every account) twice, then condition.texts, then the limit.
std::string search_statement(const SearchCondition& condition);

// A search as a list shows it a page at a time (the desktop window): only the rows that also
// meet `condition` (SQL on email_messages without values; empty: every row), rows of equal
// date ordered by id, and, given `after` (the date and id of the last row shown), only the
// rows after that one.
struct SearchListing {
  std::string_view condition;
  std::optional<std::pair<double, std::string>> after;
};

// The ids `kestrova search` lists: the rows of search_statement(search_condition(terms, now)),
// in its order, at most `limit`, of `account` when given. Found the quickest way the index
// allows: the few rows the rarest text may be in, read by row id; for common texts the
// newest rows first. With a listing, the rows and order it asks for, found the same ways.
std::vector<std::string> search_message_ids(store::Connection& c,
                                            const std::vector<SearchTerm>& terms, double now,
                                            const std::optional<std::string>& account,
                                            int64_t limit, const SearchListing* listing = nullptr);

// A LIKE pattern (with ESCAPE '\\') that finds `text` anywhere, "%" and "_" taken literally.
std::string contains_pattern(std::string_view text);

}  // namespace kestrova::app
