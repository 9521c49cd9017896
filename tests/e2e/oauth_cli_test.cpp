// A new user adds an Outlook-type account by signing in (the fixture's OAuth server stands
// in for Microsoft's; the test follows the redirect as the browser would), syncs over
// XOAUTH2 with tokens that expire at once, is told to sign in again once they are revoked;
// and the scripting commands print tool results with the two error statuses.
#include <gtest/gtest.h>

#include <optional>

#include "cli_fixture.h"
#include "platform/http_transport.h"
#include "util/json.h"

namespace kestrova::testing {
namespace {

class OAuthCliTest : public CliTest {
 protected:
  std::string oauth(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(servers_.oauth) + path;
  }
  platform::HttpResponse send(std::string method, const std::string& url,
                              std::string body = {}) const {
    platform::HttpRequest request;
    request.method = std::move(method);
    request.url = url;
    request.body = std::move(body);
    return platform::HttpTransport().perform(request);
  }
  // `kestrova account add --oauth` for the test's user against the fixture's servers; returns
  // the sign-in address it printed.
  std::string start_sign_in(std::optional<ChildProcess>& add, const std::string& client,
                            std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"account",
                                     "add",
                                     "--provider",
                                     "outlook",
                                     "--oauth",
                                     "--client-id",
                                     client,
                                     "--email",
                                     user_,
                                     "--imap-host",
                                     servers_.host,
                                     "--imap-port",
                                     std::to_string(servers_.imap_plain),
                                     "--imap-encryption",
                                     "startTLS",
                                     "--smtp-host",
                                     servers_.host,
                                     "--smtp-port",
                                     std::to_string(servers_.smtp_starttls),
                                     "--smtp-encryption",
                                     "startTLS",
                                     "--imap-ca-file",
                                     servers_.ca_file.string(),
                                     "--smtp-ca-file",
                                     servers_.ca_file.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    run({"settings", "set", "oauthOutlookAuthorizationEndpoint", oauth("/authorize")});
    run({"settings", "set", "oauthOutlookTokenEndpoint", oauth("/token")});
    add.emplace(KESTROVA_BINARY, args, environment());
    while (auto line = add->read_line())
      if (line->starts_with("http")) return *line;
    return "";
  }
};

TEST_F(OAuthCliTest, SignInSyncsRefreshesAndAsksToSignInAgainWhenRevoked) {
  const std::string client = "cli-" + user_;
  // Access tokens that are due for refresh as soon as they are issued (a lifetime within
  // the refresh margin), yet still accepted by the servers for the minute a command takes.
  send("POST", oauth("/control"), Json{{"client_id", client}, {"lifetime", 60}}.dump());
  servers_.deliver(user_, "INBOX", "From: a@example.org\r\nSubject: signed in\r\n\r\nhi\r\n");
  std::optional<ChildProcess> add;
  const std::string url = start_sign_in(add, client);
  ASSERT_TRUE(url.starts_with(oauth("/authorize?"))) << url;
  const auto redirect = send("GET", url);
  ASSERT_EQ(redirect.status, 302);
  EXPECT_EQ(send("GET", redirect.redirectLocation).status, 200);
  ASSERT_EQ(add->wait(60000), 0);

  auto synced = run({"sync"});
  ASSERT_EQ(synced.exit_code, 0) << synced.out << synced.err;
  EXPECT_NE(synced.out.find(user_ + " / INBOX: 1 封, 新邮件 1"), std::string::npos) << synced.out;

  send("POST", oauth("/control"), Json{{"email", user_}, {"revoke", true}}.dump());
  synced = run({"sync"});
  EXPECT_NE(synced.exit_code, 0);
  EXPECT_NE((synced.out + synced.err).find("请重新登录"), std::string::npos)
      << synced.out << synced.err;
  EXPECT_EQ((synced.out + synced.err).find("rt-"), std::string::npos);
}

TEST_F(OAuthCliTest, CustomSchemeRedirectArrivesThroughKestrovaOpen) {
  std::optional<ChildProcess> add;
  const std::string url =
      start_sign_in(add, "scheme-" + user_, {"--custom-scheme-redirect", "--skip-test"});
  const auto redirect = send("GET", url);
  ASSERT_TRUE(redirect.redirectLocation.starts_with("com.kestrova.mail:/oauth/callback?code="));
  const auto opened = run({"open", redirect.redirectLocation});
  EXPECT_EQ(opened.exit_code, 0) << opened.err;
  ASSERT_EQ(add->wait(60000), 0);
  EXPECT_NE(run({"account", "list"}).out.find(user_), std::string::npos);
}

TEST_F(OAuthCliTest, ToolCommandsPrintSortedJsonAndScriptErrorNumbers) {
  add_account();
  auto listed = run({"tool", "call", "list_accounts", "--parameters", "{}"});
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  const Json accounts = Json::parse(listed.out);
  ASSERT_TRUE(accounts.is_array());
  EXPECT_EQ(listed.out, accounts.dump(2) + "\n");
  EXPECT_EQ(run({"tool", "list-accounts"}).out, listed.out);

  const struct {
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {{"tool", "call", "list_accounts", "--parameters", "[1]"},
       8,
       "`with parameters` must be a JSON object string"},
      {{"tool", "search", "--query", "x", "--limit", "many"}, 5, "Missing or invalid parameters"},
      {{"tool", "call", "no_such_tool", "--parameters", "{}"}, 8, "Unknown tool: no_such_tool"},
      {{"tool", "delete", "--message-id", "1"}, 8, "Tool not exposed at current MCP level"},
  };
  ASSERT_EQ(run({"settings", "set", "mcpExposureLevel", "readonly"}).exit_code, 0);
  for (const auto& c : cases) {
    const auto result = run(c.args);
    EXPECT_EQ(result.exit_code, c.status) << c.message;
    EXPECT_EQ(result.err, c.message + "\n");
    EXPECT_EQ(result.out, "");
  }
  const auto tools = Json::parse(run({"tool", "list"}).out);
  ASSERT_FALSE(tools.empty());
  EXPECT_EQ(tools[0], (Json{{"description", "List local kestrova email accounts."},
                            {"name", "list_accounts"}}));
}

}  // namespace
}  // namespace kestrova::testing
