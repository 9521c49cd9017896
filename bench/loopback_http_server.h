#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

// A loopback HTTP/1.0 server for the AI benchmarks: each connection gets its own thread,
// which reads one request (headers and a Content-Length body), hands it to the handler with
// the socket, and closes the connection when the handler returns.
class LoopbackHttpServer {
 public:
  using Handler = std::function<void(int fd, const std::string& request)>;
  explicit LoopbackHttpServer(Handler handler);
  ~LoopbackHttpServer();
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  int port() const { return port_; }

  // Writes all of `data` (stops quietly when the client has gone).
  static void send_all(int fd, const std::string& data);
  // A 200 answer with a JSON body.
  static void send_json(int fd, const std::string& body);

 private:
  void serve();

  Handler handler_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_ = false;
  std::thread thread_;
};
