#pragma once

#include <string_view>

namespace kestrova {

// Diagnostic lines: "emoji [Component] message", one line each. They go to standard
// output in interactive mode; the tool server sends them to standard error because its
// standard output carries protocol lines only. Thread-safe.
enum class LogTarget { StandardOutput, StandardError, Silent };

void set_log_target(LogTarget target);
void log_line(std::string_view emoji, std::string_view component, std::string_view message);

namespace log_kind {
inline constexpr std::string_view kFailure = "❌";
inline constexpr std::string_view kSuccess = "✅";
inline constexpr std::string_view kWarning = "⚠️";
inline constexpr std::string_view kMail = "📧";
inline constexpr std::string_view kConnection = "🔌";
inline constexpr std::string_view kAI = "🤖";
inline constexpr std::string_view kSync = "🔄";
inline constexpr std::string_view kStatistics = "📊";
inline constexpr std::string_view kSearch = "🔍";
inline constexpr std::string_view kLink = "🔗";
}  // namespace log_kind

}  // namespace kestrova
