#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/json.h"

namespace kestrova::platform {

// The user-defaults store: one JSON object file whose top-level keys are the setting keys,
// with values in their natural JSON type. Writes replace the file atomically (temporary
// file + rename) while holding an exclusive lock on a sidecar file ("settings.json.lock"),
// so that two processes setting different keys at the same time do not lose either.
// Reads notice a change written by another process: before each read the file's identity
// (device, inode, size, modification and change times) is compared with the loaded copy.
// Because file times are coarse (one clock tick, up to seconds on some file systems), a
// file modified shortly before it was loaded could be rewritten with the same identity, so
// while the loaded copy is that fresh its content is compared as well. A missing or
// unreadable file reads as empty.
//
// The file and its folder are the user's alone: the folder is created 0700, the file is
// written 0600, and either is narrowed to that when found wider. A file that is not a JSON
// object is never overwritten: it is renamed aside to "settings.json.damaged-TIMESTAMP"
// (one warning names it) and the settings read as empty; while it cannot be renamed,
// writes fail instead of replacing it. Thread-safe.
class SettingsStore {
 public:
  // The store of this user: $XDG_CONFIG_HOME/kestrova/settings.json.
  static SettingsStore& shared();
  static std::filesystem::path default_path();
  // The settings file under a config folder (default_path() is path_in(config_home())).
  static std::filesystem::path path_in(const std::filesystem::path& configHome);

  explicit SettingsStore(std::filesystem::path file);

  const std::filesystem::path& path() const { return path_; }

  // The stored value, or nothing when the key is absent.
  std::optional<Json> value(std::string_view key);
  // Typed accessors: nothing when absent or of another JSON type. integer() accepts a
  // number with an integral value; real() any number.
  std::optional<bool> boolean(std::string_view key);
  std::optional<int64_t> integer(std::string_view key);
  std::optional<double> real(std::string_view key);
  std::optional<std::string> string(std::string_view key);
  std::optional<std::vector<std::string>> string_list(std::string_view key);
  // A copy of every stored key and value.
  Json all();

  // Stores `value` under `key` and writes the file at once; observers are then called
  // (on the calling thread) with the key. Throws kestrova::Error when the file cannot be
  // written; the previous file is then left unchanged.
  void set(std::string_view key, Json value);
  void remove(std::string_view key);

  using Observer = std::function<void(const std::string& key)>;
  // Returns a token for remove_observer.
  int add_observer(Observer observer);
  void remove_observer(int token);

 private:
  // What stat() tells about the file; equal stamps mean "probably the same content".
  struct FileStamp {
    uint64_t device = 0, inode = 0, size = 0;
    int64_t modified_ns = 0, changed_ns = 0;
    bool operator==(const FileStamp&) const = default;
  };

  static std::optional<FileStamp> stamp_of(const std::filesystem::path& file);
  // Caller holds mutex_; `holding_file_lock` tells whether it holds the sidecar lock too.
  void reload_if_changed(bool holding_file_lock = false);
  // Moves the damaged file (whose content is `content`) aside; caller holds mutex_.
  void set_aside_damaged(const std::string& content, bool holding_file_lock);
  void write_file();  // caller holds mutex_ and the sidecar lock
  template <class Change>
  void change(std::string_view key, Change apply);
  void notify(const std::string& key);

  std::filesystem::path path_;
  std::mutex mutex_;
  Json values_ = Json::object();
  bool loaded_ = false;
  std::optional<FileStamp> loaded_stamp_;  // nothing: the file was missing
  std::string loaded_content_;
  // The file on disk does not parse and could not be renamed aside: it must not be replaced.
  bool damaged_in_place_ = false;
  // When loaded_content_ was last known to match the file (CLOCK_REALTIME, ns).
  int64_t verified_at_ns_ = 0;
  std::mutex observers_mutex_;
  std::vector<std::pair<int, Observer>> observers_;
  int next_token_ = 1;
};

}  // namespace kestrova::platform
