// A value from mail or a server written into the log can neither forge a line nor drive
// the terminal of whoever reads the log.
#include "util/log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/test_support.h"

namespace kestrova {
namespace {

TEST(Log, ValuesWithLineBreaksAndControlsStayOnOneEscapedLine) {
  testing::TempDir dir;
  const auto file = dir.path() / "kestrova.log";
  set_log_file(file, 1 << 20);
  set_log_target(LogTarget::File);
  struct Row {
    std::string value, written;
  };
  const Row rows[] = {
      {"Hi\r\n✅ [MailService] forged", "Hi\\r\\n✅ [MailService] forged"},
      {"title\x1b]0;owned\x07 clear\x1b[2J", "title\\x1B]0;owned\\x07 clear\\x1B[2J"},
      {"tab\there, delete\x7f", "tab\\there, delete\\x7F"},
      {"C1 \xc2\x9b"
       "31m and text \xc2\xa0中文",
       "C1 \\u009B31m and text \xc2\xa0中文"},
  };
  for (const Row& row : rows) log_line("📧", "Test", "subject: " + row.value);
  set_log_target(LogTarget::Silent);

  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), std::size(rows));
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string tail = "📧 [Test] subject: " + rows[i].written;
    EXPECT_TRUE(lines[i].ends_with(tail)) << lines[i];
  }
}

}  // namespace
}  // namespace kestrova
