#include "store/search_index.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "store/database.h"

namespace kestrova::store {

namespace {

// The indexed text of one row, `row` being "new", "old" or a table alias. The same
// expression fills and empties the index: an index without a copy of the text removes a row
// only when it is handed exactly the text it indexed.
//
// lower() folds ASCII letters only, as LIKE does, and the tokenizer folds nothing more, so a
// text LIKE matches has exactly the trigrams of the query (folding all of Unicode, as the
// tokenizer's default does, costs about a quarter of the indexing time). A preview held whole in
// the text body adds no trigram a search could need, and is left out.
std::string indexed_text(std::string_view row) {
  const std::string r(row);
  return "lower(COALESCE(" + r + ".subject, '') || char(10, 10) || COALESCE(" + r +
         ".from_email, '') || char(10, 10) || COALESCE(" + r +
         ".from_name, '') || char(10, 10) || CASE WHEN instr(" + r + ".text_body, " + r +
         ".preview) > 0 THEN '' ELSE COALESCE(" + r +
         ".preview, '') || char(10, 10) END || "
         "COALESCE(" +
         r + ".text_body, '') || char(10, 10))";
}

// Code points of valid UTF-8 without NUL, or nothing.
std::optional<std::vector<std::string_view>> characters(std::string_view text) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead == 0             ? 0
                          : lead < 0x80         ? 1
                          : (lead >> 5) == 0x6  ? 2
                          : (lead >> 4) == 0xE  ? 3
                          : (lead >> 3) == 0x1E ? 4
                                                : 0;
    if (length == 0 || i + length > text.size()) return std::nullopt;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return std::nullopt;
    out.push_back(text.substr(i, length));
    i += length;
  }
  return out;
}

char ascii_lower(char ch) {
  return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

// The text as a one-token query phrase, folded as the indexed text is.
std::string phrase(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    if (ch == '"') out += '"';
    out += ascii_lower(ch);
  }
  return out + '"';
}

// Trigrams that cover every character of the run, each a one-token phrase: every third one
// and the last. The index holds no positions, so rows holding all of them are a superset of
// the rows holding the run, which the caller's LIKE conditions then narrow; the overlapping
// ones in between would narrow it hardly further, and the index reads a row list per trigram
// (common ones are long: ".co" and "com" are in most rows).
constexpr size_t kMaxTrigrams = 48;

void add_trigrams(const std::vector<std::string_view>& run, std::string& query, size_t& count) {
  if (run.size() < 3) return;
  const size_t last = run.size() - 3;
  for (size_t i = 0; count < kMaxTrigrams; i = std::min(i + 3, last)) {
    const char* begin = run[i].data();
    const char* end = run[i + 2].data() + run[i + 2].size();
    if (!query.empty()) query += ' ';
    query += phrase(std::string_view(begin, static_cast<size_t>(end - begin)));
    ++count;
    if (i == last) break;
  }
}

}  // namespace

void create_search_index(Connection& c) {
  c.execute("CREATE TABLE IF NOT EXISTS email_search_queue (rowid INTEGER PRIMARY KEY)");
  const std::string not_queued = " NOT IN (SELECT rowid FROM email_search_queue)";
  // Each statement as sqlite_master keeps it, so that an index built by an earlier
  // definition (or none) is recognised and built again.
  struct Object {
    std::string_view kind, name;
    std::string sql;
  };
  const std::string table =
      "fts5(doc, content='', detail=none, tokenize='trigram case_sensitive 1')";
  const Object objects[] = {
      // Quoted as a renamed table's statement is kept (see below).
      {"TABLE", "email_search", "CREATE VIRTUAL TABLE \"email_search\" USING " + table},
      {"TABLE", "email_search_terms",
       "CREATE VIRTUAL TABLE email_search_terms USING fts5vocab(email_search, row)"},
      // INSERT OR REPLACE removes the row it replaces without running delete triggers, so
      // the row leaves the index (or the queue) before every insert that takes an existing id.
      {"TRIGGER", "email_search_before_insert",
       "CREATE TRIGGER email_search_before_insert BEFORE INSERT ON email_messages BEGIN INSERT "
       "INTO email_search(email_search, rowid, doc) SELECT 'delete', m.rowid, " +
           indexed_text("m") + " FROM email_messages m WHERE m.id = new.id AND m.rowid" +
           not_queued +
           "; DELETE FROM email_search_queue WHERE rowid IN (SELECT rowid FROM email_messages "
           "WHERE id = new.id); END"},
      {"TRIGGER", "email_search_after_insert",
       "CREATE TRIGGER email_search_after_insert AFTER INSERT ON email_messages BEGIN INSERT OR "
       "IGNORE INTO email_search_queue(rowid) VALUES (new.rowid); END"},
      {"TRIGGER", "email_search_after_delete",
       "CREATE TRIGGER email_search_after_delete AFTER DELETE ON email_messages BEGIN INSERT "
       "INTO email_search(email_search, rowid, doc) SELECT 'delete', old.rowid, " +
           indexed_text("old") + " WHERE old.rowid" + not_queued +
           "; DELETE FROM email_search_queue WHERE rowid = old.rowid; END"},
      {"TRIGGER", "email_search_after_update",
       "CREATE TRIGGER email_search_after_update AFTER UPDATE OF subject, from_email, "
       "from_name, preview, text_body ON email_messages WHEN (" +
           indexed_text("old") + ") IS NOT (" + indexed_text("new") +
           ") BEGIN INSERT INTO email_search(email_search, rowid, doc) SELECT 'delete', "
           "old.rowid, " +
           indexed_text("old") + " WHERE old.rowid" + not_queued +
           "; INSERT OR IGNORE INTO email_search_queue(rowid) VALUES (new.rowid); END"},
  };
  bool current = true;
  for (const auto& object : objects) {
    auto s = c.prepare("SELECT sql FROM sqlite_master WHERE name = ?");
    s.bind(1, object.name);
    current = current && s.step() && s.text(0) == object.sql;
  }
  if (current) return;
  // The new index is filled before the old one is dropped, so that the fill writes to new
  // pages rather than reusing the old index's freed ones, which would all go through the
  // statement journal.
  for (auto it = std::rbegin(objects); it != std::rend(objects); ++it)
    if (it->name != "email_search")
      c.execute("DROP " + std::string(it->kind) + " IF EXISTS " + std::string(it->name));
  const std::string fill =
      "(rowid, doc) SELECT m.rowid, " + indexed_text("m") + " FROM email_messages m";
  if (!c.table_exists("email_search")) {
    // Nothing to replace (a new file): made under its own name at once, since a rename makes
    // SQLite read the whole schema again.
    c.execute(objects[0].sql);
    c.execute("INSERT INTO email_search" + fill);
  } else {
    c.execute("CREATE VIRTUAL TABLE email_search_rebuilt USING " + table);
    c.execute("INSERT INTO email_search_rebuilt" + fill);
    c.execute("DROP TABLE IF EXISTS email_search");
    c.execute("ALTER TABLE email_search_rebuilt RENAME TO email_search");
  }
  c.execute("DELETE FROM email_search_queue");
  for (const auto& object : objects)
    if (object.name != "email_search") c.execute(object.sql);
}

bool has_queued_messages(Connection& c) {
  auto s = c.prepare("SELECT EXISTS (SELECT 1 FROM email_search_queue)");
  return s.step() && s.integer(0).value_or(0) != 0;
}

void index_queued_messages(Connection& c) {
  if (!has_queued_messages(c)) return;
  c.execute("INSERT INTO email_search(rowid, doc) SELECT m.rowid, " + indexed_text("m") +
            " FROM email_search_queue q JOIN email_messages m ON m.rowid = q.rowid");
  c.execute("DELETE FROM email_search_queue");
}

std::optional<std::string> literal_text_query(std::string_view literal) {
  const auto chars = characters(literal);
  if (!chars || chars->size() < 3) return std::nullopt;
  std::string query;
  size_t count = 0;
  add_trigrams(*chars, query, count);
  return query;
}

std::optional<std::string> like_pattern_query(std::string_view pattern) {
  const auto chars = characters(pattern);
  if (!chars) return std::nullopt;
  std::string query;
  size_t count = 0;
  std::vector<std::string_view> run;
  for (size_t i = 0; i <= chars->size(); ++i) {
    if (i < chars->size() && (*chars)[i] != "%" && (*chars)[i] != "_") {
      run.push_back((*chars)[i]);
      continue;
    }
    add_trigrams(run, query, count);
    run.clear();
  }
  if (query.empty()) return std::nullopt;
  return query;
}

std::optional<std::string> short_text_query(Connection& c, std::string_view text,
                                            size_t max_terms) {
  const auto chars = characters(text);
  if (!chars || chars->empty() || chars->size() > 2) return std::nullopt;
  std::string prefix;
  for (char ch : text) prefix += ascii_lower(ch);
  // The trigrams that start with the text: [prefix, prefix with its last byte raised).
  std::string upper = prefix;
  upper.back() = static_cast<char>(static_cast<unsigned char>(upper.back()) + 1);
  auto s = c.prepare("SELECT term FROM email_search_terms WHERE term >= ? AND term < ?");
  s.bind_all(prefix, upper);
  std::string query;
  size_t terms = 0;
  while (s.step()) {
    if (++terms > max_terms) return std::nullopt;
    if (!query.empty()) query += " OR ";
    query += phrase(s.text(0).value_or(""));
  }
  return query;
}

std::optional<double> newest_rows_start(Connection& c, const std::optional<std::string>& account,
                                        size_t rows) {
  if (rows == 0) return std::nullopt;
  auto s =
      c.prepare(account ? "SELECT date FROM email_messages INDEXED BY idx_messages_account_date "
                          "WHERE account_id = ? ORDER BY date DESC LIMIT 1 OFFSET ?"
                        : "SELECT date FROM email_messages INDEXED BY idx_messages_date "
                          "ORDER BY date DESC LIMIT 1 OFFSET ?");
  if (account)
    s.bind_all(*account, static_cast<int64_t>(rows - 1));
  else
    s.bind(1, static_cast<int64_t>(rows - 1));
  return s.step() ? s.real(0) : std::nullopt;
}

std::optional<int64_t> nth_search_match(Connection& c, const std::string& query, size_t nth) {
  if (nth == 0) return std::nullopt;
  auto s = c.prepare(
      "SELECT rowid FROM email_search WHERE email_search MATCH ? ORDER BY rowid LIMIT 1 OFFSET ?");
  s.bind_all(query, static_cast<int64_t>(nth - 1));
  return s.step() ? s.integer(0) : std::nullopt;
}

SearchPlan plan_search(Connection& c, const std::string& query,
                       const std::optional<std::string>& account, int64_t limit) {
  const auto nth = nth_search_match(c, query, kFewSearchCandidates);
  if (!nth) return {SearchPlan::Way::fewCandidates, std::nullopt};
  // Row ids grow with every stored message, so the share of rows holding the text is about
  // the share of the row ids up to its nth candidate.
  const double share = static_cast<double>(kFewSearchCandidates) /
                       static_cast<double>(std::max<int64_t>(*nth, kFewSearchCandidates));
  auto last = c.prepare("SELECT max(rowid) FROM email_messages");
  const double rows = static_cast<double>(last.step() ? last.integer(0).value_or(0) : 0);
  // Listing a candidate costs about a sixteenth of reading a row's text for LIKE: the newest
  // rows are worth looking through first when the page is likely among as many of them as
  // listing the candidates would cost, with room to spare.
  constexpr double kRowsPerCandidate = 1.0 / 16, kRoom = 1.5, kMostPages = 4;
  const double likely = static_cast<double>(std::max<int64_t>(limit, 1)) / share;
  const double affordable = share * rows * kRowsPerCandidate;
  if (likely * kRoom > affordable) return {SearchPlan::Way::dateWalk, std::nullopt};
  const auto newest = static_cast<size_t>(std::min(affordable, likely * kMostPages));
  return {SearchPlan::Way::newestFirst, newest_rows_start(c, account, newest)};
}

}  // namespace kestrova::store
