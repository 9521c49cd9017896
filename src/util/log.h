#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace kestrova {

// Diagnostic lines: "emoji [Component] message", one line each. The long-running service
// writes them to standard output (the journal collects it); the tool server to standard
// error, because its standard output carries protocol lines only; one-shot commands to a
// log file, and to standard error only when asked. Thread-safe.
enum class LogTarget { StandardOutput, StandardError, File, Silent };

void set_log_target(LogTarget target);
LogTarget log_target();
// The file LogTarget::File appends to, created private (0600) when the first line is
// written. Past `max_bytes` the file is renamed to "<name>.1" (replacing the older one)
// and a new one is started, so the log never takes more than twice that.
void set_log_file(const std::filesystem::path& path, std::uintmax_t max_bytes);
// The file set by set_log_file (empty when none was set).
std::filesystem::path log_file_path();
// Writes one line. The component and the message are written with control characters
// escaped (see escaped_log_value), so that a value taken from mail or a server (a subject
// holding CR/LF, a terminal escape) can neither start a forged line nor drive a terminal.
void log_line(std::string_view emoji, std::string_view component, std::string_view message);
// `value` fit for one log line: CR, LF and tab as \r, \n, \t; other C0 controls and DEL as
// \xNN; C1 controls (U+0080–U+009F) as \u00NN; a backslash stays as it is. Other bytes,
// UTF-8 included, are kept.
std::string escaped_log_value(std::string_view value);

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
