#include "platform/repeating_timer.h"

#include <glib.h>

namespace kestrova::platform {

RepeatingTimer::RepeatingTimer(std::chrono::seconds interval, std::function<void()> tick)
    : tick_(std::move(tick)) {
  const auto seconds = static_cast<guint>(interval.count() > 0 ? interval.count() : 1);
  source_id_ = g_timeout_add_seconds(seconds, &on_tick, this);
}

RepeatingTimer::~RepeatingTimer() {
  if (source_id_ != 0) g_source_remove(source_id_);
}

int RepeatingTimer::on_tick(void* self) noexcept {
  try {
    static_cast<RepeatingTimer*>(self)->tick_();
  } catch (...) {
    // A failed tick is the owner's to report; the next one runs as usual.
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace kestrova::platform
