#pragma once

#include <atomic>
#include <chrono>

namespace kestrova::platform {

// A request to stop, looked at by everything that waits on the network: the HTTP client
// (AI providers, OAuth, Gmail) and the IMAP and SMTP connections give up a wait once it is
// set, within kCancellationCheckInterval (libcurl: about a second). Setting it is
// async-signal-safe (a lock-free atomic store), so a signal handler may do it.
// Thread-safe.
class CancellationToken {
 public:
  // The token of the whole process, set when the process is asked to stop (the service
  // sets it on SIGTERM and SIGINT). Never cleared.
  static CancellationToken& process() noexcept;

  void cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
  bool cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> cancelled_{false};
  static_assert(std::atomic<bool>::is_always_lock_free);
};

// The longest a network wait sleeps before it looks at the token again.
inline constexpr std::chrono::milliseconds kCancellationCheckInterval{250};

}  // namespace kestrova::platform
