#include "mail/oauth_sign_in.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/cancellation.h"
#include "platform/paths.h"
#include "util/json.h"
#include "util/localization.h"
#include "util/log.h"

namespace kestrova::mail {

namespace {

constexpr std::string_view kComponent = "OAuth";

using Clock = std::chrono::steady_clock;

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// The request line of one connection ("GET /path?query HTTP/1.1"), read until the end of
// the headers within the time limit; nothing when the peer sent none.
std::optional<std::string> read_request_line(int fd) {
  const auto deadline =
      Clock::now() +
      std::chrono::milliseconds(static_cast<int>(OAuthLoopbackListener::kRequestSeconds * 1000));
  std::string data;
  char buffer[2048];
  while (data.find("\r\n\r\n") == std::string::npos && data.find("\n\n") == std::string::npos) {
    pollfd p{fd, POLLIN, 0};
    const int wait = remaining_ms(deadline);
    if (wait == 0) return std::nullopt;
    const int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;  // a signal handler ran: wait for what is left
    if (ready <= 0) return std::nullopt;
    const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    data.append(buffer, static_cast<size_t>(got));
    if (data.size() > OAuthLoopbackListener::kMaxRequestBytes) return std::nullopt;
  }
  const size_t end = data.find_first_of("\r\n");
  if (end == 0 || data.empty()) return std::nullopt;
  return data.substr(0, end);
}

void answer(int fd, int status, const std::string& page) {
  const std::string_view reason = status == 200   ? " OK"
                                  : status == 404 ? " Not Found"
                                                  : " Bad Request";
  const std::string reply = "HTTP/1.1 " + std::to_string(status) + std::string(reason) +
                            "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                            std::to_string(page.size()) +
                            "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + page;
  size_t sent = 0;
  while (sent < reply.size()) {
    const ssize_t n = ::send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

std::string html_page(std::string_view title, std::string_view text) {
  return "<!doctype html><html><head><meta charset=\"utf-8\"><title>" + std::string(title) +
         "</title></head><body><h1>" + std::string(title) + "</h1><p>" + std::string(text) +
         "</p></body></html>";
}

std::optional<std::string> item(const QueryItems& items, std::string_view name) {
  for (const auto& [key, value] : items)
    if (key == name) return value;
  return std::nullopt;
}

// An error code from the redirect, shown to the user: only the characters such codes use.
std::string printable(std::string_view text) {
  std::string out;
  for (char c : text.substr(0, 80))
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.') out += c;
  return out;
}

std::filesystem::path pending_file() {
  return platform::data_home() / "kestrova" / "oauth-pending.json";
}

// Sends one GET to the waiting listener; the answer is read only to let it finish.
void send_to_listener(uint16_t port, const std::string& target) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) throw OAuthError::callbackRejected(localized("oauth.callback.connect"));
  timeval limit{10, 0};
  setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throw OAuthError::callbackRejected(localized("oauth.callback.none_waiting_ended"));
  const std::string request =
      "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    throw OAuthError::callbackRejected(localized("oauth.callback.hand_over"));
  char buffer[1024];
  for (int i = 0; i < 64 && ::recv(socket.get(), buffer, sizeof buffer, 0) > 0; ++i) {
  }
}

}  // namespace

// ---- OAuthLoopbackListener ----

OAuthLoopbackListener::OAuthLoopbackListener() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw OAuthError::callbackRejected(localized("oauth.callback.listener"));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = 0;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd_, 4) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ::close(fd_);
    fd_ = -1;
    throw OAuthError::callbackRejected(localized("oauth.callback.listen"));
  }
  port_ = ntohs(address.sin_port);
}

OAuthLoopbackListener::~OAuthLoopbackListener() {
  if (fd_ >= 0) ::close(fd_);
}

std::string OAuthLoopbackListener::redirectURI() const {
  return "http://127.0.0.1:" + std::to_string(port_) + std::string(kCallbackPath);
}

QueryItems OAuthLoopbackListener::awaitCallback(
    double limitSeconds, const std::function<bool(const QueryItems&)>& succeeded,
    const std::string& successPage, const std::string& failurePage,
    const platform::CancellationToken* stop) {
  if (fd_ < 0) throw OAuthError::callbackRejected(localized("oauth.callback.already"));
  auto stopped = [&] {
    return (stop && stop->cancelled()) || platform::CancellationToken::process().cancelled();
  };
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(static_cast<long>(limitSeconds * 1000));
  const std::string notFound = html_page("Kestrova", localized("oauth.page.not_found"));
  while (true) {
    if (stopped()) {
      ::close(fd_);
      fd_ = -1;
      throw OAuthError::callbackRejected(localized("oauth.callback.cancelled"));
    }
    pollfd p{fd_, POLLIN, 0};
    const int left = remaining_ms(deadline);
    const int wait = std::min<int>(
        left, static_cast<int>(platform::kCancellationCheckInterval.count()));
    const int ready = left == 0 ? 0 : ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;  // a signal handler ran: wait for what is left
    if (ready == 0 && left > 0) continue;       // a slice is over: look at the tokens again
    if (ready <= 0) {
      ::close(fd_);
      fd_ = -1;
      throw OAuthError::callbackRejected(localized("oauth.callback.timeout"));
    }
    Socket connection(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
    if (connection.get() < 0) continue;
    const auto line = read_request_line(connection.get());
    if (!line) continue;  // a connection without a request does not count
    // "GET /oauth/callback?query HTTP/1.1"
    const size_t first = line->find(' ');
    const size_t second = line->find(' ', first == std::string::npos ? first : first + 1);
    const std::string target =
        first == std::string::npos ? "" : line->substr(first + 1, second - first - 1);
    const size_t question = target.find('?');
    const std::string path = target.substr(0, question);
    // Anything but the callback (the browser's favicon request, another page) is answered
    // and does not count: the sign-in keeps waiting.
    if (!line->starts_with("GET ") || path != kCallbackPath) {
      answer(connection.get(), 404, notFound);
      continue;
    }
    // The one request: whatever it holds, the listener closes now.
    ::close(fd_);
    fd_ = -1;
    const std::optional<QueryItems> items = form_decode(
        question == std::string::npos ? "" : std::string_view(target).substr(question + 1));
    if (!items) {
      answer(connection.get(), 400, failurePage);
      throw OAuthError::callbackRejected(localized("oauth.callback.malformed"));
    }
    const bool success = succeeded(*items);
    answer(connection.get(), success ? 200 : 400, success ? successPage : failurePage);
    return *items;
  }
}

// ---- OAuthSignIn ----

OAuthSignIn::OAuthSignIn(OAuthProvider provider, std::string clientId, std::string clientSecret,
                         std::string loginHint, bool customSchemeRedirect)
    : provider_(std::move(provider)),
      clientId_(std::move(clientId)),
      clientSecret_(std::move(clientSecret)),
      state_(random_token(24)),
      pkce_(PKCEPair::generate()),
      customScheme_(customSchemeRedirect) {
  redirectURI_ = customScheme_ ? std::string(kCustomSchemeRedirectURI) : listener_.redirectURI();
  QueryItems items = {{"response_type", "code"},
                      {"client_id", clientId_},
                      {"redirect_uri", redirectURI_},
                      {"scope", ""},
                      {"state", state_},
                      {"code_challenge", pkce_.challenge},
                      {"code_challenge_method", "S256"}};
  for (const auto& scope : provider_.scopes)
    items[3].second += (items[3].second.empty() ? "" : " ") + scope;
  if (!loginHint.empty()) items.emplace_back("login_hint", loginHint);
  for (const auto& extra : provider_.extraAuthorizationItems) items.push_back(extra);
  authorizationURL_ = provider_.authorizationEndpoint + "?" + form_encode(items);
  if (customScheme_) {
    const auto file = pending_file();
    platform::ensure_private_directory(file.parent_path());
    std::ofstream out(file, std::ios::trunc);
    out << Json{{"port", listener_.port()}}.dump() << "\n";
    out.close();
    platform::restrict_file_to_owner(file);
  }
}

OAuthSignIn::~OAuthSignIn() {
  if (customScheme_) {
    std::error_code ignored;
    std::filesystem::remove(pending_file(), ignored);
  }
}

OAuthTokenSet OAuthSignIn::complete(double limitSeconds, const OAuthTokenClient& client,
                                    const platform::CancellationToken* stop) const {
  const std::string done = html_page("Kestrova", localized("oauth.page.done"));
  const std::string failed = html_page("Kestrova", localized("oauth.page.failed"));
  // The browser is told "complete" only for a callback that can complete: our state, no
  // error and a code. The checks below say why any other one failed.
  const QueryItems items = listener_.awaitCallback(
      limitSeconds,
      [&](const QueryItems& got) {
        const auto code = item(got, "code");
        return item(got, "state") == state_ && !item(got, "error") && code && !code->empty();
      },
      done, failed, stop);
  // RFC 6749 §10.12: a callback whose state is not ours may be forged.
  if (item(items, "state") != state_) {
    log_line(log_kind::kFailure, kComponent, "回调的 state 不匹配，已拒绝");
    throw OAuthError::callbackRejected(localized("oauth.callback.state"));
  }
  if (auto error = item(items, "error")) {
    throw OAuthError::callbackRejected(
        localized_format("oauth.callback.refused", printable(mask_token_like(*error))));
  }
  const auto code = item(items, "code");
  if (!code || code->empty())
    throw OAuthError::callbackRejected(localized("oauth.callback.no_code"));
  return client.exchangeCode(provider_, clientId_, clientSecret_, *code, pkce_.verifier,
                             redirectURI_);
}

bool OAuthSignIn::forwardCustomSchemeCallback(std::string_view url) {
  const std::string prefix(kCustomSchemeRedirectURI);
  if (!url.starts_with(prefix) || (url.size() > prefix.size() && url[prefix.size()] != '?'))
    return false;
  std::ifstream in(pending_file());
  const Json pending = Json::parse(in, nullptr, false);
  if (!pending.is_object() || !pending.contains("port") || !pending["port"].is_number_unsigned())
    throw OAuthError::callbackRejected(localized("oauth.callback.none_waiting"));
  const auto port = pending["port"].get<unsigned>();
  if (port == 0 || port > 65535)
    throw OAuthError::callbackRejected(localized("oauth.callback.none_waiting"));
  std::string target(OAuthLoopbackListener::kCallbackPath);
  target += url.substr(prefix.size());
  send_to_listener(static_cast<uint16_t>(port), target);
  return true;
}

}  // namespace kestrova::mail
