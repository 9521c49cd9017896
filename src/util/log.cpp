#include "util/log.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

namespace kestrova {

namespace {
std::atomic<LogTarget> g_target{LogTarget::StandardOutput};
std::mutex g_mutex;
}  // namespace

void set_log_target(LogTarget target) { g_target.store(target); }

void log_line(std::string_view emoji, std::string_view component, std::string_view message) {
  const LogTarget target = g_target.load();
  if (target == LogTarget::Silent) return;
  std::string line;
  line.reserve(emoji.size() + component.size() + message.size() + 5);
  line.append(emoji).append(" [").append(component).append("] ").append(message).push_back('\n');
  std::FILE* out = target == LogTarget::StandardError ? stderr : stdout;
  std::lock_guard lock(g_mutex);
  std::fwrite(line.data(), 1, line.size(), out);
  std::fflush(out);
}

}  // namespace kestrova
