#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/http_transport.h"
#include "util/error.h"

namespace kestrova::mail {

// A failed OAuth 2.0 step. The description never holds a token, a code or a secret.
class OAuthError : public Error {
 public:
  enum class Kind {
    notImplemented,
    invalidURL,
    tokenExchangeFailed,
    // The refresh token was refused (RFC 6749 §5.2 invalid_grant): expired or revoked; only
    // a new interactive sign-in helps.
    signInAgain,
    // The redirect did not bring a usable answer (wrong state, an error, no code).
    callbackRejected,
    invalidToken,
  };

  static OAuthError notImplemented(const std::string& text);
  static OAuthError invalidURL();
  static OAuthError tokenExchangeFailed(const std::string& reason = {});
  static OAuthError signInAgain(const std::string& address);
  static OAuthError callbackRejected(const std::string& reason);
  static OAuthError invalidToken(const std::string& reason);

  Kind kind() const { return kind_; }

 private:
  OAuthError(Kind kind, const std::string& description) : Error(description), kind_(kind) {}
  Kind kind_;
};

// A token endpoint's answer (RFC 6749 §5.1).
struct OAuthTokenResponse {
  std::string accessToken;                  // "access_token"
  long expiresIn = 0;                       // "expires_in", seconds
  std::optional<std::string> refreshToken;  // "refresh_token"
  std::string scope;                        // "scope"
  std::string tokenType;                    // "token_type"

  // Decodes the JSON body; nothing when it is not an object with a string access_token.
  // Unknown members are ignored, missing optional ones left empty.
  static std::optional<OAuthTokenResponse> decode(std::string_view body);
};

// The authorisation server of a mail provider that signs in with OAuth 2.0.
struct OAuthProvider {
  std::string name;  // "gmail" or "outlook"
  std::string authorizationEndpoint;
  std::string tokenEndpoint;
  std::vector<std::string> scopes;
  // Google's desktop clients hold a (non-confidential) secret that its token endpoint
  // requires; Microsoft's public clients must not send one.
  bool sendsClientSecret = false;
  // Query items that follow the standard ones in the authorisation request.
  std::vector<std::pair<std::string, std::string>> extraAuthorizationItems;

  // Google: the full-access mail scope (IMAP and SMTP), offline access with forced consent
  // so that a refresh token always comes back.
  static OAuthProvider google();
  // Microsoft identity platform, "common" tenant (work, school and personal accounts):
  // IMAP, SMTP and offline access on outlook.office.com.
  static OAuthProvider microsoft();
  // By provider name; nothing for a provider that does not sign in with OAuth.
  static std::optional<OAuthProvider> named(std::string_view name);
};

// What the credential store keeps for an account that signs in with OAuth 2.0 instead of a
// password: the tokens, when the access token expires, and what a refresh needs.
struct OAuthTokenSet {
  // A stored credential that starts with this is a token set, anything else a password.
  static constexpr std::string_view kMarker = "kestrova-oauth2:";
  // An access token this close to its expiry is refreshed before a session opens.
  static constexpr double kRefreshMarginSeconds = 120;

  std::string provider;
  std::string accessToken;
  std::string refreshToken;
  double expiresAt = 0;  // seconds since 1970
  std::string tokenEndpoint;
  std::string clientId;
  std::string clientSecret;  // empty for public clients

  static bool isTokenSet(std::string_view credential);
  // Nothing when `credential` is not a token set or is damaged.
  static std::optional<OAuthTokenSet> parse(std::string_view credential);
  std::string serialize() const;
  bool needsRefresh(double now) const { return now + kRefreshMarginSeconds >= expiresAt; }
};

// Token requests (RFC 6749 §4.1.3 with PKCE, §6 refresh) against a provider's token
// endpoint, over the platform's HTTP client.
class OAuthTokenClient {
 public:
  static constexpr double kTimeoutSeconds = 30;

  explicit OAuthTokenClient(platform::HttpTransport transport = {})
      : transport_(std::move(transport)) {}

  // The authorisation code for tokens. The answer must carry a refresh token. Throws
  // OAuthError: tokenExchangeFailed (transport, status, body), invalidToken.
  OAuthTokenSet exchangeCode(const OAuthProvider& provider, const std::string& clientId,
                             const std::string& clientSecret, const std::string& code,
                             const std::string& codeVerifier, const std::string& redirectURI) const;

  // A fresh access token for `tokens` (keeping the refresh token unless a new one comes).
  // Throws OAuthError: signInAgain when the refresh token is refused, tokenExchangeFailed
  // or invalidToken otherwise.
  OAuthTokenSet refresh(const OAuthTokenSet& tokens, const std::string& address) const;

 private:
  platform::HttpResponse post(const std::string& endpoint,
                              const std::vector<std::pair<std::string, std::string>>& form) const;
  platform::HttpTransport transport_;
};

// RFC 7636 PKCE with S256.
struct PKCEPair {
  std::string verifier;   // 43 characters of base64url
  std::string challenge;  // BASE64URL(SHA-256(verifier)), no padding

  static PKCEPair generate();
  static std::string challengeFor(std::string_view verifier);
};

// `text` with every value that looks like a token, a code or a secret replaced by "***":
// runs of token characters (letters, digits and "-._~+/=") of 40 or more, or of 16 or more
// that hold a digit. Words such as RFC 6749 error codes stay.
std::string mask_token_like(std::string_view text);

// Base64url (RFC 4648 §5) without padding of `bytes`.
std::string base64url(std::string_view bytes);
// `count` bytes from the system's cryptographic random source, as base64url.
std::string random_token(size_t count);
// application/x-www-form-urlencoded, which the query strings use too (RFC 3986 unreserved
// characters kept, everything else percent-encoded, spaces as %20).
std::string form_encode(const std::vector<std::pair<std::string, std::string>>& items);
// The items of a query string; "+" reads as a space. Nothing when a "%" escape is broken.
std::optional<std::vector<std::pair<std::string, std::string>>> form_decode(std::string_view query);

}  // namespace kestrova::mail
