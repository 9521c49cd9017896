#include "app/cli/secret_input.h"

#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "util/error.h"

namespace kestrova::app {

namespace {

// Turns terminal echo off for the lifetime of the object (and back on, also when the read
// throws).
class EchoOff {
 public:
  explicit EchoOff(int fd) : fd_(fd) {
    if (tcgetattr(fd_, &saved_) != 0) return;
    termios quiet = saved_;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (active_) tcsetattr(fd_, TCSAFLUSH, &saved_);
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;

 private:
  int fd_;
  termios saved_{};
  bool active_ = false;
};

std::string first_line_of_standard_input() {
  std::string line;
  std::getline(std::cin, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

std::string read_secret(std::string_view prompt, bool fromStandardInput,
                        std::string_view notTerminal) {
  if (fromStandardInput) return first_line_of_standard_input();
  if (!isatty(STDIN_FILENO)) throw Error(std::string(notTerminal));
  std::cerr << prompt << std::flush;
  std::string secret;
  {
    EchoOff echoOff(STDIN_FILENO);
    secret = first_line_of_standard_input();
  }
  std::cerr << "\n";
  return secret;
}

}  // namespace kestrova::app
