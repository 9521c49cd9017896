#include "platform/settings_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/paths.h"
#include "util/error.h"

namespace kestrova::platform {

SettingsStore& SettingsStore::shared() {
  static SettingsStore* instance = new SettingsStore(default_path());  // lives until exit
  return *instance;
}

std::filesystem::path SettingsStore::default_path() {
  return config_home() / "kestrova" / "settings.json";
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

std::optional<std::string> read_file(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return content;
}

// Serialises read-modify-write cycles of every process (and every SettingsStore instance)
// on the same file. The lock is on a sidecar file because the settings file itself is
// replaced by rename at every write. Without a lock file the write goes ahead unguarded.
class SidecarLock {
 public:
  explicit SidecarLock(const std::filesystem::path& settings_file) {
    std::error_code ec;
    std::filesystem::create_directories(settings_file.parent_path(), ec);
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

}  // namespace

std::optional<SettingsStore::FileStamp> SettingsStore::stamp_of(const std::filesystem::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0) return std::nullopt;
  return FileStamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                   static_cast<uint64_t>(st.st_size), to_ns(st.st_mtim), to_ns(st.st_ctim)};
}

void SettingsStore::reload_if_changed() {
  const auto stamp = stamp_of(path_);
  if (!stamp) {
    values_ = Json::object();
    loaded_stamp_.reset();
    loaded_content_.clear();
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
    Json parsed = Json::parse(content, nullptr, false);
    values_ = parsed.is_object() ? std::move(parsed) : Json::object();
    loaded_content_ = content;
  }
  loaded_stamp_ = stamp;
  verified_at_ns_ = checked_at;
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
  std::error_code ec;
  std::filesystem::create_directories(path_.parent_path(), ec);
  const int64_t written_at = now_ns();
  const std::string content = values_.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  std::filesystem::path temp = path_;
  temp += ".tmp-" + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw Error("无法写入设置文件: " + std::string(std::strerror(errno)));
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
    reload_if_changed();
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
