#include "platform/thread_priority.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace kestrova::platform {

namespace {
// A nice value of 10 is the usual Linux choice for background work: it yields to
// interactive threads without being starved like a batch thread at 19.
constexpr int kUtilityNice = 10;
}  // namespace

void lower_thread_to_utility_priority() {
  // On Linux the nice value is a per-thread attribute when addressed by thread id.
  const auto thread_id = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, thread_id);
  if (errno != 0 || current >= kUtilityNice) return;
  setpriority(PRIO_PROCESS, thread_id, kUtilityNice);
}

}  // namespace kestrova::platform
