#pragma once

#include <filesystem>
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

}  // namespace kestrova::app
