#pragma once

#include <optional>
#include <string>

namespace kestrova::testing {

// A listening TCP socket on a free loopback port, for scripted servers that play what a
// real server will not do (hang up mid-answer, speak another protocol). Closed on
// destruction.
class LoopbackListener {
 public:
  // Throws std::runtime_error when no loopback port can be had.
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int port() const { return port_; }
  // The next connection, or -1 when none arrives within `timeout_ms`. The caller closes it.
  int accept(int timeout_ms = 10000) const;

 private:
  int fd_ = -1;
  int port_ = 0;
};

// The next CR LF terminated line from `fd` (without the line end), reading more into
// `buffer` as needed; nothing when the peer hangs up or `timeout_ms` passes first.
std::optional<std::string> read_crlf_line(int fd, std::string& buffer, int timeout_ms = 10000);

// Sends all of `data`, ignoring a peer that has gone away.
void send_all(int fd, const std::string& data);

// A loopback port that nobody listens on (it was free a moment ago).
int closed_loopback_port();

}  // namespace kestrova::testing
