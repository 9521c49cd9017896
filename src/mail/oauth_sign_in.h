#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "mail/oauth_token.h"

namespace kestrova::platform {
class CancellationToken;
}

namespace kestrova::mail {

using QueryItems = std::vector<std::pair<std::string, std::string>>;

// The receiving end of an OAuth redirect for a native program (RFC 8252 §7.3): a listener
// on an ephemeral port of 127.0.0.1 that takes exactly one request to kCallbackPath,
// answers it with a short page and closes; other requests (a browser's favicon) are
// answered "not found" and ignored. Connections that send no request line within
// kRequestSeconds (a browser's speculative connections) are dropped without counting.
class OAuthLoopbackListener {
 public:
  static constexpr std::string_view kCallbackPath = "/oauth/callback";
  static constexpr double kRequestSeconds = 10;
  static constexpr size_t kMaxRequestBytes = 16384;

  // Binds the socket; throws OAuthError when no loopback port can be had.
  OAuthLoopbackListener();
  ~OAuthLoopbackListener();
  OAuthLoopbackListener(const OAuthLoopbackListener&) = delete;
  OAuthLoopbackListener& operator=(const OAuthLoopbackListener&) = delete;

  uint16_t port() const { return port_; }
  // "http://127.0.0.1:PORT/oauth/callback".
  std::string redirectURI() const;

  // Waits at most `limitSeconds` for a GET of kCallbackPath, answers it with `successPage`
  // (status 200) when `succeeded(items)` holds, else with `failurePage` (400), closes the
  // listener and returns the query items. Requests for any other path or method (a
  // favicon) get a 404 page and do not count. Throws OAuthError::callbackRejected on
  // time-out, a malformed callback, or when `stop` (or the process's token) is cancelled
  // (noticed within platform::kCancellationCheckInterval).
  QueryItems awaitCallback(double limitSeconds,
                           const std::function<bool(const QueryItems&)>& succeeded,
                           const std::string& successPage, const std::string& failurePage,
                           const platform::CancellationToken* stop = nullptr);

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// One interactive sign-in: the authorisation request with PKCE (RFC 7636, S256) and a
// random state, the redirect received on the loopback listener, the state checked and the
// code exchanged for tokens. With a custom-scheme redirect URI the provider sends the
// browser to that URI instead; the desktop hands it to `kestrova open`, which forwards the
// query to this sign-in's listener (see forwardCustomSchemeCallback).
class OAuthSignIn {
 public:
  // How long a sign-in waits for the user to finish in the browser.
  static constexpr double kDefaultWaitSeconds = 300;
  static constexpr std::string_view kCustomSchemeRedirectURI = "com.kestrova.mail:/oauth/callback";

  OAuthSignIn(OAuthProvider provider, std::string clientId, std::string clientSecret,
              std::string loginHint, bool customSchemeRedirect = false);
  ~OAuthSignIn();

  const std::string& authorizationURL() const { return authorizationURL_; }
  const std::string& redirectURI() const { return redirectURI_; }

  // Waits for the redirect, checks it and exchanges the code. Throws OAuthError
  // (callbackRejected for a wrong state, an error answer or no code, or a wait given up
  // through `stop`; the token client's errors). Nothing is stored here: the caller files
  // the tokens.
  OAuthTokenSet complete(double limitSeconds = kDefaultWaitSeconds,
                         const OAuthTokenClient& client = OAuthTokenClient(),
                         const platform::CancellationToken* stop = nullptr) const;

  // `kestrova open` with a custom-scheme callback link: hands its query to the sign-in that
  // waits for it. False when `url` is no such link; throws OAuthError when no sign-in waits.
  static bool forwardCustomSchemeCallback(std::string_view url);

 private:
  OAuthProvider provider_;
  std::string clientId_;
  std::string clientSecret_;
  std::string state_;
  PKCEPair pkce_;
  mutable OAuthLoopbackListener listener_;
  std::string redirectURI_;
  std::string authorizationURL_;
  bool customScheme_ = false;
};

}  // namespace kestrova::mail
