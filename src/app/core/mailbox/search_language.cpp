#include "app/core/mailbox/search_language.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <optional>
#include <type_traits>

#include "store/database.h"
#include "store/search_index.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::app {

namespace {

constexpr std::string_view kFields[] = {"from",  "to",    "cc",     "subject", "body",
                                        "has",   "is",    "folder", "account", "before",
                                        "after", "since", "tag"};

// A message is in a folder as the folder's listing shows it: the trash lists the account's
// deleted messages wherever they were, the spam folder its spam; other folders list their
// own messages that are neither. Written against the outer email_messages row.
constexpr std::string_view kInNamedFolder =
    "EXISTS (SELECT 1 FROM email_folders f WHERE f.account_id = email_messages.account_id AND "
    "(f.name LIKE ? ESCAPE '\\' OR f.path LIKE ? ESCAPE '\\' OR f.type = LOWER(?)) AND CASE "
    "f.type WHEN 'trash' THEN email_messages.folder_id = f.id OR email_messages.is_deleted = 1 "
    "WHEN 'spam' THEN email_messages.is_deleted = 0 AND (email_messages.folder_id = f.id OR "
    "email_messages.is_spam = 1) ELSE email_messages.folder_id = f.id AND "
    "email_messages.is_deleted = 0 AND email_messages.is_spam = 0 END)";

// One of the message's tags (the AI's and the agent's, or the user's own) is the value,
// ASCII letter case ignored. A list that is not valid JSON holds no tag.
std::string has_tag(std::string_view column) {
  const std::string list = "CAST(" + std::string(column) + " AS TEXT)";
  return "EXISTS (SELECT 1 FROM json_each(CASE WHEN json_valid(" + list + ") THEN " + list +
         " ELSE '[]' END) WHERE lower(value) = lower(?))";
}

bool is_field(std::string_view name) {
  for (auto field : kFields)
    if (field == name) return true;
  return false;
}

// A LIKE pattern that matches `text` as a whole, "%", "_" and "\" taken literally.
std::string literal_pattern(std::string_view text) {
  std::string pattern;
  for (char ch : text) {
    if (ch == '%' || ch == '_' || ch == '\\') pattern += '\\';
    pattern += ch;
  }
  return pattern;
}

// A date term: an absolute date (local midnight) or a span back from `now`.
double date_value(const std::string& text, double now) {
  if (text.size() >= 2) {
    char* end = nullptr;
    const long count = std::strtol(text.c_str(), &end, 10);
    const std::string unit(end);
    // In floating point: a count of the largest size times a year's days is still a date
    // (long before any mail), not an overflow.
    const double days = static_cast<double>(count);
    constexpr double kDay = 86400;
    if (end != text.c_str() && count >= 0) {
      if (unit == "d") return now - days * kDay;
      if (unit == "w") return now - days * 7 * kDay;
      if (unit == "m") return now - days * 30 * kDay;
      if (unit == "y") return now - days * 365 * kDay;
    }
  }
  if (auto date = parse_local_datetime(text + " 00:00:00")) return *date;
  if (auto date = parse_date_argument(text)) return *date;
  throw Error(localized_format("cli.search.bad_date", text));
}

}  // namespace

std::vector<SearchTerm> parse_search_query(std::string_view query) {
  std::vector<SearchTerm> terms;
  size_t i = 0;
  while (i < query.size()) {
    if (std::isspace(static_cast<unsigned char>(query[i]))) {
      ++i;
      continue;
    }
    SearchTerm term;
    if (query[i] == '-' && i + 1 < query.size() &&
        !std::isspace(static_cast<unsigned char>(query[i + 1]))) {
      term.negated = true;
      ++i;
    }
    // An optional "field:" before the value.
    size_t j = i;
    while (j < query.size() && std::isalpha(static_cast<unsigned char>(query[j]))) ++j;
    if (j < query.size() && query[j] == ':' && j + 1 < query.size() &&
        !std::isspace(static_cast<unsigned char>(query[j + 1]))) {
      // An unknown name ("re:", "http:") is part of a plain word.
      if (const std::string name = text::lower(query.substr(i, j - i)); is_field(name)) {
        term.field = name;
        i = j + 1;
      }
    }
    if (query[i] == '"') {
      const size_t close = query.find('"', i + 1);
      if (close == std::string_view::npos) throw Error(localized("cli.search.unclosed_quote"));
      const size_t end = close;
      term.value = std::string(query.substr(i + 1, end - i - 1));
      i = close == std::string_view::npos ? query.size() : close + 1;
    } else {
      const size_t start = i;
      while (i < query.size() && !std::isspace(static_cast<unsigned char>(query[i]))) ++i;
      term.value = std::string(query.substr(start, i - start));
    }
    if (term.field == "has" && text::lower(term.value) != "attachment")
      throw Error(localized("cli.search.has_only"));
    if (term.field == "is") {
      term.value = text::lower(term.value);
      if (term.value != "unread" && term.value != "read" && term.value != "starred")
        throw Error(localized("cli.search.is_only"));
    }
    if (term.value.empty() && term.field.empty()) continue;
    terms.push_back(std::move(term));
  }
  return terms;
}

std::string search_statement(const SearchCondition& condition) {
  return "SELECT id FROM email_messages WHERE (? IS NULL OR account_id = ?) AND " + condition.sql +
         " ORDER BY date DESC, rowid LIMIT ?";
}

std::string contains_pattern(std::string_view text) { return "%" + literal_pattern(text) + "%"; }

namespace {

// Of each term, the index query that names the rows which may hold its text: for positive
// text terms on the subject, sender, preview or body. An empty query: no indexed row holds it.
std::vector<std::optional<std::string>> index_queries(const std::vector<SearchTerm>& terms,
                                                      store::Connection& index) {
  std::vector<std::optional<std::string>> queries(terms.size());
  for (size_t i = 0; i < terms.size(); ++i) {
    const auto& term = terms[i];
    const std::string& f = term.field;
    const bool indexed_columns = f.empty() || f == "from" || f == "subject" || f == "body";
    // The index holds UTF-8 text; bytes that are not UTF-8 are left to LIKE, which compares
    // them its own way.
    if (!indexed_columns || term.negated || !text::is_valid_utf8(term.value)) continue;
    queries[i] = store::literal_text_query(term.value);
    if (!queries[i])
      queries[i] = store::short_text_query(index, term.value, store::kMaxShortTextTerms);
  }
  return queries;
}

// The condition of the terms, each term with an index query (`queries`, by position) also
// limited to the rows it names.
SearchCondition condition_with(const std::vector<SearchTerm>& terms, double now,
                               const std::vector<std::optional<std::string>>& queries) {
  SearchCondition condition;
  std::string& sql = condition.sql;
  auto& texts = condition.texts;
  auto like = [&](std::initializer_list<std::string_view> columns, const std::string& value) {
    std::string part = "(";
    for (auto column : columns) {
      if (part.size() > 1) part += " OR ";
      part += std::string(column) + " LIKE ? ESCAPE '\\'";
      texts.push_back(contains_pattern(value));
    }
    return part + ")";
  };
  for (size_t i = 0; i < terms.size(); ++i) {
    const auto& term = terms[i];
    std::string part;
    const std::string& f = term.field;
    const size_t first_text = texts.size();
    if (f.empty()) {
      part = like({"subject", "from_email", "from_name", "preview", "text_body"}, term.value);
    } else if (f == "from") {
      part = like({"from_email", "from_name"}, term.value);
    } else if (f == "to") {
      part = like({"to_contacts"}, term.value);
    } else if (f == "cc") {
      part = like({"cc_contacts"}, term.value);
    } else if (f == "subject") {
      part = like({"subject"}, term.value);
    } else if (f == "body") {
      part = like({"text_body", "preview"}, term.value);
    } else if (f == "has") {
      part = "has_attachments = 1";
    } else if (f == "is") {
      part = term.value == "unread" ? "is_read = 0"
             : term.value == "read" ? "is_read = 1"
                                    : "is_starred = 1";
    } else if (f == "folder") {
      // A folder by name, path or type ("inbox", "sent", ...), in any account.
      part = kInNamedFolder;
      texts.push_back(literal_pattern(term.value));
      texts.push_back(literal_pattern(term.value));
      texts.push_back(term.value);
    } else if (f == "tag") {
      part = "(" + has_tag("ai_tags") + " OR " + has_tag("tags") + ")";
      texts.push_back(term.value);
      texts.push_back(term.value);
    } else if (f == "account") {
      part =
          "account_id IN (SELECT id FROM email_accounts WHERE email_address LIKE ? ESCAPE '\\' "
          "OR display_name LIKE ? ESCAPE '\\')";
      texts.push_back(contains_pattern(term.value));
      texts.push_back(contains_pattern(term.value));
    } else {
      const double when = date_value(term.value, now);
      part = f == "before" ? "date < CAST(? AS REAL)" : "date >= CAST(? AS REAL)";
      texts.push_back(std::to_string(when));
    }
    // Text in the subject, sender, preview or body: the substring index names the rows that
    // may hold it, so that the LIKE conditions read only those. "+rowid" keeps the walk in
    // date order (the row set is a filter, not the way in), so a common word stops after a
    // page of rows and rows of equal date keep their order.
    const std::optional<std::string> match = i < queries.size() ? queries[i] : std::nullopt;
    if (match && match->empty()) {
      // No indexed row holds the text: only rows still queued for the index can.
      part = "(+rowid IN (SELECT rowid FROM email_search_queue) AND " + part + ")";
    } else if (match) {
      part = "(+rowid IN " + std::string(store::kSearchCandidates) + " AND " + part + ")";
      texts.insert(texts.begin() + static_cast<std::ptrdiff_t>(first_text), *match);
    }
    if (!sql.empty()) sql += " AND ";
    sql += term.negated ? "NOT " + part : part;
  }
  if (sql.empty()) sql = "1";
  return condition;
}

}  // namespace

SearchCondition search_condition(const std::vector<SearchTerm>& terms, double now,
                                 store::Connection* index) {
  return condition_with(
      terms, now,
      index ? index_queries(terms, *index) : std::vector<std::optional<std::string>>(terms.size()));
}

std::vector<std::string> search_message_ids(store::Connection& c,
                                            const std::vector<SearchTerm>& terms, double now,
                                            const std::optional<std::string>& account,
                                            int64_t limit, const SearchListing* listing) {
  const auto queries = index_queries(terms, c);
  const auto plain = condition_with(terms, now, {});
  // What a listing adds to every statement: its own condition and where its page starts.
  std::string also;
  if (listing) {
    if (!listing->condition.empty()) also += " AND (" + std::string(listing->condition) + ")";
    if (listing->after) also += " AND date <= ? AND (date < ? OR id > ?)";
  }
  const std::string order =
      listing ? " ORDER BY date DESC, id LIMIT ?" : " ORDER BY date DESC, rowid LIMIT ?";
  // Appends to `found` the ids of `sql`, bound with `lead` (when it is a value), the account
  // twice, the condition's values, the listing's start and what is left of the limit.
  std::vector<std::string> found;
  auto add = [&](const std::string& sql, const auto& lead, const SearchCondition& condition) {
    auto s = c.prepare(sql);
    int index = 1;
    if constexpr (!std::is_same_v<std::decay_t<decltype(lead)>, std::nullopt_t>)
      s.bind(index++, lead);
    s.bind(index++, account);
    s.bind(index++, account);
    for (const auto& value : condition.texts) s.bind(index++, value);
    if (listing && listing->after) {
      s.bind(index++, listing->after->first);
      s.bind(index++, listing->after->first);
      s.bind(index++, listing->after->second);
    }
    s.bind(index, limit - static_cast<int64_t>(found.size()));
    while (s.step()) found.push_back(s.text(0).value_or(""));
  };
  // Rows of equal date in row id order, as the date index lists them (by id for a listing).
  auto statement = [&](std::string_view start, const SearchCondition& condition) {
    return std::string(start) + " AND (? IS NULL OR account_id = ?) AND " + condition.sql + also +
           order;
  };
  const std::string any = "SELECT id FROM email_messages WHERE 1";
  const std::string few = "SELECT id FROM email_messages NOT INDEXED WHERE rowid IN ";
  // The text on the fewest rows leads; it is the only one the index narrows.
  std::optional<size_t> lead;
  int64_t furthest = 0;
  for (size_t i = 0; i < queries.size(); ++i) {
    if (!queries[i]) continue;
    // No indexed row holds the text: only rows still queued for the index can.
    if (queries[i]->empty()) {
      add(statement(few + "(SELECT rowid FROM email_search_queue)", plain), std::nullopt, plain);
      return found;
    }
    const auto nth = store::nth_search_match(c, *queries[i], store::kFewSearchCandidates);
    if (!nth) {
      add(statement(few + std::string(store::kSearchCandidates), plain), *queries[i], plain);
      return found;
    }
    if (*nth > furthest) {
      lead = i;
      furthest = *nth;
    }
  }
  if (!lead) {
    add(statement(any, plain), std::nullopt, plain);
    return found;
  }
  std::vector<std::optional<std::string>> lead_only(queries.size());
  lead_only[*lead] = queries[*lead];
  const auto narrowed = condition_with(terms, now, lead_only);
  const auto plan = store::plan_search(c, *queries[*lead], account, limit);
  if (plan.way != store::SearchPlan::Way::newestFirst) {
    add(statement(any, narrowed), std::nullopt, narrowed);
    return found;
  }
  // A common text: the newest rows first, the plain way, then a walk of the older ones.
  const std::string walk = "SELECT id FROM email_messages INDEXED BY idx_messages_date WHERE date ";
  add(statement(walk + ">= ?", plain), plan.newestSince.value_or(-1e300), plain);
  if (static_cast<int64_t>(found.size()) < limit && plan.newestSince)
    add(statement(walk + "< ?", narrowed), *plan.newestSince, narrowed);
  return found;
}

}  // namespace kestrova::app
