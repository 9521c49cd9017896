#include "app/cli/terminal_output.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iostream>

#include "app/cli/command_line.h"
#include "util/localization.h"

namespace kestrova::app {

bool output_is_terminal() { return isatty(STDOUT_FILENO) == 1; }

bool colour_enabled() {
  const char* no_colour = std::getenv("NO_COLOR");
  return output_is_terminal() && !(no_colour && *no_colour);
}

size_t output_columns() {
  if (!output_is_terminal()) return 0;
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const long value = std::strtol(columns, nullptr, 10);
    if (value > 0) return static_cast<size_t>(value);
  }
  return 80;
}

std::string styled(std::string_view text, TextStyle style) {
  if (!colour_enabled()) return std::string(text);
  const char* start = style == TextStyle::Bold  ? "\033[1m"
                      : style == TextStyle::Dim ? "\033[2m"
                                                : "\033[33m";
  return start + std::string(text) + "\033[0m";
}

namespace {

std::string formatted_local(double seconds, const char* format) {
  const auto time = static_cast<std::time_t>(seconds);
  std::tm local{};
  localtime_r(&time, &local);
  char buffer[64];
  return std::string(buffer, std::strftime(buffer, sizeof buffer, format, &local));
}

}  // namespace

std::string local_date_text(double seconds) {
  return seconds > 0 ? formatted_local(seconds, "%Y-%m-%d %H:%M") : "-";
}

std::string listing_date_text(double seconds) {
  if (seconds <= 0) return "-";
  const bool this_year = formatted_local(seconds, "%Y") ==
                         formatted_local(static_cast<double>(std::time(nullptr)), "%Y");
  return formatted_local(seconds, this_year ? "%m-%d %H:%M" : "%Y-%m-%d");
}

std::string size_text(int64_t bytes) {
  char buffer[32];
  if (bytes < 1024) return std::to_string(bytes) + " B";
  if (bytes < 1024 * 1024) return std::to_string((bytes + 512) / 1024) + " KB";
  std::snprintf(buffer, sizeof buffer, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return buffer;
}

void show_paged(const std::string& text) {
  if (!output_is_terminal()) {
    std::cout << text;
    return;
  }
  const char* pager = std::getenv("PAGER");
  const std::string command = pager && *pager ? pager : "less -FRX";
  std::cout.flush();
  // A reader who quits the pager early closes the pipe: that is not an error.
  std::signal(SIGPIPE, SIG_IGN);
  std::FILE* pipe = popen(command.c_str(), "w");
  if (!pipe) {
    std::cout << text;
    return;
  }
  std::fwrite(text.data(), 1, text.size(), pipe);
  pclose(pipe);
}

void confirm_or_stop(const std::string& question, bool yes) {
  if (yes) return;
  if (isatty(STDIN_FILENO) != 1) {
    std::cerr << question << "\n" << localized("cli.confirm.needs_yes") << "\n";
    throw CommandFailure{kExitUsage};
  }
  std::cerr << question << " [y/N] " << std::flush;
  std::string answer;
  std::getline(std::cin, answer);
  if (answer != "y" && answer != "Y" && answer != "yes") throw CommandFailure{kExitFailure};
}

}  // namespace kestrova::app
