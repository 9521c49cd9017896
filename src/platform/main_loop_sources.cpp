#include "platform/main_loop_sources.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include "platform/cancellation.h"
#include "util/error.h"

namespace kestrova::platform {

OneShotTimer::OneShotTimer(std::chrono::milliseconds delay, std::function<void()> task)
    : task_(std::move(task)) {
  source_id_ =
      g_timeout_add(static_cast<guint>(std::max<int64_t>(delay.count(), 0)), &on_fire, this);
}

OneShotTimer::~OneShotTimer() {
  if (source_id_ != 0) g_source_remove(source_id_);
}

int OneShotTimer::on_fire(void* self) noexcept {
  auto* timer = static_cast<OneShotTimer*>(self);
  timer->source_id_ = 0;  // removed by returning G_SOURCE_REMOVE
  try {
    timer->task_();
  } catch (...) {
    // The task's owner reports its own failures.
  }
  return G_SOURCE_REMOVE;
}

namespace {

// What the signal handler touches: written before the handler is installed, then only read.
std::atomic<CancellationToken*> cancel_on_signal{nullptr};
int signal_pipe[2] = {-1, -1};

// Runs in the signal's context: only async-signal-safe work. The token is set here, at
// once, so that a network wait notices the stop even while the main loop is busy; the rest
// happens on the main loop, woken through the pipe.
void on_signal_raised(int) noexcept {
  const int saved = errno;
  if (CancellationToken* token = cancel_on_signal.load()) token->cancel();
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(signal_pipe[1], &byte, 1);
  errno = saved;
}

gboolean on_signal_pipe(gint fd, GIOCondition, gpointer data) noexcept {
  char buffer[64];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
  try {
    (*static_cast<std::function<void()>*>(data))();
  } catch (...) {
    // Stopping goes on regardless.
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace

void on_termination_signals(std::function<void()> handler, CancellationToken* cancel) {
  if (signal_pipe[0] < 0 && ::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
    throw Error(std::string("无法创建信号管道: ") + std::strerror(errno));
  cancel_on_signal = cancel;
  // Lives as long as the process: the source may fire until exit.
  auto* shared = new std::function<void()>(std::move(handler));
  g_unix_fd_add(signal_pipe[0], G_IO_IN, on_signal_pipe, shared);
  struct sigaction action {};
  action.sa_handler = on_signal_raised;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
}

}  // namespace kestrova::platform
