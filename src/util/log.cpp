#include "util/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace kestrova {

namespace {
std::atomic<LogTarget> g_target{LogTarget::StandardOutput};
std::mutex g_mutex;
// Guarded by g_mutex.
std::filesystem::path g_file_path;
std::uintmax_t g_file_limit = 0;
int g_file = -1;

void close_file() {
  if (g_file >= 0) ::close(g_file);
  g_file = -1;
}

// Opens the log file for appending, rotating it first when it has grown past its limit.
// False when it cannot be written (then the line is dropped: a log must never stop work).
bool open_file() {
  if (g_file_path.empty()) return false;
  std::error_code ec;
  const auto size = std::filesystem::file_size(g_file_path, ec);
  if (!ec && size >= g_file_limit) {
    close_file();
    std::filesystem::path older = g_file_path;
    older += ".1";
    std::filesystem::rename(g_file_path, older, ec);
  }
  if (g_file >= 0) return true;
  std::filesystem::create_directories(g_file_path.parent_path(), ec);
  g_file = ::open(g_file_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  return g_file >= 0;
}
}  // namespace

void set_log_target(LogTarget target) { g_target.store(target); }

LogTarget log_target() { return g_target.load(); }

std::filesystem::path log_file_path() {
  std::lock_guard lock(g_mutex);
  return g_file_path;
}

std::string escaped_log_value(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    const auto byte = static_cast<unsigned char>(value[i]);
    if (byte == '\r') {
      out += "\\r";
    } else if (byte == '\n') {
      out += "\\n";
    } else if (byte == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    } else if (byte == 0xC2 && i + 1 < value.size() &&
               static_cast<unsigned char>(value[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(value[i + 1]) <= 0x9F) {
      const auto code = static_cast<unsigned char>(value[++i]);
      out += "\\u00";
      out.push_back(kHex[code >> 4]);
      out.push_back(kHex[code & 15]);
    } else {
      out.push_back(static_cast<char>(byte));
    }
  }
  return out;
}

void set_log_file(const std::filesystem::path& path, std::uintmax_t max_bytes) {
  std::lock_guard lock(g_mutex);
  close_file();
  g_file_path = path;
  g_file_limit = max_bytes;
}

void log_line(std::string_view emoji, std::string_view component, std::string_view message) {
  const LogTarget target = g_target.load();
  if (target == LogTarget::Silent) return;
  std::string line;
  line.reserve(emoji.size() + component.size() + message.size() + 5);
  line.append(emoji).append(" [").append(escaped_log_value(component)).append("] ");
  line.append(escaped_log_value(message)).push_back('\n');
  std::lock_guard lock(g_mutex);
  if (target == LogTarget::File) {
    // The file keeps lines from many runs, so each starts with its local time.
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
    line.insert(0, stamp, n);
    if (open_file()) [[maybe_unused]]
      auto written = ::write(g_file, line.data(), line.size());
    return;
  }
  std::FILE* out = target == LogTarget::StandardError ? stderr : stdout;
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

}  // namespace kestrova
