// OAuth 2.0 sign-in (loopback redirect, PKCE, token requests) and the Gmail REST client,
// all against the fixture's OAuth server (tests/support/mail_servers/oauth_server.py).
#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <future>
#include <map>
#include <thread>

#include "mail/gmail_api_service.h"
#include "mail/google_oauth_service.h"
#include "mail/oauth_sign_in.h"
#include "support/mail_servers.h"
#include "support/test_support.h"
#include "util/json.h"
#include "util/uuid.h"

namespace kestrova::mail {
namespace {

using testing::MailServers;

class OAuthTest : public ::testing::Test {
 protected:
  OAuthTest() { setenv("KESTROVA_CREDENTIAL_STORE", "file", 1); }

  std::string server() const { return "http://127.0.0.1:" + std::to_string(servers_.oauth); }

  OAuthProvider provider() const {
    OAuthProvider p = OAuthProvider::microsoft();
    p.authorizationEndpoint = server() + "/authorize";
    p.tokenEndpoint = server() + "/token";
    return p;
  }

  platform::HttpResponse get(const std::string& url) const {
    platform::HttpRequest request;
    request.method = "GET";
    request.url = url;
    return platform::HttpTransport().perform(request);
  }

  void control(const Json& command) const {
    platform::HttpRequest request;
    request.url = server() + "/control";
    request.body = command.dump();
    ASSERT_EQ(platform::HttpTransport().perform(request).status, 200);
  }

  // What a browser does: asks the authorisation endpoint and follows its redirect to the
  // listener; returns the listener's answer status.
  std::future<long> browse(const std::string& url) const {
    return std::async(std::launch::async, [this, url] {
      const auto redirect = get(url);
      return redirect.status == 302 ? get(redirect.redirectLocation).status : 0L;
    });
  }

  OAuthTokenSet signIn(const std::string& clientId) {
    OAuthSignIn signIn(provider(), clientId, "", user_);
    auto browser = browse(signIn.authorizationURL());
    auto tokens = signIn.complete(30);
    EXPECT_EQ(browser.get(), 200);
    return tokens;
  }

  testing::TempDir dir_;
  testing::ScopedHome home_{dir_.path()};
  const MailServers& servers_ = MailServers::shared();
  const std::string user_ = servers_.fresh_user();
};

template <typename E, typename F>
std::string failure(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "(no failure)";
}

TEST_F(OAuthTest, BadRedirectsAndTokenRepliesEndWithAClearMessage) {
  {  // a callback with another state gets the failure page; no second request is taken
    OAuthSignIn signIn(provider(), "c", "", user_);
    auto forged = std::async(std::launch::async, [&] {
      return get(signIn.redirectURI() + "?code=stolen&state=guess").status;
    });
    EXPECT_NE(failure<OAuthError>([&] { signIn.complete(30); }).find("state 不匹配"),
              std::string::npos);
    EXPECT_EQ(forged.get(), 400);
    EXPECT_THROW(get(signIn.redirectURI() + "?code=x"), platform::HttpError);
  }
  {  // stray requests (the browser's favicon, another path) are answered and ignored
    OAuthSignIn signIn(provider(), "c-" + new_uuid(), "", user_);
    const std::string root = signIn.redirectURI().substr(0, signIn.redirectURI().find("/oauth"));
    auto browser = std::async(std::launch::async, [&] {
      std::vector<long> statuses{get(root + "/favicon.ico").status,
                                 get(root + "/oauth/other?code=x").status};
      const auto redirect = get(signIn.authorizationURL());
      statuses.push_back(get(redirect.redirectLocation).status);
      return statuses;
    });
    EXPECT_FALSE(signIn.complete(30).refreshToken.empty());
    EXPECT_EQ(browser.get(), (std::vector<long>{404, 404, 200}));
  }
  const struct {
    std::string reply, expected;
  } cases[] = {{"500", "状态码 500"},
               {"garbage", "无法解析"},
               {"no_refresh", "没有返回刷新令牌"},
               {"crlf", "控制字符"},
               {"echo", "状态码 400 (invalid_grant *** ***)"}};
  for (const auto& c : cases) {
    const std::string client = "client-" + new_uuid();
    control({{"client_id", client}, {"token_reply", c.reply}});
    const auto message = failure<OAuthError>([&] { signIn(client); });
    EXPECT_NE(message.find(c.expected), std::string::npos) << c.reply << ": " << message;
    EXPECT_EQ(message.find("at-"), std::string::npos) << message;
    EXPECT_EQ(message.find("Echoed"), std::string::npos) << message;
  }
}

// A signal handled while the sign-in waits (the service's SIGTERM handler, a profiler's
// timer) wakes the wait early; it goes on waiting for the browser instead of giving up.
TEST(OAuthLoopback, SignalsDuringTheWaitDoNotEndIt) {
  struct sigaction action {
  }, saved{};
  action.sa_handler = [](int) {};  // no SA_RESTART: the wait is interrupted
  sigaction(SIGUSR1, &action, &saved);
  OAuthLoopbackListener listener;
  const pthread_t waiter = pthread_self();
  auto browser = std::async(std::launch::async, [&] {
    for (int i = 0; i < 20; ++i) {
      pthread_kill(waiter, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    platform::HttpRequest request;
    request.method = "GET";
    request.url = listener.redirectURI() + "?code=c1";
    return platform::HttpTransport().perform(request).status;
  });
  QueryItems items;
  EXPECT_NO_THROW(items = listener.awaitCallback(
                      30, [](const QueryItems&) { return true; }, "<p>ok</p>", "<p>no</p>"));
  EXPECT_EQ(browser.get(), 200);
  EXPECT_EQ(items, (QueryItems{{"code", "c1"}}));
  sigaction(SIGUSR1, &saved, nullptr);
}

TEST(OAuthRequests, PKCEAndAuthorizationRequests) {
  // RFC 7636 appendix B.
  EXPECT_EQ(PKCEPair::challengeFor("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  GoogleOAuthService google;
  google.clientId = "id 1";
  EXPECT_EQ(google.authorizationURL(),
            "https://accounts.google.com/o/oauth2/v2/auth?client_id=id%201&redirect_uri="
            "com.kestrova.mail%3A%2Foauth%2Fcallback&response_type=code&scope=https%3A%2F%2F"
            "www.googleapis.com%2Fauth%2Fgmail.readonly%20https%3A%2F%2Fwww.googleapis.com%2F"
            "auth%2Fgmail.send%20https%3A%2F%2Fwww.googleapis.com%2Fauth%2Fgmail.modify"
            "&access_type=offline&prompt=consent");
  EXPECT_EQ(failure<OAuthError>([&] { google.authorize([](const std::string&) { return true; }); }),
            "需要实现 OAuth 回调处理");

  OAuthSignIn signIn(OAuthProvider::microsoft(), "cid", "", "");
  const auto query =
      form_decode(signIn.authorizationURL().substr(signIn.authorizationURL().find('?') + 1));
  ASSERT_TRUE(query);
  const std::map<std::string, std::string> items(query->begin(), query->end());
  EXPECT_EQ(items.at("scope"),
            "https://outlook.office.com/IMAP.AccessAsUser.All https://outlook.office.com/SMTP.Send "
            "offline_access");
  EXPECT_EQ(items.at("code_challenge_method"), "S256");
}

TEST_F(OAuthTest, GmailClientSendsTheDocumentedRequests) {
  GmailAPIService gmail;
  gmail.baseURL = server() + "/gmail/v1";
  EXPECT_EQ(failure<GmailAPIError>([&] { gmail.listLabels("me"); }), "缺少访问令牌");
  const std::string token = "g-" + new_uuid();
  gmail.accessToken = token;

  EXPECT_EQ(gmail.listMessages("me", 10, "np2").nextPageToken, "np2");
  EXPECT_EQ(gmail.getMessage("me", "m1").payload.parts->at(0).body->data, "aGk");
  EXPECT_EQ(gmail.sendMessage("me", "UmF3").labelIds, std::vector<std::string>{"SENT"});
  EXPECT_EQ(gmail.listLabels("me").labels[1].labelListVisibility, "labelShow");

  const Json sent = Json::parse(get(server() + "/requests?token=" + token).body);
  ASSERT_EQ(sent.size(), 4u);
  const std::pair<std::string, std::string> expected[] = {
      {"/gmail/v1/users/me/messages", "maxResults=10&pageToken=np2"},
      {"/gmail/v1/users/me/messages/m1", "format=full"},
      {"/gmail/v1/users/me/messages/send", ""},
      {"/gmail/v1/users/me/labels", ""}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(sent[i]["path"], expected[i].first);
    EXPECT_EQ(sent[i]["query"], expected[i].second);
    EXPECT_EQ(sent[i]["authorization"], "Bearer " + token);
  }
  EXPECT_EQ(sent[2]["method"], "POST");
  EXPECT_EQ(sent[2]["content_type"], "application/json");
  EXPECT_EQ(Json::parse(sent[2]["body"].get<std::string>()), (Json{{"raw", "UmF3"}}));

  gmail.accessToken = "garbage";
  EXPECT_EQ(failure<GmailAPIError>([&] { gmail.listLabels("me"); }), "数据解析失败");
  gmail.accessToken = "expired";
  EXPECT_EQ(failure<GmailAPIError>([&] { gmail.listLabels("me"); }), "请求失败，状态码: 401");
}

}  // namespace
}  // namespace kestrova::mail
