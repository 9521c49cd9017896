#include "util/terminal_text.h"

#include <gtest/gtest.h>

#include <string>

#include "util/json.h"

namespace kestrova {
namespace {

// Hostile texts as mail, servers and AI providers send them, and what a terminal gets.
TEST(TerminalSafe, NeutralisesEveryControlOnOneLineAndInBlocks) {
  struct Case {
    const char* what;
    std::string in, line, block;
  };
  const Case cases[] = {
      {"plain text stays", "Grüße 你好 👍🏽", "Grüße 你好 👍🏽",
       "Grüße 你好 👍🏽"},
      {"window title (OSC)", "a\x1b]0;pwned\x07z", "a␛]0;pwned␇z", "a␛]0;pwned␇z"},
      {"clear screen (CSI)", "\x1b[2J\x1b[1;31mred", "␛[2J␛[1;31mred", "␛[2J␛[1;31mred"},
      {"C1 CSI and OSC",
       "a\xc2\x9b"
       "2Jb\xc2\x9dx",
       "a\xef\xbf\xbd"
       "2Jb\xef\xbf\xbdx",
       "a\xef\xbf\xbd"
       "2Jb\xef\xbf\xbdx"},
      {"faked header line", "Hi\r\nFrom: ceo@bank.example", "Hi␍␊From: ceo@bank.example",
       "Hi\nFrom: ceo@bank.example"},
      {"lone CR overwrites the line", "pay 10\rpay 99", "pay 10␍pay 99", "pay 10␍pay 99"},
      {"tab, NUL, backspace, DEL", std::string("a\tb\0c\bd\x7f", 8), "a b␀c␈d␡", "a\tb␀c␈d␡"},
      {"bidi override and isolate dropped, marks kept",
       "invoice\xe2\x80\xae"
       "exe.pdf \xe2\x81\xa6x\xe2\x81\xa9 \xe2\x80\x8f",
       "invoiceexe.pdf x \xe2\x80\x8f", "invoiceexe.pdf x \xe2\x80\x8f"},
      {"Unicode line separators", "a\xe2\x80\xa8z", "a␤z", "a\nz"},
      {"bytes that are not UTF-8", "a\xff\xc3z", "a\xef\xbf\xbd\xef\xbf\xbdz",
       "a\xef\xbf\xbd\xef\xbf\xbdz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(terminal_safe(c.in), c.line);
    EXPECT_EQ(terminal_safe(c.in, TextShape::block), c.block);
    // Nothing a terminal acts on is left, however the text is printed.
    for (const std::string& out : {terminal_safe(c.in), terminal_safe(c.in, TextShape::block)}) {
      EXPECT_EQ(out.find('\x1b'), std::string::npos);
      EXPECT_EQ(out.find('\r'), std::string::npos);
      EXPECT_EQ(out.find("\xc2\x9b"), std::string::npos);
    }
    // JSON keeps the value exactly and escapes what a terminal would act on.
    const std::string json =
        terminal_safe_json(Json(c.in).dump(-1, ' ', false, Json::error_handler_t::replace));
    EXPECT_EQ(json.find('\x1b'), std::string::npos) << json;
    EXPECT_EQ(json.find("\xc2\x9b"), std::string::npos) << json;
    EXPECT_EQ(json.find("\xe2\x80\xae"), std::string::npos) << json;
    EXPECT_EQ(Json::parse(json),
              Json::parse(Json(c.in).dump(-1, ' ', false, Json::error_handler_t::replace)));
  }
}

TEST(QuotedExcerpt, CutsLongBodiesAtCharacters) {
  EXPECT_EQ(quoted_excerpt("short body"), "short body");
  const std::string page(200000, 'x');
  EXPECT_EQ(quoted_excerpt(page), std::string(300, 'x') + "…");
  std::string chinese;
  for (int i = 0; i < 400; ++i) chinese += "错";
  const std::string cut = quoted_excerpt(chinese, 10);
  EXPECT_EQ(cut, "错错错错错错错错错错…");
  EXPECT_EQ(quoted_excerpt("错错", 2), "错错");  // six bytes, two characters: not cut
}

}  // namespace
}  // namespace kestrova
