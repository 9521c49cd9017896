#include "store/search_index.h"

#include <cstdint>
#include <vector>

#include "store/database.h"

namespace kestrova::store {

namespace {

// The indexed text of one row, `row` being "new", "old" or a table alias. The same
// expression fills and empties the index: an index without a copy of the text removes a row
// only when it is handed exactly the text it indexed.
std::string indexed_text(std::string_view row) {
  std::string out;
  for (std::string_view column : {"subject", "from_email", "from_name", "preview", "text_body"}) {
    if (!out.empty()) out += " || ";
    out += "COALESCE(";
    out += row;
    out += '.';
    out += column;
    out += ", '') || char(10, 10)";
  }
  return out;
}

bool table_exists(Connection& c, std::string_view name) {
  auto s = c.prepare("SELECT 1 FROM sqlite_master WHERE name = ?");
  s.bind(1, name);
  return s.step();
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

uint32_t code_point(std::string_view ch) {
  const auto byte = [&](size_t k) {
    return static_cast<uint32_t>(static_cast<unsigned char>(ch[k]));
  };
  switch (ch.size()) {
    case 1:
      return byte(0);
    case 2:
      return (byte(0) & 0x1F) << 6 | (byte(1) & 0x3F);
    case 3:
      return (byte(0) & 0x0F) << 12 | (byte(1) & 0x3F) << 6 | (byte(2) & 0x3F);
    default:
      return (byte(0) & 0x07) << 18 | (byte(1) & 0x3F) << 12 | (byte(2) & 0x3F) << 6 |
             (byte(3) & 0x3F);
  }
}

// Characters the index stores as they are written, and ASCII (which LIKE folds the same way
// the index does): CJK ideographs, kana, Hangul and CJK punctuation have no letter case.
bool folds_like_like(uint32_t cp) {
  return cp < 0x80 || (cp >= 0x3000 && cp <= 0x30FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
         (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
         (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x20000 && cp <= 0x3FFFF);
}

std::string phrase(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    if (ch == '"') out += '"';
    out += ch;
  }
  return out + '"';
}

// Every trigram of the runs, each a one-token phrase; the index holds no positions, so rows
// holding all of them are a superset of the rows holding the runs, which the caller's LIKE
// conditions then narrow.
constexpr size_t kMaxTrigrams = 48;

void add_trigrams(const std::vector<std::string_view>& run, std::string& query, size_t& count) {
  for (size_t i = 0; i + 3 <= run.size() && count < kMaxTrigrams; ++i, ++count) {
    const char* begin = run[i].data();
    const char* end = run[i + 2].data() + run[i + 2].size();
    if (!query.empty()) query += ' ';
    query += phrase(std::string_view(begin, static_cast<size_t>(end - begin)));
  }
}

}  // namespace

void create_search_index(Connection& c) {
  const bool fresh = !table_exists(c, "email_search");
  c.execute(
      "CREATE VIRTUAL TABLE IF NOT EXISTS email_search USING fts5(doc, content='', "
      "detail=none, tokenize='trigram')");
  c.execute(
      "CREATE VIRTUAL TABLE IF NOT EXISTS email_search_terms USING fts5vocab(email_search, row)");
  c.execute("CREATE TABLE IF NOT EXISTS email_search_queue (rowid INTEGER PRIMARY KEY)");
  const std::string not_queued = " NOT IN (SELECT rowid FROM email_search_queue)";
  // INSERT OR REPLACE removes the row it replaces without running delete triggers, so the
  // row leaves the index (or the queue) before every insert that takes an existing id.
  c.execute(
      "CREATE TRIGGER IF NOT EXISTS email_search_before_insert BEFORE INSERT ON email_messages "
      "BEGIN INSERT INTO email_search(email_search, rowid, doc) SELECT 'delete', m.rowid, " +
      indexed_text("m") + " FROM email_messages m WHERE m.id = new.id AND m.rowid" + not_queued +
      "; DELETE FROM email_search_queue WHERE rowid IN (SELECT rowid FROM email_messages WHERE "
      "id = new.id); END");
  c.execute(
      "CREATE TRIGGER IF NOT EXISTS email_search_after_insert AFTER INSERT ON email_messages "
      "BEGIN INSERT OR IGNORE INTO email_search_queue(rowid) VALUES (new.rowid); END");
  c.execute(
      "CREATE TRIGGER IF NOT EXISTS email_search_after_delete AFTER DELETE ON email_messages "
      "BEGIN INSERT INTO email_search(email_search, rowid, doc) SELECT 'delete', old.rowid, " +
      indexed_text("old") + " WHERE old.rowid" + not_queued +
      "; DELETE FROM email_search_queue WHERE rowid = old.rowid; END");
  c.execute(
      "CREATE TRIGGER IF NOT EXISTS email_search_after_update AFTER UPDATE OF subject, "
      "from_email, from_name, preview, text_body ON email_messages WHEN (" +
      indexed_text("old") + ") IS NOT (" + indexed_text("new") +
      ") BEGIN INSERT INTO email_search(email_search, rowid, doc) SELECT 'delete', old.rowid, " +
      indexed_text("old") + " WHERE old.rowid" + not_queued +
      "; INSERT OR IGNORE INTO email_search_queue(rowid) VALUES (new.rowid); END");
  if (fresh)
    c.execute("INSERT INTO email_search(rowid, doc) SELECT m.rowid, " + indexed_text("m") +
              " FROM email_messages m");
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
  for (auto ch : *chars) {
    if (!folds_like_like(code_point(ch))) return std::nullopt;
    for (char b : ch) prefix += (b >= 'A' && b <= 'Z') ? static_cast<char>(b - 'A' + 'a') : b;
  }
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

size_t count_search_matches(Connection& c, const std::string& query, size_t cap) {
  auto s = c.prepare(
      "SELECT COUNT(*) FROM (SELECT 1 FROM email_search WHERE email_search MATCH ? LIMIT ?)");
  s.bind_all(query, static_cast<int64_t>(cap));
  return s.step() ? static_cast<size_t>(s.integer(0).value_or(0)) : 0;
}

}  // namespace kestrova::store
