#include "platform/main_loop_sources.h"

#include <glib-unix.h>
#include <glib.h>

#include <algorithm>
#include <csignal>

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

gboolean on_signal(gpointer data) noexcept {
  try {
    (*static_cast<std::function<void()>*>(data))();
  } catch (...) {
    // Stopping goes on regardless.
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace

void on_termination_signals(std::function<void()> handler) {
  // Lives as long as the process: the sources may fire until exit.
  auto* shared = new std::function<void()>(std::move(handler));
  g_unix_signal_add(SIGTERM, on_signal, shared);
  g_unix_signal_add(SIGINT, on_signal, shared);
}

}  // namespace kestrova::platform
