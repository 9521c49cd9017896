// The command line's id prefixes and search language.

#include <gtest/gtest.h>

#include <climits>

#include "app/core/mailbox/id_prefix.h"
#include "app/core/mailbox/search_language.h"
#include "util/error.h"

namespace kestrova::app {
namespace {

TEST(IdPrefix, ResolvesUniquePrefixesAndExplainsTheRest) {
  const std::vector<std::string> ids{"2F1C0A00-0000-4000-8000-000000000001",
                                     "2F1C0B00-0000-4000-8000-000000000002",
                                     "9ABC0000-0000-4000-8000-000000000003"};
  struct Case {
    const char* typed;
    const char* found;  // nullptr: an error containing `error`
    const char* error;
  } cases[] = {
      {"9abc", "9ABC0000-0000-4000-8000-000000000003", nullptr},
      {" 2f1c0b ", "2F1C0B00-0000-4000-8000-000000000002", nullptr},
      {"2f1c0a00-0000-4000-8000-000000000001", "2F1C0A00-0000-4000-8000-000000000001", nullptr},
      {"2F1C", nullptr, "不唯一"},
      {"9ab", nullptr, "至少要写 4 个字符"},
      {"dead", nullptr, "未找到邮件"},
      {"not-an-id", nullptr, "不是邮件 ID"},
  };
  for (const auto& c : cases) {
    if (c.found) {
      EXPECT_EQ(match_id_prefix(c.typed, ids, "cli.noun.message"), c.found) << c.typed;
      continue;
    }
    try {
      match_id_prefix(c.typed, ids, "cli.noun.message");
      ADD_FAILURE() << c.typed;
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
          << c.typed << ": " << e.what();
    }
  }
}

TEST(SearchLanguage, ParsesFieldsPhrasesAndNegation) {
  const auto terms = parse_search_query(
      R"(from:becker "annual report" -is:read subject:"Q3 plan" re:meeting has:attachment)");
  ASSERT_EQ(terms.size(), 6u);
  const std::pair<const char*, const char*> expected[] = {
      {"from", "becker"},     {"", "annual report"}, {"is", "read"},
      {"subject", "Q3 plan"}, {"", "re:meeting"},    {"has", "attachment"}};
  for (size_t i = 0; i < terms.size(); ++i) {
    EXPECT_EQ(terms[i].field, expected[i].first);
    EXPECT_EQ(terms[i].value, expected[i].second);
    EXPECT_EQ(terms[i].negated, i == 2);
  }
  EXPECT_THROW(parse_search_query("is:important"), Error);
  EXPECT_THROW(parse_search_query("has:pdf"), Error);
  EXPECT_THROW(search_condition(parse_search_query("since:yesterday"), 0), Error);
}

TEST(SearchLanguage, BuildsOneBoundConditionPerTerm) {
  const double now = 1'000'000;
  struct Case {
    const char* query;
    const char* sql;
    std::vector<std::string> texts;
  } cases[] = {
      {"", "1", {}},
      {"is:unread is:starred", "is_read = 0 AND is_starred = 1", {}},
      {"-from:a_b",
       "NOT (from_email LIKE ? ESCAPE '\\' OR from_name LIKE ? ESCAPE '\\')",
       {"%a\\_b%", "%a\\_b%"}},
      {"since:2d before:1d",
       "date >= CAST(? AS REAL) AND date < CAST(? AS REAL)",
       {std::to_string(now - 2 * 86400), std::to_string(now - 86400)}},
      {"to:50%", "(to_contacts LIKE ? ESCAPE '\\')", {"%50\\%%"}},
      {"since:99999999999999999999y",  // beyond a long: the largest count, no overflow
       "date >= CAST(? AS REAL)",
       {std::to_string(now - static_cast<double>(LONG_MAX) * 365 * 86400)}},
  };
  for (const auto& c : cases) {
    const auto condition = search_condition(parse_search_query(c.query), now);
    EXPECT_EQ(condition.sql, c.sql) << c.query;
    EXPECT_EQ(condition.texts, c.texts) << c.query;
  }
}

}  // namespace
}  // namespace kestrova::app
