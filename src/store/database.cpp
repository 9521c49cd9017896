#include "store/database.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/paths.h"
#include "store/schema.h"
#include "store/search_index.h"
#include "util/localization.h"
#include "util/log.h"

namespace kestrova::store {

namespace {

std::string describe_sqlite(int code, const std::string& message) {
  return "SQLite error " + std::to_string(code) + ": " + message;
}

// Statement journals (the undo record of one statement inside a transaction, never used for
// crash recovery) stay in memory. SQLite's 64 KiB default is smaller than what one message
// insert touches (the table and its fourteen indexes), so every insert of a batch wrote its
// pages to a temporary file. They are never spilled (-1) rather than spilled above a larger
// size: SQLite 3.40 keeps a journal with a spill size as one block of that size and writes it
// to the file in a single call, which its file layer cuts to 128 KiB, so any spill size above
// that failed the statement with "database or disk is full". A statement journal holds only
// the pages one statement changes that the transaction had already changed, so it stays
// small. Process-wide, set before SQLite initialises; when something else initialised it
// first the default simply stays.
constexpr int kStatementJournalInMemory = -1;

void configure_sqlite_once() {
  static const bool configured = [] {
    return sqlite3_config(SQLITE_CONFIG_STMTJRNL_SPILL, kStatementJournalInMemory) == SQLITE_OK;
  }();
  (void)configured;
}

// How long a statement waits for a lock another process holds (the CLI, the tool server and
// the service share the file) before it fails with SQLITE_BUSY.
constexpr int kBusyTimeoutMs = 10'000;

// Mail is private: the database is created readable by its owner only, and a file (or a
// rollback journal left by a crash) found with wider permissions is narrowed on open.
// SQLite gives every journal it creates the database file's permissions.
constexpr mode_t kPrivateFileMode = 0600;

void make_private(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) {
    if (errno == ENOENT) return;
    throw DatabaseError(SQLITE_CANTOPEN, file.string() + ": " + std::strerror(errno));
  }
  struct stat st {};
  const bool wider = ::fstat(fd, &st) == 0 && (st.st_mode & 077) != 0;
  const bool narrowed = !wider || ::fchmod(fd, kPrivateFileMode) == 0;
  const int error = errno;
  ::close(fd);
  if (!narrowed)
    log_line(log_kind::kWarning, "EmailDatabase",
             "无法把 " + file.string() + " 设为仅本人可读写: " + std::strerror(error));
}

void narrow_if_present(const std::filesystem::path& file) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & 077) == 0) return;
  if (::chmod(file.c_str(), kPrivateFileMode) != 0)
    log_line(log_kind::kWarning, "EmailDatabase",
             "无法把 " + file.string() + " 设为仅本人可读写: " + std::strerror(errno));
}

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

}  // namespace

DatabaseError::DatabaseError(int code, const std::string& message)
    : Error(describe_sqlite(code, message)), code_(code) {}

EmailDatabaseError::EmailDatabaseError(Kind kind)
    : Error(localized(kind == Kind::notInitialized ? "store.error.not_initialized"
                                                   : "store.error.invalid_data")),
      kind_(kind) {}

// A compiled statement kept by the connection, with its result column names.
struct Statement::Cached {
  sqlite3_stmt* stmt = nullptr;
  bool in_use = false;
  std::unordered_map<std::string, int, StringHash, std::equal_to<>> columns;
  bool columns_read = false;
  ~Cached() { sqlite3_finalize(stmt); }
};

// ---- Statement ----

Statement::Statement(Connection* connection, Cached* cached, sqlite3_stmt* owned)
    : connection_(connection), cached_(cached), owned_(owned) {}

Statement::Statement(Statement&& other) noexcept
    : connection_(other.connection_), cached_(other.cached_), owned_(other.owned_) {
  other.cached_ = nullptr;
  other.owned_ = nullptr;
}

Statement::~Statement() {
  if (owned_) sqlite3_finalize(owned_);
  if (cached_) {
    sqlite3_reset(cached_->stmt);
    sqlite3_clear_bindings(cached_->stmt);
    cached_->in_use = false;
  }
}

sqlite3_stmt* Statement::handle() const { return owned_ ? owned_ : cached_->stmt; }

Statement& Statement::bind(int index, std::nullopt_t) {
  if (int rc = sqlite3_bind_null(handle(), index); rc != SQLITE_OK) connection_->throw_error(rc);
  return *this;
}

Statement& Statement::bind(int index, int64_t value) {
  if (int rc = sqlite3_bind_int64(handle(), index, value); rc != SQLITE_OK)
    connection_->throw_error(rc);
  return *this;
}

Statement& Statement::bind(int index, double value) {
  if (int rc = sqlite3_bind_double(handle(), index, value); rc != SQLITE_OK)
    connection_->throw_error(rc);
  return *this;
}

Statement& Statement::bind(int index, std::string_view value) {
  int rc = sqlite3_bind_text64(handle(), index, value.data(), value.size(), SQLITE_TRANSIENT,
                               SQLITE_UTF8);
  if (rc != SQLITE_OK) connection_->throw_error(rc);
  return *this;
}

Statement& Statement::bind(int index, Blob value) {
  int rc = sqlite3_bind_blob64(handle(), index, value.bytes.data(), value.bytes.size(),
                               SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) connection_->throw_error(rc);
  return *this;
}

bool Statement::step() {
  int rc = sqlite3_step(handle());
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  connection_->throw_error(rc);
}

void Statement::run() {
  while (step()) {
  }
}

int Statement::column_count() const { return sqlite3_column_count(handle()); }

int Statement::column_index(std::string_view name) const {
  if (cached_) {
    if (!cached_->columns_read) {
      const int n = sqlite3_column_count(cached_->stmt);
      for (int i = 0; i < n; ++i) cached_->columns.emplace(sqlite3_column_name(cached_->stmt, i), i);
      cached_->columns_read = true;
    }
    auto it = cached_->columns.find(name);
    return it == cached_->columns.end() ? -1 : it->second;
  }
  const int n = sqlite3_column_count(owned_);
  for (int i = 0; i < n; ++i)
    if (name == sqlite3_column_name(owned_, i)) return i;
  return -1;
}

int Statement::index_or_throw(std::string_view name) const {
  int i = column_index(name);
  if (i < 0) throw DatabaseError(SQLITE_RANGE, "no such column in result: " + std::string(name));
  return i;
}

ColumnType Statement::type(int index) const {
  switch (sqlite3_column_type(handle(), index)) {
    case SQLITE_INTEGER:
      return ColumnType::Integer;
    case SQLITE_FLOAT:
      return ColumnType::Real;
    case SQLITE_TEXT:
      return ColumnType::Text;
    case SQLITE_BLOB:
      return ColumnType::Blob;
    default:
      return ColumnType::Null;
  }
}

ColumnType Statement::type(std::string_view name) const {
  int i = column_index(name);
  return i < 0 ? ColumnType::Null : type(i);
}

std::optional<std::string_view> Statement::text_view(int index) const {
  // Two calls per value, not three: each takes the connection's lock, and readers step
  // through thousands of rows. A BLOB reads as its bytes (the text form only adds a
  // terminator); no pointer means NULL, or a value without bytes.
  sqlite3_stmt* s = handle();
  const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(s, index));
  if (!data) {
    if (sqlite3_column_type(s, index) == SQLITE_NULL) return std::nullopt;
    return std::string_view();
  }
  return std::string_view(data, static_cast<size_t>(sqlite3_column_bytes(s, index)));
}

std::optional<std::string_view> Statement::text_view(std::string_view name) const {
  int i = column_index(name);
  return i < 0 ? std::nullopt : text_view(i);
}

std::optional<std::string> Statement::text(int index) const {
  auto view = text_view(index);
  if (!view) return std::nullopt;
  return std::string(*view);
}

std::optional<std::string> Statement::text(std::string_view name) const {
  int i = column_index(name);
  return i < 0 ? std::nullopt : text(i);
}

std::optional<int64_t> Statement::integer(int index) const {
  if (sqlite3_column_type(handle(), index) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(handle(), index);
}

std::optional<int64_t> Statement::integer(std::string_view name) const {
  int i = column_index(name);
  return i < 0 ? std::nullopt : integer(i);
}

std::optional<double> Statement::real(int index) const {
  if (sqlite3_column_type(handle(), index) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_double(handle(), index);
}

std::optional<double> Statement::real(std::string_view name) const {
  int i = column_index(name);
  return i < 0 ? std::nullopt : real(i);
}

// ---- Connection ----

Connection::Connection(const std::filesystem::path& file) {
  configure_sqlite_once();
  make_private(file);  // an empty file is an empty database
  narrow_if_present(file.string() + "-journal");
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
  int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw DatabaseError(rc, message);
  }
  sqlite3_extended_result_codes(db_, 0);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  try {
    execute("PRAGMA foreign_keys = ON");
  } catch (...) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw;
  }
}

Connection::~Connection() {
  cache_.clear();  // finalize every statement before closing
  sqlite3_close(db_);
}

void Connection::throw_error(int code) const { throw DatabaseError(code, sqlite3_errmsg(db_)); }

namespace {
// Compiled statements a connection keeps at most.
constexpr size_t kMaxCachedStatements = 512;
}  // namespace

Statement Connection::prepare(std::string_view sql) {
  auto it = cache_.find(std::string(sql));
  if (it == cache_.end()) {
    // Searches and filters build their SQL from what the user typed, so the texts seen over
    // a long run have no end; when the cache is full the statements not in use go (the
    // program's fixed ones come back on their next use).
    if (cache_.size() >= kMaxCachedStatements)
      std::erase_if(cache_, [](const auto& entry) { return !entry.second->in_use; });
    auto cached = std::make_unique<Statement::Cached>();
    int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &cached->stmt, nullptr);
    if (rc != SQLITE_OK) throw_error(rc);
    it = cache_.emplace(std::string(sql), std::move(cached)).first;
  }
  Statement::Cached* cached = it->second.get();
  if (!cached->in_use) {
    cached->in_use = true;
    return Statement(this, cached, nullptr);
  }
  // The cached statement is still stepping (a nested use of the same SQL): use a one-off.
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &stmt, nullptr);
  if (rc != SQLITE_OK) throw_error(rc);
  return Statement(this, nullptr, stmt);
}

void Connection::execute(std::string_view sql) {
  std::string text(sql);
  char* error = nullptr;
  int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    throw DatabaseError(rc, message);
  }
}

int64_t Connection::changes() const { return sqlite3_changes64(db_); }

bool Connection::table_exists(std::string_view table) {
  auto s = prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  s.bind(1, table);
  return s.step();
}

bool Connection::index_exists(std::string_view index) {
  auto s = prepare("SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?");
  s.bind(1, index);
  return s.step();
}

std::set<std::string> Connection::column_names(std::string_view table) {
  auto s = prepare("SELECT name FROM pragma_table_info(?)");
  s.bind(1, table);
  std::set<std::string> names;
  while (s.step()) names.insert(s.text(0).value_or(""));
  return names;
}

// ---- EmailDatabase ----

EmailDatabase::EmailDatabase(std::filesystem::path path) : path_(std::move(path)) { try_open(); }

void EmailDatabase::try_open() {
  try {
    // The mail is the user's alone: the folder is 0700 whatever the umask.
    platform::ensure_private_directory(path_.parent_path());
    auto connection = std::make_unique<Connection>(path_);
    // A current schema is only read, so a process that starts while another one writes
    // neither waits for nor blocks it.
    if (!schema_is_current(*connection)) {
      connection->execute("BEGIN IMMEDIATE");
      try {
        // Another process may have built it while this one waited for the lock.
        if (!schema_is_current(*connection)) build_schema(*connection);
        connection->execute("COMMIT");
      } catch (...) {
        try {
          connection->execute("ROLLBACK");
        } catch (...) {
        }
        throw;
      }
    }
    connection_ = std::move(connection);
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, "EmailDatabase", std::string("初始化数据库失败: ") + e.what());
    connection_.reset();
  }
}

EmailDatabase::~EmailDatabase() = default;

std::filesystem::path EmailDatabase::default_path() { return path_in(platform::data_home()); }

std::filesystem::path EmailDatabase::path_in(const std::filesystem::path& dataHome) {
  return dataHome / "tivra" / "Email" / "email.db";
}

EmailDatabase& EmailDatabase::shared() {
  static EmailDatabase* instance = new EmailDatabase(default_path());  // lives until exit
  return *instance;
}

std::unique_ptr<EmailDatabase> EmailDatabase::open(const std::filesystem::path& file) {
  return std::unique_ptr<EmailDatabase>(new EmailDatabase(file));
}

bool EmailDatabase::is_open() {
  std::lock_guard lock(mutex_);
  if (!connection_) try_open();
  return connection_ != nullptr;
}

Connection& EmailDatabase::connection_or_throw() {
  if (!connection_) try_open();  // what failed (a lock, a missing directory) may be gone now
  if (!connection_) throw EmailDatabaseError(EmailDatabaseError::Kind::notInitialized);
  return *connection_;
}

void EmailDatabase::optimize() {
  read([](Connection& c) { c.execute("PRAGMA optimize"); });
  log_line(log_kind::kSuccess, "EmailDatabase", "PRAGMA optimize 完成");
}

void EmailDatabase::vacuum() {
  read([](Connection& c) { c.execute("VACUUM"); });
  log_line(log_kind::kSuccess, "EmailDatabase", "VACUUM 完成");
}

EmailDatabase::Transaction::Transaction(EmailDatabase& owner, Connection& c)
    : owner_(owner), connection_(c) {
  connection_.execute("BEGIN IMMEDIATE");
  ++owner_.write_depth_;
}

EmailDatabase::Transaction::~Transaction() {
  --owner_.write_depth_;
  if (done_) return;
  try {
    connection_.execute("ROLLBACK");
  } catch (...) {
  }
}

void EmailDatabase::Transaction::commit() {
  index_queued_messages(connection_);
  connection_.execute("COMMIT");
  done_ = true;
}

EmailDatabase::Snapshot::Snapshot(EmailDatabase& owner, Connection& c)
    : owner_(owner), connection_(c) {
  connection_.execute("BEGIN");
  ++owner_.snapshot_depth_;
}

EmailDatabase::Snapshot::~Snapshot() {
  --owner_.snapshot_depth_;
  try {
    connection_.execute("COMMIT");  // nothing was written: this only releases the lock
  } catch (...) {
    try {
      connection_.execute("ROLLBACK");
    } catch (...) {
    }
  }
}

}  // namespace kestrova::store
