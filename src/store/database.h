#pragma once

#include <cstdint>
#include <filesystem>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "util/error.h"

struct sqlite3;
struct sqlite3_stmt;

namespace kestrova::store {

// A failure reported by SQLite itself. The description is "SQLite error N: message".
class DatabaseError : public Error {
 public:
  DatabaseError(int code, const std::string& message);
  int code() const noexcept { return code_; }

 private:
  int code_;
};

// The database owner's own failures.
class EmailDatabaseError : public Error {
 public:
  enum class Kind { notInitialized, invalidData };
  explicit EmailDatabaseError(Kind kind);
  Kind kind() const noexcept { return kind_; }

 private:
  Kind kind_;
};

// Bytes bound as a BLOB value (JSON lists of the full message write go in as blobs).
struct Blob {
  std::string_view bytes;
};

enum class ColumnType { Integer, Real, Text, Blob, Null };

class Connection;

// One prepared statement. Statements come from Connection::prepare, which hands out the
// cached compiled statement for the SQL text; destroying the Statement resets it and
// clears its bindings so the next user starts clean. Move-only; not thread-safe (it is
// used inside one read or write block).
class Statement {
 public:
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&&) = delete;
  Statement(const Statement&) = delete;
  ~Statement();

  // Positional binding, 1-based. An empty optional binds NULL.
  Statement& bind(int index, std::nullopt_t);
  Statement& bind(int index, int64_t value);
  Statement& bind(int index, int value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, uint32_t value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, bool value) { return bind(index, static_cast<int64_t>(value)); }
  Statement& bind(int index, double value);
  Statement& bind(int index, std::string_view value);
  Statement& bind(int index, const std::string& value) { return bind(index, std::string_view(value)); }
  Statement& bind(int index, const char* value) { return bind(index, std::string_view(value)); }
  Statement& bind(int index, Blob value);
  template <typename T>
  Statement& bind(int index, const std::optional<T>& value) {
    if (!value) return bind(index, std::nullopt);
    return bind(index, *value);
  }
  // Binds every argument in order, starting at position 1.
  template <typename... Args>
  Statement& bind_all(const Args&... args) {
    int index = 1;
    (bind(index++, args), ...);
    return *this;
  }

  // Advances to the next row; false when the statement is done.
  bool step();
  // Runs the statement to completion, ignoring rows.
  void run();

  // Columns of the current row, by name (as the result names them) or index.
  int column_count() const;
  // -1 when the result has no such column.
  int column_index(std::string_view name) const;
  ColumnType type(int index) const;
  ColumnType type(std::string_view name) const;
  bool is_null(std::string_view name) const { return type(name) == ColumnType::Null; }
  // TEXT and BLOB values as bytes; INTEGER and REAL rendered as text; NULL gives nothing.
  std::optional<std::string> text(int index) const;
  std::optional<std::string> text(std::string_view name) const;
  // The same bytes without a copy, for readers of many rows: valid until the next step or
  // reset, or until the column is read as another type.
  std::optional<std::string_view> text_view(int index) const;
  std::optional<std::string_view> text_view(std::string_view name) const;
  std::optional<int64_t> integer(int index) const;
  std::optional<int64_t> integer(std::string_view name) const;
  std::optional<double> real(int index) const;
  std::optional<double> real(std::string_view name) const;

 private:
  friend class Connection;
  struct Cached;
  Statement(Connection* connection, Cached* cached, sqlite3_stmt* owned);
  sqlite3_stmt* handle() const;
  int index_or_throw(std::string_view name) const;

  Connection* connection_;
  Cached* cached_;       // borrowed from the connection's cache, or null
  sqlite3_stmt* owned_;  // a one-off statement when the cached one was busy
};

// One SQLite connection with foreign keys on and SQLite's defaults otherwise, apart from a
// busy timeout of 10 s: the CLI, the tool server and the service share the file, and a
// statement that meets another process's lock waits for it instead of failing at once.
// Opening creates the file readable by its owner only and narrows a database or journal
// found with wider permissions. Reached only through EmailDatabase::read/write, which
// serialise all access.
class Connection {
 public:
  explicit Connection(const std::filesystem::path& file);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The compiled statement for `sql`, prepared on first use and reused afterwards.
  Statement prepare(std::string_view sql);
  // Runs one or more statements without results (schema, transactions, pragmas).
  void execute(std::string_view sql);
  int64_t changes() const;

  bool table_exists(std::string_view table);
  bool index_exists(std::string_view index);
  std::set<std::string> column_names(std::string_view table);

  [[noreturn]] void throw_error(int code) const;

 private:
  friend class Statement;
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, std::unique_ptr<Statement::Cached>> cache_;
};

// The process-wide owner of the mail database. Holds one connection; every read and write
// block runs under one lock, so access from any thread is serialised. Thread-safe.
class EmailDatabase {
 public:
  // The shared instance on the user's database file, created (and the schema built when it
  // is not current) on first use. A file that cannot be opened leaves an instance without a
  // connection; every later read or write tries to open it again.
  static EmailDatabase& shared();
  // An owner on another file (tests, benchmarks, tools).
  static std::unique_ptr<EmailDatabase> open(const std::filesystem::path& file);
  // $XDG_DATA_HOME/tivra/Email/email.db (~/.local/share when unset).
  static std::filesystem::path default_path();
  // The database file under a data folder (default_path() is path_in(data_home())).
  static std::filesystem::path path_in(const std::filesystem::path& dataHome);

  ~EmailDatabase();

  const std::filesystem::path& db_path() const { return path_; }
  // Whether there is a connection; when there is none yet, opening is tried again first
  // (what failed before, a lock or a missing directory, may be gone now).
  bool is_open();

  // Runs block(Connection&) serialised with all other access. Throws
  // EmailDatabaseError(notInitialized) when there is no connection and opening again fails.
  template <typename F>
  auto read(F&& block) -> std::invoke_result_t<F, Connection&> {
    std::lock_guard lock(mutex_);
    return std::forward<F>(block)(connection_or_throw());
  }

  // Runs block(Connection&) like read, inside one read transaction, for a block that runs
  // many statements and only reads: the file's shared lock is taken (and the file checked for
  // changes) once instead of once per statement, and every statement sees the same state of
  // the file. Inside a write or another snapshot it joins that transaction.
  template <typename F>
  auto read_snapshot(F&& block) -> std::invoke_result_t<F, Connection&> {
    std::lock_guard lock(mutex_);
    Connection& c = connection_or_throw();
    if (write_depth_ > 0 || snapshot_depth_ > 0) return std::forward<F>(block)(c);
    Snapshot snapshot(*this, c);
    return std::forward<F>(block)(c);
  }

  // Runs block(Connection&) in one write transaction: committed when the block returns,
  // rolled back when it throws (the error reaches the caller unchanged). A write inside a
  // write joins the outer transaction.
  template <typename F>
  auto write(F&& block) -> std::invoke_result_t<F, Connection&> {
    std::lock_guard lock(mutex_);
    Connection& c = connection_or_throw();
    if (write_depth_ > 0) return std::forward<F>(block)(c);
    Transaction tx(*this, c);
    if constexpr (std::is_void_v<std::invoke_result_t<F, Connection&>>) {
      std::forward<F>(block)(c);
      tx.commit();
    } else {
      auto result = std::forward<F>(block)(c);
      tx.commit();
      return result;
    }
  }

  template <typename F>
  auto read_async(F block) {
    return std::async(std::launch::async, [this, block = std::move(block)]() mutable {
      return read(block);
    });
  }
  template <typename F>
  auto write_async(F block) {
    return std::async(std::launch::async, [this, block = std::move(block)]() mutable {
      return write(block);
    });
  }

  void optimize();
  void vacuum();

 private:
  explicit EmailDatabase(std::filesystem::path path);
  // Opens the file and builds the schema when it is not current; logs a failure and leaves
  // connection_ empty. Caller holds mutex_ (or is the constructor).
  void try_open();
  Connection& connection_or_throw();

  // Rolls back unless committed; never throws from the destructor.
  class Transaction {
   public:
    Transaction(EmailDatabase& owner, Connection& c);
    ~Transaction();
    void commit();

   private:
    EmailDatabase& owner_;
    Connection& connection_;
    bool done_ = false;
  };

  // A read transaction, ended when it goes out of scope; never throws from the destructor.
  class Snapshot {
   public:
    Snapshot(EmailDatabase& owner, Connection& c);
    ~Snapshot();

   private:
    EmailDatabase& owner_;
    Connection& connection_;
  };

  std::filesystem::path path_;
  std::unique_ptr<Connection> connection_;
  std::recursive_mutex mutex_;
  int write_depth_ = 0;
  int snapshot_depth_ = 0;
};

}  // namespace kestrova::store
