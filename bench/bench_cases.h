#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "util/c_free.h"
#include "util/json.h"

namespace kestrova::bench {

// The read tools measured by the benchmarks, each with the SQL statements the tool runs for
// that request and the values it binds, so the same work can be timed on SQLite directly.

using SqlValue = std::variant<int64_t, std::string>;

struct RawStatement {
  std::string sql;
  std::vector<SqlValue> values;
  // Rows to step at most; 0 steps them all. For a tool that stops reading once it has
  // enough rows, so both sides read the same rows.
  int64_t max_rows = 0;
};

struct BenchCase {
  std::string label;     // what the table shows
  std::string tool;      // the tool name
  Json arguments;        // tools/call arguments
  std::vector<RawStatement> statements;  // empty for tools that touch no SQL
  int max_iterations = 1000;
};

using DatabaseHandle = CHandle<sqlite3, &sqlite3_close>;
using StatementHandle = CHandle<sqlite3_stmt, &sqlite3_finalize>;

// Opens `file` the way the program does (read-write, serialised, foreign keys on, SQLite's
// defaults otherwise). Throws std::runtime_error.
DatabaseHandle open_database(const std::filesystem::path& file);

// The cases, with ids (account, folders, a message, a tag) picked from the database at
// `file`. Throws std::runtime_error when the database lacks what a case needs.
std::vector<BenchCase> make_cases(const std::filesystem::path& file);

// The JSON-RPC line (without "\n") that calls the case's tool.
std::string request_line(const BenchCase& c, int64_t id);

// A case's statements prepared once on one connection. run() binds, steps every row, reads
// every column and resets, like the tool does minus the JSON. Not thread-safe.
class RawQuery {
 public:
  RawQuery(sqlite3* db, const BenchCase& c);
  // Returns a checksum of what was read, so the reads cannot be optimised away.
  uint64_t run();

 private:
  struct Prepared {
    StatementHandle statement;
    std::vector<SqlValue> values;
    int64_t max_rows;
  };
  sqlite3* db_;
  std::vector<Prepared> prepared_;
};

}  // namespace kestrova::bench
