#include <gtest/gtest.h>

#include "store/email_contact.h"
#include "store/json_list.h"
#include "util/json.h"

namespace kestrova {
namespace {

TEST(JsonText, StringsEscapeOnceAndListsDecodeAsTheFullParserDoes) {
  // clang-format off
  const std::pair<std::string, std::string> strings[] = {
      {R"(a "q" \ b)", R"("a \"q\" \\ b")"}, {"a\n\t\x01\x7f", "\"a\\n\\t\\u0001\x7f\""},
      {"发票", "\"发票\""}, {"a\x80z", "\"a\xEF\xBF\xBDz\""}, {"\xE5\x8F", "\"\xEF\xBF\xBD\""}};
  const std::pair<std::string, std::vector<std::string>> lists[] = {
      {"[]", {}}, {R"(["工作","invoice"])", {"工作", "invoice"}}, {R"(["","a]b,c"])", {"", "a]b,c"}},
      {R"([ "a" , "b" ])", {"a", "b"}}, {R"(["a\"b","\u5de5"])", {"a\"b", "工"}}, {R"(["a",])", {}},
      {R"(["a",1])", {}}, {R"(["a"]x)", {}}, {"[\"a\x80\"]", {}}, {"[\"a\tb\"]", {}}};
  // clang-format on
  for (const auto& [value, expected] : strings) {
    std::string out = "[";
    append_json_string(out, value);
    EXPECT_EQ(out, "[" + expected) << value;
  }
  for (const auto& [stored, expected] : lists)
    EXPECT_EQ(store::decode_string_list(stored), expected) << stored;
  // Either key order; a key the reader does not know leaves it to the full parser.
  EXPECT_EQ(store::decode_contact_list(R"([{"email":"w@x","name":"王"},{"email":"a@x","n":"b"}])"),
            (std::vector<store::EmailContact>{{"王", "w@x"}, {std::nullopt, "a@x"}}));
}

}  // namespace
}  // namespace kestrova
