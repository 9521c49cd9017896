#pragma once

#include <functional>
#include <string>
#include <vector>

#include "mail/oauth_token.h"
#include "platform/http_transport.h"

namespace kestrova::mail {

// The first half of a Google sign-in with a custom-scheme redirect: the authorisation
// request opened in the browser, and the exchange of the code the redirect brings. The
// complete sign-in (loopback redirect, PKCE, refresh) is OAuthSignIn.
class GoogleOAuthService {
 public:
  static constexpr std::string_view kAuthorizationEndpoint =
      "https://accounts.google.com/o/oauth2/v2/auth";
  static constexpr std::string_view kTokenEndpoint = "https://oauth2.googleapis.com/token";

  std::vector<std::string> scopes = {"https://www.googleapis.com/auth/gmail.readonly",
                                     "https://www.googleapis.com/auth/gmail.send",
                                     "https://www.googleapis.com/auth/gmail.modify"};
  std::string clientId;
  std::string clientSecret;
  std::string redirectURI = "com.kestrova.mail:/oauth/callback";
  // Where the requests go; Google's endpoints unless a test points them elsewhere.
  std::string authorizationEndpoint = std::string(kAuthorizationEndpoint);
  std::string tokenEndpoint = std::string(kTokenEndpoint);
  platform::HttpTransport transport;

  // The authorisation request: client_id, redirect_uri, response_type=code, the scopes
  // joined with single spaces, access_type=offline, prompt=consent, in that order. Throws
  // OAuthError::invalidURL when the endpoint is not an https/http URL.
  std::string authorizationURL() const;

  // Opens the authorisation request with `open` (the desktop opener), then throws
  // OAuthError::notImplemented: this object does not receive the custom-scheme redirect.
  [[noreturn]] void authorize(const std::function<bool(const std::string&)>& open) const;

  // The code for tokens: POST of code, client_id, client_secret, redirect_uri and
  // grant_type=authorization_code. Throws OAuthError::tokenExchangeFailed for any status
  // but 200, a transport failure, or a body that does not decode.
  OAuthTokenResponse exchangeCode(const std::string& code) const;
};

}  // namespace kestrova::mail
