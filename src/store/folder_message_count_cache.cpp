#include "store/folder_message_count_cache.h"

#include <exception>

#include "platform/settings_store.h"
#include "util/json.h"
#include "util/log.h"

namespace kestrova::store {

namespace {
constexpr std::string_view kComponent = "FolderMessageCountCache";
}

FolderMessageCountCache& FolderMessageCountCache::shared() {
  static FolderMessageCountCache* instance =
      new FolderMessageCountCache(platform::SettingsStore::shared());  // lives until exit
  return *instance;
}

FolderMessageCountCache::FolderMessageCountCache(platform::SettingsStore& settings)
    : settings_(settings) {
  if (auto stored = settings_.value(kCacheKey); stored && stored->is_object()) {
    for (const auto& [folderId, count] : stored->items())
      if (count.is_number_integer()) cache_[folderId] = count.get<int64_t>();
  }
  log_line("📦", kComponent, "已加载 " + std::to_string(cache_.size()) + " 个文件夹的邮件数量缓存");
}

std::optional<int64_t> FolderMessageCountCache::get(std::string_view folderId) const {
  std::lock_guard lock(mutex_);
  auto it = cache_.find(folderId);
  if (it == cache_.end()) return std::nullopt;
  return it->second;
}

void FolderMessageCountCache::set(const std::string& folderId, int64_t count) {
  std::lock_guard lock(mutex_);
  auto [it, inserted] = cache_.try_emplace(folderId, count);
  if (!inserted) {
    if (it->second == count) return;
    it->second = count;
  }
  writeBack();
}

void FolderMessageCountCache::setMany(const std::map<std::string, int64_t>& counts) {
  std::lock_guard lock(mutex_);
  bool changed = false;
  for (const auto& [folderId, count] : counts) {
    auto [it, inserted] = cache_.try_emplace(folderId, count);
    if (inserted || it->second != count) {
      it->second = count;
      changed = true;
    }
  }
  if (changed) writeBack();
}

void FolderMessageCountCache::clear() {
  std::lock_guard lock(mutex_);
  cache_.clear();
  try {
    settings_.remove(kCacheKey);
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, std::string("写入缓存失败: ") + e.what());
    return;
  }
  log_line(log_kind::kSuccess, kComponent, "缓存已清除");
}

FolderMessageCountCache::DeferredWrites::DeferredWrites(FolderMessageCountCache& cache)
    : cache_(cache) {
  std::lock_guard lock(cache_.mutex_);
  ++cache_.writesHeld_;
}

FolderMessageCountCache::DeferredWrites::~DeferredWrites() {
  std::lock_guard lock(cache_.mutex_);
  if (--cache_.writesHeld_ == 0 && cache_.dirty_) cache_.writeBack();
}

void FolderMessageCountCache::writeBack() {
  if (writesHeld_ > 0) {
    dirty_ = true;
    return;
  }
  dirty_ = false;
  Json object = Json::object();
  for (const auto& [folderId, count] : cache_) object[folderId] = count;
  // The cache only speeds up the display; a settings file that cannot be written must not
  // make the count itself fail.
  try {
    settings_.set(kCacheKey, std::move(object));
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, std::string("写入缓存失败: ") + e.what());
  }
}

}  // namespace kestrova::store
