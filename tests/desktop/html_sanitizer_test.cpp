#include "app/desktop/html_sanitizer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrova::app::desktop {
namespace {

struct Case {
  const char* name;
  std::string html;
  std::vector<std::string> kept;     // must appear in the output
  std::vector<std::string> removed;  // must not appear (compared case-sensitively)
  int blocked = 0;
  int trackers = 0;
};

TEST(HtmlSanitizerTest, KeepsWhatTheViewDrawsAndNothingThatActs) {
  const std::vector<Case> cases = {
      {"script with content",
       "<p>Hi<script>alert('x')</script> there</p>",
       {"<p>Hi there</p>"},
       {"script", "alert"}},
      {"script end tag hidden in a string",
       "<script>var s = '</scr' + 'ipt><b>'; steal()</script><b>ok</b>",
       {"<b>ok</b>"},
       {"steal", "script"}},
      {"event handlers",
       "<a href=\"https://a.example\" onclick=\"evil()\" onmouseover=x>a</a>",
       {"<a href=\"https://a.example\">a</a>"},
       {"onclick", "evil", "onmouseover"}},
      {"javascript link, also written with references",
       "<a href=\"javascript:evil()\">1</a><a href=\"java&#115;cript&colon;evil()\">2</a>"
       "<a href=\" JAVASCRIPT:evil()\">3</a>",
       {"<a>1</a>", "<a>2</a>", "<a>3</a>"},
       {"evil", "href"}},
      {"addresses a browser reads as relative are not taken for web links",
       "<a href=\"ht&#1;tp://x.example/\">1</a><a href=\"ht tp://y.example/\">2</a>"
       "<a href=\"\n\thttps://ok.example/\">3</a><img src=\"cid&#2;:z\" alt=z>",
       {"<a>1</a>", "<a>2</a>", "href=\"\n\thttps://ok.example/\""},
       {"x.example", "y.example", "cid"}},
      {"mail and web links kept, escaped",
       "<a href='mailto:a@b.example'>m</a><a href=\"https://x.example/?a=1&amp;b=\"\">w</a>",
       {"href=\"mailto:a@b.example\"", "href=\"https://x.example/?a=1&amp;b=\""},
       {}},
      {"frames, forms, objects and the head",
       "<head><title>T</title><link rel=stylesheet href=https://css.example/s.css></head>"
       "<iframe src=https://x.example></iframe><form action=/post><input name=q>"
       "<button>Send</button><textarea>secret</textarea></form><object data=x></object>"
       "<embed src=y><p>body</p>",
       {"Send", "<p>body</p>"},
       {"iframe", "form", "input", "textarea", "secret", "object", "embed", "link", "css.example",
        "<title>"}},
      {"style sheets and styles",
       "<style>p{color:red}</style><p style=\"color: #333; background: url(https://t.example/p); "
       "position: fixed; font-weight: bold; width: expression(alert(1))\">x</p>",
       {"<p style=\"color: #333; font-weight: bold\">x</p>"},
       {"url(", "position", "expression", "p{color"}},
      {"remote images blocked, alternative text shown",
       "<img src=\"https://img.example/logo.png\" alt=\"Shop logo\" width=200><p>x</p>",
       {"[Shop logo]", "<p>x</p>"},
       {"img.example", "<img"},
       1,
       0},
      {"tracking pixels never kept",
       "<img src=\"https://t.example/open.gif\" width=\"1\" height=\"1\">"
       "<img src=\"https://t.example/o2.gif\" style=\"display: none\">",
       {},
       {"t.example"},
       0,
       2},
      {"embedded images stay",
       "<img src=\"cid:logo@shop\"><img src=\"data:image/png;base64,AAAA\">"
       "<img src=\"data:text/html,<script>\"><img src=\"file:///etc/passwd\">",
       {"src=\"cid:logo@shop\"", "src=\"data:image/png;base64,AAAA\""},
       {"text/html", "passwd"}},
      {"comments and declarations",
       "<!DOCTYPE html><!-- <script>x()</script> --><p>a</p><?xml x?>",
       {"<p>a</p>"},
       {"DOCTYPE", "x()", "<?"}},
      {"unclosed and stray tags balanced",
       "<div><b>bold<i>both</div></i></u><p>",
       {"<div><b>bold<i>both</i></b></div><p></p>"},
       {"</u>"}},
      {"stray angle brackets escaped", "a < b > c <3 <", {"a &lt; b &gt; c &lt;3 &lt;"}, {}},
      {"attribute without quotes cannot open a tag",
       "<p title=a\"><script>x</script>\">t</p>",
       {"t"},
       {"<script"}},
      {"unknown elements keep their text",
       "<marquee><blink>hello</blink></marquee><svg><text>no</text></svg>",
       {"hello"},
       {"marquee", "blink", "no"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto result = HtmlSanitizer::sanitize(c.html);
    for (const auto& k : c.kept) EXPECT_NE(result.html.find(k), std::string::npos) << result.html;
    for (const auto& r : c.removed)
      EXPECT_EQ(result.html.find(r), std::string::npos) << result.html;
    EXPECT_EQ(result.blockedRemoteImages, c.blocked);
    EXPECT_EQ(result.droppedTrackers, c.trackers);
  }
}

TEST(HtmlSanitizerTest, RemoteImagesLoadOnlyWhenAllowedAndNeverFromTrackers) {
  const std::string html =
      "<img src=\"https://img.example/a.png\" alt=\"A\"><img src=\"https://spy.example/b.png\">";
  HtmlSanitizer::Options options;
  options.remoteImages = HtmlSanitizer::RemoteImages::allow;
  options.trackerHosts = {"spy.example"};
  const auto result = HtmlSanitizer::sanitize(html, options);
  EXPECT_NE(result.html.find("src=\"https://img.example/a.png\""), std::string::npos);
  EXPECT_EQ(result.html.find("spy.example"), std::string::npos);
  EXPECT_EQ(result.blockedRemoteImages, 0);
  EXPECT_EQ(result.droppedTrackers, 1);
}

TEST(HtmlSanitizerTest, PlainTextKeepsLinesQuotesAndLinks) {
  const std::string text =
      "Hello <team>,\n\n\n\nsee https://example.com/a?b=1&c=2.\n> quoted\n>> deeper\nbye";
  const std::string compact = HtmlSanitizer::plain_text_html(text, true);
  EXPECT_NE(compact.find("Hello &lt;team&gt;,<br><br>see"), std::string::npos) << compact;
  EXPECT_NE(compact.find("<a href=\"https://example.com/a?b=1&amp;c=2\">"), std::string::npos);
  EXPECT_NE(compact.find("</a>.<br>"), std::string::npos);  // the full stop is not the link's
  EXPECT_NE(compact.find("color: #5a7fb5\">&gt; quoted"), std::string::npos);
  EXPECT_NE(compact.find("color: #5e9a6a\">&gt;&gt; deeper"), std::string::npos);
  const std::string full = HtmlSanitizer::plain_text_html(text, false);
  EXPECT_NE(full.find(",<br><br><br><br>see"), std::string::npos) << full;
}

TEST(HtmlSanitizerTest, HostOf) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"https://Img.Example.COM/x.png", "img.example.com"},
      {"http://user:pw@host.example:8080/p", "host.example"},
      {"https://[::1]:443/", "[::1]"},
      {"cid:abc", ""},
  };
  for (const auto& [url, host] : cases) EXPECT_EQ(HtmlSanitizer::host_of(url), host) << url;
}

}  // namespace
}  // namespace kestrova::app::desktop
