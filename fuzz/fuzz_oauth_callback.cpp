// libFuzzer target: each input is what a browser (or anything else on this machine) sends to
// the loopback listener that waits for the OAuth redirect. A real listener is opened on
// 127.0.0.1 for every input; the input is written to it over a real connection, which is
// then half-closed, and the listener takes it with a short time limit.
//
// Beyond sanitizer reports it aborts when anything but OAuthError is thrown, when query
// items are returned for a request other than a GET of the callback path, or when the
// answer the connection receives does not match the outcome (200 with the success page
// for returned items; nothing but a 400 with the failure page otherwise).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mail/oauth_sign_in.h"

namespace {

using kestrova::mail::OAuthLoopbackListener;

constexpr std::string_view kSuccess = "<p>signed in</p>";
constexpr std::string_view kFailure = "<p>refused</p>";

[[noreturn]] void fail(const char* what, std::string_view request, std::string_view answer) {
  std::fprintf(stderr, "%s\nrequest: %.*s\nanswer: %.*s\n", what, static_cast<int>(request.size()),
               request.data(), static_cast<int>(answer.size()), answer.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  OAuthLoopbackListener listener;
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client < 0) std::abort();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(listener.port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("connect");
    std::abort();
  }
  size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n = ::send(client, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the listener gave up reading
    sent += static_cast<size_t>(n);
  }
  ::shutdown(client, SHUT_WR);

  std::optional<kestrova::mail::QueryItems> items;
  try {
    items = listener.awaitCallback(0.02, std::string(kSuccess), std::string(kFailure));
  } catch (const kestrova::mail::OAuthError&) {
  }
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
    answer.append(buffer, static_cast<size_t>(n));
  ::close(client);

  if (items) {
    if (!request.starts_with("GET /oauth/callback"))
      fail("query items from a request that is not the callback", request, answer);
    if (!answer.starts_with("HTTP/1.1 200 ") || !answer.ends_with(kSuccess))
      fail("items returned without the success page", request, answer);
  } else if (!answer.empty() &&
             (!answer.starts_with("HTTP/1.1 400 ") || !answer.ends_with(kFailure))) {
    fail("a refused request got another answer than the failure page", request, answer);
  }
  return 0;
}
