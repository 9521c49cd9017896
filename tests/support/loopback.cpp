#include "support/loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace kestrova::testing {

namespace {

// A socket bound to a free loopback port; `port` receives the port number.
int bound_socket(int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("cannot bind a loopback port");
  }
  port = ntohs(address.sin_port);
  return fd;
}

}  // namespace

LoopbackListener::LoopbackListener() {
  fd_ = bound_socket(port_);
  if (listen(fd_, 4) != 0) {
    close(fd_);
    throw std::runtime_error("cannot listen on loopback");
  }
}

LoopbackListener::~LoopbackListener() { close(fd_); }

int LoopbackListener::accept(int timeout_ms) const {
  pollfd waiting{fd_, POLLIN, 0};
  if (poll(&waiting, 1, timeout_ms) <= 0) return -1;
  return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

std::optional<std::string> read_crlf_line(int fd, std::string& buffer, int timeout_ms) {
  while (true) {
    const size_t end = buffer.find("\r\n");
    if (end != std::string::npos) {
      std::string line = buffer.substr(0, end);
      buffer.erase(0, end + 2);
      return line;
    }
    pollfd readable{fd, POLLIN, 0};
    char chunk[1024];
    if (poll(&readable, 1, timeout_ms) <= 0) return std::nullopt;
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return std::nullopt;
    buffer.append(chunk, static_cast<size_t>(n));
  }
}

void send_all(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

int closed_loopback_port() {
  int port = 0;
  close(bound_socket(port));
  return port;
}

}  // namespace kestrova::testing
