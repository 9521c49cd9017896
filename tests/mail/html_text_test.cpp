// HTML mail rendered for the terminal (util/html_text), on hand-made fragments and on the
// HTML bodies of the project's sample and golden messages.

#include "util/html_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "mail/email_content_decoder.h"

namespace kestrova {
namespace {

TEST(HtmlText, KeepsStructureAndFootnotesLinks) {
  struct Case {
    const char* html;
    const char* text;
  } cases[] = {
      {"<html><head><title>T</title><style>p{color:red}</style></head><body><p>Hello&nbsp;"
       "<b>world</b></p><p>Second</p></body></html>",
       "Hello world\n\nSecond"},
      {"<script>alert(1)</script>a<br>b<br/>c", "a\nb\nc"},
      {"<ul><li>one</li><li>two</li></ul><ol><li>x<li>y</ol>", "• one\n• two\n\n1. x\n2. y"},
      {"<blockquote><p>quoted</p><p>more</p></blockquote>after", "> quoted\n\n> more\n\nafter"},
      {"<table><tr><td>A</td><td>B</td></tr><tr><td>C</td></tr></table>", "A  B\nC"},
      {"<pre>  x\n    y</pre>", "  x\n    y"},
      {"<div style=\"display: none\">preheader <div>nested</div></div>Visible", "Visible"},
      {"&lt;tag&gt; &amp; &#20013;&#x6587; &hellip; &bogus; a < b", "<tag> & 中文 … &bogus; a < b"},
      {"<!-- comment --><img src=x alt=\"Logo\"> <a href=\"https://x.test/\">https://x.test/</a>",
       "[Logo] https://x.test/"},
      {"<a href=\"mailto:a@b.test\">a@b.test</a> <a href=\"#top\">top</a>", "a@b.test top"},
      {"<p>unclosed <a href='https://a.test/long?q=1'>Read more", "unclosed Read more"},
      {"<h1>Title</h1>text<hr>end", "Title\n\ntext\n――――――――\nend"},
  };
  for (const auto& c : cases) EXPECT_EQ(html_to_readable(c.html).text, c.text) << c.html;

  const auto readable = html_to_readable(
      "<p>See <a href=\"https://a.test/1\">the offer</a>, <a href=\"https://b.test\">docs</a> and "
      "<a href=\"https://a.test/1\">again</a>.</p>");
  EXPECT_EQ(readable.text, "See the offer[1], docs[2] and again[1].");
  EXPECT_EQ(readable.links, (std::vector<std::string>{"https://a.test/1", "https://b.test"}));
  EXPECT_EQ(html_to_readable_text("<a href=\"https://b.test\">docs</a>"),
            "docs[1]\n\n[1] https://b.test");
}

// Nesting shows at most eight levels, and hostile nesting (unclosed lists and quotes, links
// left open, runs of "&") gives text in proportion to the input, not to its square.
TEST(HtmlText, DeepNestingStaysProportionalToTheInput) {
  auto repeat = [](std::string_view piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += piece;
    return out;
  };
  EXPECT_EQ(html_to_readable(repeat("<ul>", 12) + "<li>deep").text,
            std::string(14, ' ') + "• deep");
  EXPECT_EQ(html_to_readable(repeat("<blockquote>", 12) + "deep").text, repeat("> ", 8) + "deep");
  EXPECT_EQ(html_to_readable(repeat("<ol>", 3) + "<li>a" + repeat("</ol>", 3) + "<ul><li>b").text,
            "    1. a\n\n• b");

  const std::string kDeep = repeat("<ul><li>x", 2000);
  const std::string kQuotes = repeat("<blockquote>", 2000) + repeat("<br>x", 2000);
  const std::string kOpenLinks =
      repeat("<a href=\"https://a.test/\">", 2000) + repeat("word ", 4000) + repeat("</a>", 2000);
  const std::string kAmpersands = repeat("&", 20000) + ";";
  for (const std::string* html : {&kDeep, &kQuotes, &kOpenLinks, &kAmpersands}) {
    const auto readable = html_to_readable(*html);
    EXPECT_LT(readable.text.size(), 12 * html->size()) << html->substr(0, 40);
  }
  EXPECT_EQ(html_to_readable(kOpenLinks).links, std::vector<std::string>{"https://a.test/"});
  EXPECT_EQ(html_to_readable(kAmpersands).text, kAmpersands);
}

// Every HTML body the project keeps as a sample renders without markup, style sheets or
// character references left over.
TEST(HtmlText, SampleAndGoldenMessagesRenderAsPlainText) {
  const std::regex markup(R"(<(/?[a-zA-Z][a-zA-Z0-9]*)[\s>/]|\{[^}]*:[^}]*\}|&[a-z]+;|&#\d+;)");
  int rendered = 0;
  for (const char* folder : {"tests/safety/golden", "tests/differential/samples"}) {
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(KESTROVA_SOURCE_DIR) / folder)) {
      if (entry.path().extension() != ".eml") continue;
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      const auto content = mail::EmailContentDecoder::decode(raw);
      if (!content.htmlBody) continue;
      const auto readable = html_to_readable(*content.htmlBody);
      EXPECT_FALSE(std::regex_search(readable.text, markup)) << entry.path() << "\n"
                                                             << readable.text;
      for (const auto& link : readable.links)
        EXPECT_TRUE(link.starts_with("http") || link.starts_with("mailto:")) << link;
      ++rendered;
    }
  }
  EXPECT_GE(rendered, 10);
}

}  // namespace
}  // namespace kestrova
