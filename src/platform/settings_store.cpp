#include "platform/settings_store.h"

#include <fcntl.h>
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

void SettingsStore::reload_if_changed() {
  std::error_code ec;
  auto mtime = std::filesystem::last_write_time(path_, ec);
  if (ec) {
    values_ = Json::object();
    loaded_mtime_.reset();
    loaded_size_ = 0;
    loaded_ = true;
    return;
  }
  auto size = std::filesystem::file_size(path_, ec);
  if (ec) size = 0;
  if (loaded_ && loaded_mtime_ == mtime && loaded_size_ == size) return;
  std::ifstream in(path_, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Json parsed = Json::parse(content, nullptr, false);
  values_ = parsed.is_object() ? std::move(parsed) : Json::object();
  loaded_mtime_ = mtime;
  loaded_size_ = size;
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
  loaded_mtime_ = std::filesystem::last_write_time(path_, ec);
  loaded_size_ = std::filesystem::file_size(path_, ec);
}

void SettingsStore::set(std::string_view key, Json value) {
  {
    std::lock_guard lock(mutex_);
    reload_if_changed();
    Json previous = values_;
    values_[std::string(key)] = std::move(value);
    try {
      write_file();
    } catch (...) {
      values_ = std::move(previous);
      throw;
    }
  }
  notify(std::string(key));
}

void SettingsStore::remove(std::string_view key) {
  {
    std::lock_guard lock(mutex_);
    reload_if_changed();
    auto it = values_.find(key);
    if (it == values_.end()) return;
    Json previous = values_;
    values_.erase(it);
    try {
      write_file();
    } catch (...) {
      values_ = std::move(previous);
      throw;
    }
  }
  notify(std::string(key));
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
