#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::app {

// What `kestrova status` tells about the service, read from its lock and status files.
struct ServiceStatus {
  struct Account {
    std::string id;
    std::string emailAddress;
    std::string idleStatus;  // an IdleStatus raw value
    std::optional<double> lastReceiveAt;
  };
  std::optional<int> pid;  // the running service's process id; nothing when none runs
  std::vector<Account> accounts;
};

// $XDG_DATA_HOME/kestrova: the service's lock file (service.lock, holding its pid) and its
// status (service-status.json).
std::filesystem::path service_state_directory();
ServiceStatus read_service_status();

// `kestrova run`: the background half of the interactive application, in the foreground of
// this process until SIGTERM or SIGINT. Standard output gets one short line per event
// (started, account connected or failing, N new messages, stopped), without subjects,
// bodies or, unless the log goes to standard error (-v), addresses; the diagnostic log
// goes where the command line sent it (the log file, or standard error with -v). Returns the exit
// status: 0 after a clean stop, 1 when another service of this user runs or the database cannot be
// opened.
int run_mail_service();

// The service lock: one receiver per user. A process holds it while it does the service's
// work (`kestrova run`, or the window while no `kestrova run` runs) and loses it when it
// ends. An open-file-description lock on service.lock, so that no other open and close of
// the file in the same process can let it go; the file holds the holder's pid.
class ServiceLock {
 public:
  // Takes the lock; nothing when another holds it (its pid in `holder`, when known).
  static std::optional<ServiceLock> take(std::optional<int>* holder = nullptr);
  ServiceLock(ServiceLock&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  ServiceLock& operator=(ServiceLock&&) = delete;
  ServiceLock(const ServiceLock&) = delete;
  ~ServiceLock();

 private:
  explicit ServiceLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The service's work, as `kestrova run` does it, on a thread of its own: for a process whose
// main thread runs something else (the desktop window). That thread runs platform's main
// loop (GLib's default context), so no other thread of the process may run it: the window's
// own event loop must not be GLib's. Nothing is printed; events go to the log.
class BackgroundMailService {
 public:
  // Starts the work while `lock` is held; nothing when the database cannot be opened. The
  // lock goes with the object.
  static std::unique_ptr<BackgroundMailService> start(ServiceLock lock);
  // Stops the work as `kestrova run` stops (the receive in progress stores its batch first)
  // and releases the lock. Network waits in flight end within a second only when the
  // process's cancellation token is set (a process that is ending sets it first).
  ~BackgroundMailService();
  BackgroundMailService(const BackgroundMailService&) = delete;
  BackgroundMailService& operator=(const BackgroundMailService&) = delete;

 private:
  struct Work;
  explicit BackgroundMailService(std::unique_ptr<Work> work);
  std::unique_ptr<Work> work_;
};

}  // namespace kestrova::app
