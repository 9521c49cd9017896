// libFuzzer target: each input is what a browser (or anything else on this machine) sends to
// the loopback listener that waits for the OAuth redirect. A real listener is opened on
// 127.0.0.1 for every input; the input is written to it over a real connection, which is
// then half-closed. A second connection behind it sends a well-formed callback, so the
// listener always has its one callback at once instead of waiting out a time limit when the
// input is not one (the input's connection is taken first: connections queue in order).
//
// Beyond sanitizer reports it aborts when anything but OAuthError is thrown, when query
// items are returned for a request other than a GET of the callback path, or when the
// answer the input's connection receives does not match the outcome: 200 with the success
// page for a callback with a code, 400 with the failure page for another or malformed
// callback, nothing or a 404 for anything else.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "mail/oauth_sign_in.h"

namespace {

using kestrova::mail::OAuthLoopbackListener;
using kestrova::mail::QueryItems;

const std::string kSuccess = "<p>signed in</p>";
const std::string kFailure = "<p>refused</p>";
constexpr std::string_view kSentinel = "GET /oauth/callback?fuzz-sentinel=1 HTTP/1.1\r\n\r\n";

[[noreturn]] void fail(const char* what, std::string_view request, std::string_view answer) {
  std::fprintf(stderr, "%s\nrequest: %.*s\nanswer: %.*s\n", what, static_cast<int>(request.size()),
               request.data(), static_cast<int>(answer.size()), answer.data());
  std::abort();
}

// A connection to the listener that has sent `request` and half-closed. (Each input leaves
// two client sockets in TIME_WAIT; at a thousand inputs a second the kernel holds about
// 120,000 of them, which costs nothing on loopback.)
int send_request(uint16_t port, std::string_view request) {
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client < 0) std::abort();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // libFuzzer's timer signal may interrupt the connect, which then completes on its own.
  if (::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    pollfd p{client, POLLOUT, 0};
    int error = errno;
    socklen_t length = sizeof error;
    if (error == EINTR)
      while (::poll(&p, 1, 5000) < 0 && errno == EINTR) {
      }
    if (error == EINTR) ::getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      std::fprintf(stderr, "connect: %s\n", std::strerror(error));
      std::abort();
    }
  }
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(client, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the listener gave up reading
    sent += static_cast<size_t>(n);
  }
  ::shutdown(client, SHUT_WR);
  return client;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  OAuthLoopbackListener listener;
  const int client = send_request(listener.port(), request);
  const int sentinel = send_request(listener.port(), kSentinel);

  QueryItems items;
  bool rejected = false;
  try {
    items = listener.awaitCallback(
        5,
        [](const QueryItems& got) {
          return std::ranges::any_of(got, [](const auto& item) { return item.first == "code"; });
        },
        kSuccess, kFailure);
  } catch (const kestrova::mail::OAuthError&) {
    rejected = true;
  }
  // The listener has answered and closed the input's connection (or never read it).
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(client, buffer, sizeof buffer, 0)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  ::close(client);
  ::close(sentinel);

  const bool is_callback = request.starts_with("GET /oauth/callback");
  const bool has_code =
      std::ranges::any_of(items, [](const auto& item) { return item.first == "code"; });
  const bool refused = answer.starts_with("HTTP/1.1 400 ") && answer.ends_with(kFailure);
  if (!rejected && items == QueryItems{{"fuzz-sentinel", "1"}}) {
    // The sentinel's items: the input was not taken for the callback (answered 404, or not
    // at all without a request line), or it was a callback with just these items.
    if (!answer.empty() && !answer.starts_with("HTTP/1.1 404 ") && !(is_callback && refused))
      fail("a request that is not the callback got another answer than 404", request, answer);
  } else if (!is_callback) {
    fail("a request that is not the callback was taken for it", request, answer);
  } else if (rejected || !has_code) {
    if (!refused)
      fail("a refused callback got another answer than the failure page", request, answer);
  } else if (!answer.starts_with("HTTP/1.1 200 ") || !answer.ends_with(kSuccess)) {
    fail("a callback with a code got another answer than the success page", request, answer);
  }
  return 0;
}
