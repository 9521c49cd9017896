#include "util/work_group.h"

namespace kestrova {

WorkGroup& WorkGroup::shared() {
  static WorkGroup* group = new WorkGroup();  // lives until exit
  return *group;
}

void WorkGroup::enter() {
  std::lock_guard lock(mutex_);
  ++running_;
}

void WorkGroup::leave() {
  std::lock_guard lock(mutex_);
  if (--running_ <= 0) {
    running_ = 0;
    drained_.notify_all();
  }
}

bool WorkGroup::wait_for(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return drained_.wait_for(lock, timeout, [this] { return running_ == 0; });
}

}  // namespace kestrova
