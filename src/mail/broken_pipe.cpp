#include "mail/broken_pipe.h"

#include <csignal>
#include <mutex>

namespace kestrova::mail {

void ignore_broken_pipe_signal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      signal(SIGPIPE, SIG_IGN);
    }
  });
}

}  // namespace kestrova::mail
