#include "mail/google_oauth_service.h"

namespace kestrova::mail {

std::string GoogleOAuthService::authorizationURL() const {
  if (!authorizationEndpoint.starts_with("https://") &&
      !authorizationEndpoint.starts_with("http://"))
    throw OAuthError::invalidURL();
  std::string scope;
  for (const auto& item : scopes) scope += (scope.empty() ? "" : " ") + item;
  return authorizationEndpoint + "?" +
         form_encode({{"client_id", clientId},
                      {"redirect_uri", redirectURI},
                      {"response_type", "code"},
                      {"scope", scope},
                      {"access_type", "offline"},
                      {"prompt", "consent"}});
}

void GoogleOAuthService::authorize(const std::function<bool(const std::string&)>& open) const {
  open(authorizationURL());
  throw OAuthError::notImplemented("需要实现 OAuth 回调处理");
}

OAuthTokenResponse GoogleOAuthService::exchangeCode(const std::string& code) const {
  platform::HttpRequest request;
  request.method = "POST";
  request.url = tokenEndpoint;
  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  request.body = form_encode({{"code", code},
                              {"client_id", clientId},
                              {"client_secret", clientSecret},
                              {"redirect_uri", redirectURI},
                              {"grant_type", "authorization_code"}});
  platform::HttpResponse response;
  try {
    response = transport.perform(request);
  } catch (const platform::HttpError&) {
    throw OAuthError::tokenExchangeFailed();
  }
  if (response.status != 200) throw OAuthError::tokenExchangeFailed();
  auto decoded = OAuthTokenResponse::decode(response.body);
  if (!decoded) throw OAuthError::tokenExchangeFailed();
  return *decoded;
}

}  // namespace kestrova::mail
