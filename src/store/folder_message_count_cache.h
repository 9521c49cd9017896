#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::platform {
class SettingsStore;
}

namespace kestrova::store {

// The last known number of messages per folder, kept in the user-defaults store so that
// counts can be shown before the database answers. Never invalidated by time: callers
// write through whenever they learn a count. A write goes to the settings file only when a
// value actually changed. Thread-safe.
class FolderMessageCountCache {
 public:
  static constexpr std::string_view kCacheKey = "folder_message_count_cache";

  // The cache over SettingsStore::shared().
  static FolderMessageCountCache& shared();

  // Loads the stored object (folder id -> integer); entries that are not integers, or a
  // stored value that is not an object, are dropped. `settings` must outlive the cache.
  explicit FolderMessageCountCache(platform::SettingsStore& settings);

  std::optional<int64_t> get(std::string_view folderId) const;
  // Stores one count; nothing is written when it is already the cached value.
  void set(const std::string& folderId, int64_t count);
  // Applies the changed entries, then writes once (not at all when nothing changed).
  void setMany(const std::map<std::string, int64_t>& counts);
  // Empties the cache and removes the stored key.
  void clear();

  // While one of these lives, changed counts stay in memory; when the last one ends they are
  // written once. For passes that learn many counts in a row (listing or syncing every
  // folder of a server with 100,000 folders), which would otherwise rewrite the settings
  // file once per folder.
  class DeferredWrites {
   public:
    explicit DeferredWrites(FolderMessageCountCache& cache);
    ~DeferredWrites();
    DeferredWrites(const DeferredWrites&) = delete;
    DeferredWrites& operator=(const DeferredWrites&) = delete;

   private:
    FolderMessageCountCache& cache_;
  };

 private:
  void writeBack();  // caller holds mutex_; deferred while writesHeld_ > 0

  platform::SettingsStore& settings_;
  mutable std::mutex mutex_;
  std::map<std::string, int64_t, std::less<>> cache_;
  int writesHeld_ = 0;
  bool dirty_ = false;
};

}  // namespace kestrova::store
