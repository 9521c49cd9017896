#include "loopback_http_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string read_request(int fd) {
  std::string request;
  char buffer[8192];
  size_t wanted = std::string::npos;
  while (request.size() < wanted) {
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    request.append(buffer, static_cast<size_t>(n));
    const size_t end = request.find("\r\n\r\n");
    if (end != std::string::npos && wanted == std::string::npos) {
      const size_t at = request.find("Content-Length: ");
      wanted = end + 4 + (at == std::string::npos ? 0 : std::stoul(request.substr(at + 16)));
    }
  }
  return request;
}

}  // namespace

LoopbackHttpServer::LoopbackHttpServer(Handler handler) : handler_(std::move(handler)) {
  listener_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener_, 64);
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

LoopbackHttpServer::~LoopbackHttpServer() {
  stopping_ = true;
  shutdown(listener_, SHUT_RDWR);
  close(listener_);
  thread_.join();
}

void LoopbackHttpServer::send_all(int fd, const std::string& data) {
  for (size_t sent = 0; sent < data.size();) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

void LoopbackHttpServer::send_json(int fd, const std::string& body) {
  send_all(fd, "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body);
}

void LoopbackHttpServer::serve() {
  while (!stopping_) {
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) continue;
    // Detached: a connection the client left open ends with the process.
    std::thread([fd, handler = handler_] {
      handler(fd, read_request(fd));
      close(fd);
    }).detach();
  }
}
