#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kestrova {

// Counts background jobs that must finish before the process may end (server moves
// started by the rule tools). Thread-safe.
class WorkGroup {
 public:
  // The process-wide group.
  static WorkGroup& shared();

  void enter();
  void leave();
  // Waits until no job is running or `timeout` has passed; true when the group drained.
  bool wait_for(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable drained_;
  int running_ = 0;
};

// Enters a group for the lifetime of the guard.
class WorkGroupGuard {
 public:
  explicit WorkGroupGuard(WorkGroup& group) : group_(group) { group_.enter(); }
  ~WorkGroupGuard() { group_.leave(); }
  WorkGroupGuard(const WorkGroupGuard&) = delete;
  WorkGroupGuard& operator=(const WorkGroupGuard&) = delete;

 private:
  WorkGroup& group_;
};

}  // namespace kestrova
