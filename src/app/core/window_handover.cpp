#include "app/core/window_handover.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace kestrova::app {

namespace {

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

std::filesystem::path window_socket_path() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::filesystem::path(runtime) / "kestrova-window";
  return std::filesystem::temp_directory_path() / ("kestrova-window-" + std::to_string(getuid()));
}

bool hand_over_to_window(std::string_view line) {
  const std::string path = window_socket_path().string();
  sockaddr_un address{};
  if (path.size() >= sizeof(address.sun_path)) return false;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  Fd socket_fd{socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (socket_fd.fd < 0) return false;
  if (connect(socket_fd.fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    return false;
  std::string message(line);
  message += '\n';
  size_t sent = 0;
  while (sent < message.size()) {
    pollfd ready{socket_fd.fd, POLLOUT, 0};
    if (poll(&ready, 1, 1000) <= 0) return false;
    const ssize_t n =
        send(socket_fd.fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace kestrova::app
