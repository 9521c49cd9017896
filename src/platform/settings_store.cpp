#include "platform/settings_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>

#include "platform/paths.h"
#include "util/error.h"
#include "util/file.h"
#include "util/log.h"

namespace kestrova::platform {

SettingsStore& SettingsStore::shared() {
  static SettingsStore* instance = new SettingsStore(default_path());  // lives until exit
  return *instance;
}

std::filesystem::path SettingsStore::default_path() { return path_in(config_home()); }

std::filesystem::path SettingsStore::path_in(const std::filesystem::path& configHome) {
  return configHome / "kestrova" / "settings.json";
}

SettingsStore::SettingsStore(std::filesystem::path file) : path_(std::move(file)) {}

namespace {

// The coarsest file-time granularity we allow for (FAT and some network file systems keep
// two seconds); on local Linux file systems it is one clock tick.
constexpr int64_t kTimestampSlackNs = 2'000'000'000;

int64_t now_ns() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

int64_t to_ns(const timespec& ts) { return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec; }

// Serialises read-modify-write cycles of every process (and every SettingsStore instance)
// on the same file. The lock is on a sidecar file because the settings file itself is
// replaced by rename at every write. Without a lock file the write goes ahead unguarded.
class SidecarLock {
 public:
  explicit SidecarLock(const std::filesystem::path& settings_file) {
    ensure_private_directory(settings_file.parent_path());
    std::filesystem::path lock_file = settings_file;
    lock_file += ".lock";
    fd_ = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~SidecarLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }
  SidecarLock(const SidecarLock&) = delete;
  SidecarLock& operator=(const SidecarLock&) = delete;

 private:
  int fd_ = -1;
};

bool is_blank(const std::string& content) {
  return content.find_first_not_of(" \t\r\n") == std::string::npos;
}

// Renames `file` to "<file>.damaged-YYYYMMDD-HHMMSS" (with "-2", "-3", ... when that name
// is taken, so that no earlier copy is ever replaced). The new name, or nothing.
std::optional<std::filesystem::path> rename_aside(const std::filesystem::path& file) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  for (int attempt = 1; attempt <= 100; ++attempt) {
    std::filesystem::path aside = file;
    aside += ".damaged-" + std::string(stamp) + (attempt > 1 ? "-" + std::to_string(attempt) : "");
    if (::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0)
      return aside;
    if (errno != EEXIST) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::optional<SettingsStore::FileStamp> SettingsStore::stamp_of(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return FileStamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                   static_cast<uint64_t>(st.st_size), to_ns(st.st_mtim), to_ns(st.st_ctim)};
}

void SettingsStore::reload_if_changed(bool holding_file_lock) {
  const auto stamp = stamp_of(path_);
  if (!stamp) {
    values_ = Json::object();
    loaded_stamp_.reset();
    loaded_content_.clear();
    damaged_in_place_ = false;
    loaded_ = true;
    return;
  }
  // The same identity proves the same content only once the loaded copy was confirmed
  // later than a rewrite could still share the file's modification time.
  if (loaded_ && loaded_stamp_ == stamp && verified_at_ns_ - stamp->modified_ns > kTimestampSlackNs)
    return;
  const int64_t checked_at = now_ns();  // taken before reading: a later write is not covered
  const std::string content = read_file(path_).value_or(std::string());
  if (!loaded_ || content != loaded_content_) {
    restrict_file_to_owner(path_);
    Json parsed = Json::parse(content, nullptr, false);
    if (!parsed.is_object() && !is_blank(content)) {
      values_ = Json::object();
      set_aside_damaged(content, holding_file_lock);
      return;
    }
    values_ = parsed.is_object() ? std::move(parsed) : Json::object();
    loaded_content_ = content;
    damaged_in_place_ = false;
  }
  loaded_stamp_ = stamp;
  verified_at_ns_ = checked_at;
  loaded_ = true;
}

void SettingsStore::set_aside_damaged(const std::string& content, bool holding_file_lock) {
  // Under the sidecar lock, and only while the file still holds what was read: another
  // process may have set it aside and written a good file meanwhile.
  std::optional<SidecarLock> file_lock;
  if (!holding_file_lock) file_lock.emplace(path_);
  if (read_file(path_) != content) {
    loaded_ = false;
    reload_if_changed(/*holding_file_lock=*/true);  // the lock is held by now either way
    return;
  }
  if (const auto aside = rename_aside(path_)) {
    log_line(log_kind::kWarning, "Settings",
             "设置文件无法解析，已改名保留为 " + aside->string() + "，现使用默认设置");
    loaded_stamp_.reset();
    loaded_content_.clear();
    damaged_in_place_ = false;
  } else {
    const std::string reason = std::strerror(errno);
    log_line(log_kind::kFailure, "Settings",
             "设置文件无法解析，也无法改名保留 (" + reason + "): " + path_.string() +
                 "；修复或移走它之前不会写入设置");
    loaded_stamp_ = stamp_of(path_);
    loaded_content_ = content;
    verified_at_ns_ = now_ns();
    damaged_in_place_ = true;
  }
  loaded_ = true;
}

std::optional<Json> SettingsStore::value(std::string_view key) {
  std::lock_guard lock(mutex_);
  reload_if_changed();
  auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

std::optional<bool> SettingsStore::boolean(std::string_view key) {
  auto v = value(key);
  if (!v || !v->is_boolean()) return std::nullopt;
  return v->get<bool>();
}

std::optional<int64_t> SettingsStore::integer(std::string_view key) {
  auto v = value(key);
  if (!v || !v->is_number()) return std::nullopt;
  if (v->is_number_integer()) return v->get<int64_t>();
  const double d = v->get<double>();
  if (!std::isfinite(d) || std::floor(d) != d || std::fabs(d) > 9.2e18) return std::nullopt;
  return static_cast<int64_t>(d);
}

std::optional<double> SettingsStore::real(std::string_view key) {
  auto v = value(key);
  if (!v || !v->is_number()) return std::nullopt;
  return v->get<double>();
}

std::optional<std::string> SettingsStore::string(std::string_view key) {
  auto v = value(key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::optional<std::vector<std::string>> SettingsStore::string_list(std::string_view key) {
  auto v = value(key);
  if (!v || !v->is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const auto& item : *v) {
    if (!item.is_string()) return std::nullopt;
    out.push_back(item.get<std::string>());
  }
  return out;
}

Json SettingsStore::all() {
  std::lock_guard lock(mutex_);
  reload_if_changed();
  return values_;
}

void SettingsStore::write_file() {
  if (damaged_in_place_) throw Error("设置文件已损坏且无法改名保留，未写入: " + path_.string());
  ensure_private_directory(path_.parent_path());
  const int64_t written_at = now_ns();
  const std::string content = values_.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  std::filesystem::path temp = path_;
  temp += ".tmp-" + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw Error("无法写入设置文件: " + std::string(std::strerror(errno)));
  ::fchmod(fd, 0600);  // a leftover temporary file keeps its old mode through O_CREAT
  size_t written = 0;
  while (written < content.size()) {
    ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int saved = errno;
      ::close(fd);
      ::unlink(temp.c_str());
      throw Error("无法写入设置文件: " + std::string(std::strerror(saved)));
    }
    written += static_cast<size_t>(n);
  }
  ::fsync(fd);
  ::close(fd);
  if (::rename(temp.c_str(), path_.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temp.c_str());
    throw Error("无法写入设置文件: " + std::string(std::strerror(saved)));
  }
  loaded_content_ = content;
  loaded_stamp_ = stamp_of(path_);
  verified_at_ns_ = written_at;
}

// Applies `apply` to the values under both locks, after picking up any change on disk so
// that keys written by another process meanwhile are kept. `apply` returns false when it
// changed nothing; then nothing is written and no observer is called.
template <class Change>
void SettingsStore::change(std::string_view key, Change apply) {
  {
    std::lock_guard lock(mutex_);
    SidecarLock file_lock(path_);
    reload_if_changed(/*holding_file_lock=*/true);
    Json previous = values_;
    if (!apply(values_)) return;
    try {
      write_file();
    } catch (...) {
      values_ = std::move(previous);
      throw;
    }
  }
  notify(std::string(key));
}

void SettingsStore::set(std::string_view key, Json value) {
  change(key, [&](Json& values) {
    values[std::string(key)] = std::move(value);
    return true;
  });
}

void SettingsStore::remove(std::string_view key) {
  change(key, [&](Json& values) { return values.erase(std::string(key)) > 0; });
}

int SettingsStore::add_observer(Observer observer) {
  std::lock_guard lock(observers_mutex_);
  const int token = next_token_++;
  observers_.emplace_back(token, std::move(observer));
  return token;
}

void SettingsStore::remove_observer(int token) {
  std::lock_guard lock(observers_mutex_);
  std::erase_if(observers_, [token](const auto& entry) { return entry.first == token; });
}

void SettingsStore::notify(const std::string& key) {
  std::vector<Observer> copy;
  {
    std::lock_guard lock(observers_mutex_);
    for (const auto& [token, observer] : observers_) copy.push_back(observer);
  }
  for (const auto& observer : copy) observer(key);
}

}  // namespace kestrova::platform
