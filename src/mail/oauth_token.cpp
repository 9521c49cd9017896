#include "mail/oauth_token.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <cctype>

#include "util/base64.h"
#include "util/json.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::mail {

namespace {

constexpr std::string_view kComponent = "OAuth";

// Tokens end up inside SASL exchanges and HTTP headers: a CR, LF or other control byte
// would let a hostile server smuggle a command or a header line.
bool clean_token(std::string_view token) {
  if (token.empty() || token.size() > 16384) return false;
  for (unsigned char c : token)
    if (c < 0x20 || c == 0x7f) return false;
  return true;
}

std::string error_code_of(std::string_view body) {
  const Json json = Json::parse(body, nullptr, false);
  if (json.is_object() && json.contains("error") && json["error"].is_string())
    return json["error"].get<std::string>();
  return {};
}

// "状态码 400 (invalid_grant)": a refusal's status and its RFC 6749 §5.2 error code (the
// body around it is not shown: it may echo what was sent). A server may put anything in
// the code, even the refresh token it was sent: the values of the `sent` form and
// whatever else looks like a token are masked.
std::string refusal_text(const platform::HttpResponse& response,
                         const std::vector<std::pair<std::string, std::string>>& sent) {
  std::string error = error_code_of(response.body);
  for (const auto& [name, value] : sent) {
    if (name == "grant_type" || value.size() < 8) continue;
    for (size_t at = error.find(value); at != std::string::npos; at = error.find(value, at + 3))
      error.replace(at, value.size(), "***");
  }
  error = mask_token_like(error);
  return localized_format("oauth.error.status", response.status) +
         (error.empty() ? "" : " (" + text::prefix_characters(error, 60) + ")");
}

// The token set of a successful answer, checked before anything is kept.
OAuthTokenSet token_set_from(const OAuthTokenResponse& response, const OAuthTokenSet& base) {
  if (!clean_token(response.accessToken))
    throw OAuthError::invalidToken(localized("oauth.error.access_token"));
  if (!response.tokenType.empty() && !text::equals_ci(response.tokenType, "Bearer"))
    throw OAuthError::invalidToken(localized_format(
        "oauth.error.token_type", text::prefix_characters(response.tokenType, 40)));
  OAuthTokenSet tokens = base;
  tokens.accessToken = response.accessToken;
  if (response.refreshToken) {
    if (!clean_token(*response.refreshToken))
      throw OAuthError::invalidToken(localized("oauth.error.refresh_token"));
    tokens.refreshToken = *response.refreshToken;
  }
  // Without a lifetime the token is taken to last an hour, the providers' usual.
  const long lifetime = response.expiresIn > 0 ? response.expiresIn : 3600;
  tokens.expiresAt = now_seconds() + static_cast<double>(lifetime);
  return tokens;
}

bool unreserved(unsigned char c) {
  return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~';
}

void encode_component(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    if (unreserved(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
}

std::optional<std::string> decode_component(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
      };
      const int high = hex(text[i + 1]), low = hex(text[i + 2]);
      if (high < 0 || low < 0) return std::nullopt;
      out += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

// ---- Masking ----

std::string mask_token_like(std::string_view text) {
  // Characters of base64, base64url and the tokens providers issue ("1//0g…", "ya29.…",
  // "EwB…=").
  const auto token_char = [](unsigned char c) {
    return std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '+' ||
           c == '/' || c == '=';
  };
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = at;
    bool digit = false;
    while (end < text.size() && token_char(static_cast<unsigned char>(text[end]))) {
      digit = digit || std::isdigit(static_cast<unsigned char>(text[end]));
      ++end;
    }
    if (end == at) {
      out += text[at++];
      continue;
    }
    const size_t length = end - at;
    // Error codes are words ("invalid_grant", "interaction_required"); a long run with a
    // digit in it, or a very long one, is a value.
    const bool looks_like_token = length >= 40 || (length >= 16 && digit);
    out += looks_like_token ? std::string_view("***") : text.substr(at, length);
    at = end;
  }
  return out;
}

// ---- OAuthError ----

OAuthError OAuthError::notImplemented(const std::string& text) {
  return OAuthError(Kind::notImplemented, text);
}
OAuthError OAuthError::invalidURL() {
  return OAuthError(Kind::invalidURL, localized("oauth.error.invalid_url"));
}
OAuthError OAuthError::tokenExchangeFailed(const std::string& reason) {
  return OAuthError(Kind::tokenExchangeFailed,
                    reason.empty() ? localized("oauth.error.exchange")
                                   : localized_format("oauth.error.exchange_because", reason));
}
OAuthError OAuthError::signInAgain(const std::string& address) {
  return OAuthError(Kind::signInAgain,
                    localized_format("oauth.error.sign_in_again", address, address));
}
OAuthError OAuthError::callbackRejected(const std::string& reason) {
  return OAuthError(Kind::callbackRejected, localized_format("oauth.error.not_finished", reason));
}
OAuthError OAuthError::invalidToken(const std::string& reason) {
  return OAuthError(Kind::invalidToken, localized_format("oauth.error.invalid_token", reason));
}

// ---- OAuthTokenResponse ----

std::optional<OAuthTokenResponse> OAuthTokenResponse::decode(std::string_view body) {
  const Json json = Json::parse(body, nullptr, false);
  if (!json.is_object() || !json.contains("access_token") || !json["access_token"].is_string())
    return std::nullopt;
  OAuthTokenResponse response;
  response.accessToken = json["access_token"].get<std::string>();
  auto text_of = [&](const char* key) -> std::optional<std::string> {
    if (json.contains(key) && json[key].is_string()) return json[key].get<std::string>();
    return std::nullopt;
  };
  if (json.contains("expires_in")) {
    const Json& value = json["expires_in"];
    if (value.is_number_integer()) {
      response.expiresIn = value.get<long>();
    } else if (value.is_string()) {  // some servers send "3599"
      try {
        response.expiresIn = std::stol(value.get<std::string>());
      } catch (const std::exception&) {
        return std::nullopt;
      }
    } else {
      return std::nullopt;
    }
  }
  response.refreshToken = text_of("refresh_token");
  response.scope = text_of("scope").value_or("");
  response.tokenType = text_of("token_type").value_or("");
  return response;
}

// ---- OAuthProvider ----

OAuthProvider OAuthProvider::google() {
  return {"gmail",
          "https://accounts.google.com/o/oauth2/v2/auth",
          "https://oauth2.googleapis.com/token",
          {"https://mail.google.com/"},
          true,
          {{"access_type", "offline"}, {"prompt", "consent"}}};
}

OAuthProvider OAuthProvider::microsoft() {
  return {"outlook",
          "https://login.microsoftonline.com/common/oauth2/v2.0/authorize",
          "https://login.microsoftonline.com/common/oauth2/v2.0/token",
          {"https://outlook.office.com/IMAP.AccessAsUser.All",
           "https://outlook.office.com/SMTP.Send", "offline_access"},
          false,
          {}};
}

std::optional<OAuthProvider> OAuthProvider::named(std::string_view name) {
  if (name == "gmail") return google();
  if (name == "outlook") return microsoft();
  return std::nullopt;
}

// ---- OAuthTokenSet ----

bool OAuthTokenSet::isTokenSet(std::string_view credential) {
  return credential.starts_with(kMarker);
}

std::optional<OAuthTokenSet> OAuthTokenSet::parse(std::string_view credential) {
  if (!isTokenSet(credential)) return std::nullopt;
  const Json json = Json::parse(credential.substr(kMarker.size()), nullptr, false);
  if (!json.is_object()) return std::nullopt;
  OAuthTokenSet tokens;
  try {
    tokens.provider = json.at("provider").get<std::string>();
    tokens.accessToken = json.at("accessToken").get<std::string>();
    tokens.refreshToken = json.at("refreshToken").get<std::string>();
    tokens.expiresAt = json.at("expiresAt").get<double>();
    tokens.tokenEndpoint = json.at("tokenEndpoint").get<std::string>();
    tokens.clientId = json.at("clientId").get<std::string>();
    tokens.clientSecret = json.value("clientSecret", "");
  } catch (const Json::exception&) {
    return std::nullopt;
  }
  if (!clean_token(tokens.accessToken) || !clean_token(tokens.refreshToken)) return std::nullopt;
  return tokens;
}

std::string OAuthTokenSet::serialize() const {
  Json json = {{"provider", provider},           {"accessToken", accessToken},
               {"refreshToken", refreshToken},   {"expiresAt", expiresAt},
               {"tokenEndpoint", tokenEndpoint}, {"clientId", clientId}};
  if (!clientSecret.empty()) json["clientSecret"] = clientSecret;
  return std::string(kMarker) + json.dump();
}

// ---- OAuthTokenClient ----

platform::HttpResponse OAuthTokenClient::post(
    const std::string& endpoint,
    const std::vector<std::pair<std::string, std::string>>& form) const {
  platform::HttpRequest request;
  request.method = "POST";
  request.url = endpoint;
  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"},
                     {"Accept", "application/json"}};
  request.body = form_encode(form);
  request.timeout = kTimeoutSeconds;
  try {
    return transport_.perform(request);
  } catch (const platform::HttpError& e) {
    throw OAuthError::tokenExchangeFailed(e.what());
  }
}

OAuthTokenSet OAuthTokenClient::exchangeCode(const OAuthProvider& provider,
                                             const std::string& clientId,
                                             const std::string& clientSecret,
                                             const std::string& code,
                                             const std::string& codeVerifier,
                                             const std::string& redirectURI) const {
  std::vector<std::pair<std::string, std::string>> form = {{"grant_type", "authorization_code"},
                                                           {"code", code},
                                                           {"redirect_uri", redirectURI},
                                                           {"client_id", clientId},
                                                           {"code_verifier", codeVerifier}};
  if (provider.sendsClientSecret && !clientSecret.empty())
    form.emplace_back("client_secret", clientSecret);
  const platform::HttpResponse response = post(provider.tokenEndpoint, form);
  if (response.status != 200) {
    const std::string refusal = refusal_text(response, form);
    log_line(log_kind::kFailure, kComponent, "令牌端点拒绝授权码，" + refusal);
    throw OAuthError::tokenExchangeFailed(refusal);
  }
  const auto decoded = OAuthTokenResponse::decode(response.body);
  if (!decoded) throw OAuthError::tokenExchangeFailed(localized("oauth.error.unreadable"));
  if (!decoded->refreshToken || decoded->refreshToken->empty())
    throw OAuthError::tokenExchangeFailed(localized("oauth.error.no_refresh_token"));
  OAuthTokenSet base;
  base.provider = provider.name;
  base.tokenEndpoint = provider.tokenEndpoint;
  base.clientId = clientId;
  if (provider.sendsClientSecret) base.clientSecret = clientSecret;
  return token_set_from(*decoded, base);
}

OAuthTokenSet OAuthTokenClient::refresh(const OAuthTokenSet& tokens,
                                        const std::string& address) const {
  std::vector<std::pair<std::string, std::string>> form = {{"grant_type", "refresh_token"},
                                                           {"refresh_token", tokens.refreshToken},
                                                           {"client_id", tokens.clientId}};
  if (!tokens.clientSecret.empty()) form.emplace_back("client_secret", tokens.clientSecret);
  const platform::HttpResponse response = post(tokens.tokenEndpoint, form);
  if (response.status != 200) {
    const std::string refusal = refusal_text(response, form);
    log_line(log_kind::kFailure, kComponent, "刷新访问令牌失败，" + refusal);
    // RFC 6749 §5.2: invalid_grant is an expired or revoked refresh token.
    if (error_code_of(response.body) == "invalid_grant") throw OAuthError::signInAgain(address);
    throw OAuthError::tokenExchangeFailed(localized_format("oauth.error.refresh_failed", refusal));
  }
  const auto decoded = OAuthTokenResponse::decode(response.body);
  if (!decoded) throw OAuthError::tokenExchangeFailed(localized("oauth.error.unreadable"));
  log_line(log_kind::kSuccess, kComponent, "已刷新 " + address + " 的访问令牌");
  return token_set_from(*decoded, tokens);
}

// ---- PKCE, random values, form encoding ----

std::string base64url(std::string_view bytes) {
  std::string text = base64::encode(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+')
      c = '-';
    else if (c == '/')
      c = '_';
  }
  return text;
}

std::string random_token(size_t count) {
  std::string bytes(count, '\0');
  if (gnutls_rnd(GNUTLS_RND_KEY, bytes.data(), bytes.size()) != 0)
    throw OAuthError::callbackRejected(localized("oauth.error.random"));
  return base64url(bytes);
}

PKCEPair PKCEPair::generate() {
  PKCEPair pair;
  pair.verifier = random_token(32);
  pair.challenge = challengeFor(pair.verifier);
  return pair;
}

std::string PKCEPair::challengeFor(std::string_view verifier) {
  unsigned char digest[32];
  gnutls_hash_fast(GNUTLS_DIG_SHA256, verifier.data(), verifier.size(), digest);
  return base64url(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string form_encode(const std::vector<std::pair<std::string, std::string>>& items) {
  std::string out;
  for (const auto& [name, value] : items) {
    if (!out.empty()) out += '&';
    encode_component(out, name);
    out += '=';
    encode_component(out, value);
  }
  return out;
}

std::optional<std::vector<std::pair<std::string, std::string>>> form_decode(
    std::string_view query) {
  std::vector<std::pair<std::string, std::string>> items;
  while (!query.empty()) {
    const size_t end = query.find('&');
    const std::string_view item = query.substr(0, end);
    query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
    if (item.empty()) continue;
    const size_t equals = item.find('=');
    auto name = decode_component(item.substr(0, equals));
    auto value = decode_component(equals == std::string_view::npos ? "" : item.substr(equals + 1));
    if (!name || !value) return std::nullopt;
    items.emplace_back(std::move(*name), std::move(*value));
  }
  return items;
}

}  // namespace kestrova::mail
