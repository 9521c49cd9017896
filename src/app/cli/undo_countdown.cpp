#include "app/cli/undo_countdown.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <string>

#include "util/localization.h"

namespace kestrova::app {

namespace {

std::atomic<bool> interrupted{false};

void on_interrupt(int) { interrupted = true; }

// Non-canonical, no echo, no signal keys (Ctrl-C arrives as a byte) for its lifetime.
class RawTerminal {
 public:
  RawTerminal() {
    if (tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG));
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  RawTerminal(const RawTerminal&) = delete;
  RawTerminal& operator=(const RawTerminal&) = delete;

 private:
  termios saved_{};
  bool active_ = false;
};

// SIGINT sets the flag instead of ending the program, for its lifetime.
class InterruptGuard {
 public:
  InterruptGuard() {
    interrupted = false;
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &saved_);
  }
  ~InterruptGuard() { sigaction(SIGINT, &saved_, nullptr); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction saved_ {};
};

bool undo_key_pressed() {
  char buffer[16];
  const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
  for (ssize_t i = 0; i < n; ++i)
    if (buffer[i] == 'u' || buffer[i] == 'U' || buffer[i] == '\x03') return true;
  return false;
}

}  // namespace

bool can_hold_for_undo() { return isatty(STDIN_FILENO) && isatty(STDERR_FILENO); }

HoldOutcome hold_for_undo(int64_t seconds) {
  using Clock = std::chrono::steady_clock;
  InterruptGuard guard;
  RawTerminal terminal;
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  int64_t shown = -1;
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const int64_t whole = (left.count() + 999) / 1000;
    if (whole != shown) {
      shown = whole;
      std::cerr << "\r\033[K" << localized_format("undo.send.countdown", whole) << "（"
                << localized("undo.send.button") << "）" << std::flush;
    }
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    const int wait = static_cast<int>(std::min<int64_t>(left.count() - (whole - 1) * 1000, 1000));
    const int ready = poll(&fd, 1, wait);
    if (interrupted || (ready > 0 && undo_key_pressed())) {
      std::cerr << "\r\033[K" << std::flush;
      return HoldOutcome::undone;
    }
  }
  std::cerr << "\r\033[K" << std::flush;
  return HoldOutcome::send;
}

}  // namespace kestrova::app
