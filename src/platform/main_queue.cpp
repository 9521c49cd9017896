#include "platform/main_queue.h"

#include <glib.h>

#include <memory>

namespace kestrova::platform {

namespace {

GMainLoop* main_loop() {
  static GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  return loop;
}

gboolean run_task(gpointer data) noexcept {
  std::unique_ptr<std::function<void()>> task(static_cast<std::function<void()>*>(data));
  try {
    (*task)();
  } catch (...) {
    // A task's failure stays with the task; the loop goes on.
  }
  return G_SOURCE_REMOVE;
}

}  // namespace

void MainQueue::post(std::function<void()> task) {
  // Always queued (never run inline on the caller's thread), in the order posted.
  auto* boxed = new std::function<void()>(std::move(task));  // owned by run_task
  GSource* source = g_idle_source_new();
  g_source_set_priority(source, G_PRIORITY_DEFAULT);
  g_source_set_callback(source, run_task, boxed, nullptr);
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
