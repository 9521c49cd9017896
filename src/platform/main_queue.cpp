#include "platform/main_queue.h"

#include <glib.h>

#include <functional>

namespace kestrova::platform {

namespace {

GMainLoop* main_loop() {
  static GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  return loop;
}

using Task = std::function<void()>;

gboolean run_task(gpointer data) noexcept {
  try {
    (*static_cast<Task*>(data))();
  } catch (...) {
    // A task's failure stays with the task; the loop goes on.
  }
  return G_SOURCE_REMOVE;
}

// The source's destroy notify: called once the task ran, or when the source is destroyed
// without running (its context freed first), so a task that never runs is freed too.
void free_task(gpointer data) noexcept { delete static_cast<Task*>(data); }

}  // namespace

void MainQueue::post(std::function<void()> task) {
  // Always queued (never run inline on the caller's thread), in the order posted.
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, run_task, new Task(std::move(task)), free_task);
  g_source_attach(source, nullptr);
  g_source_unref(source);
}

void MainQueue::run() { g_main_loop_run(main_loop()); }

void MainQueue::quit() { g_main_loop_quit(main_loop()); }

void MainQueue::drain() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

}  // namespace kestrova::platform
