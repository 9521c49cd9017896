#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/core/agent/mail_tool_sql.h"
#include "app/core/mailbox/message_search.h"
#include "app/core/mailbox/search_language.h"
#include "mail/mail_import.h"
#include "platform/settings_store.h"
#include "rules/email_rule_service.h"
#include "store/email_store.h"
#include "store/search_index.h"
#include "support/message_generator.h"
#include "tool_test_support.h"

namespace kestrova::testing {
namespace {

// search_messages reads through the substring index; whatever was written before, its answer
// must be the rows of the plain LIKE statement, in the same order.
class SearchIndex : public ToolServerTest {
 protected:
  std::vector<std::string> plain_ids(const std::string& query,
                                     const std::optional<std::string>& account) {
    const std::string pattern = "%" + query + "%";
    return store::EmailDatabase::shared().read([&](store::Connection& c) {
      auto s = c.prepare(account ? app::sql::kSearchAccount : app::sql::kSearchAll);
      if (account)
        s.bind_all(*account, pattern, pattern, pattern, pattern, int64_t{100});
      else
        s.bind_all(pattern, pattern, pattern, pattern, int64_t{100});
      std::vector<std::string> ids;
      while (s.step()) ids.push_back(*s.text("id"));
      return ids;
    });
  }

  void expect_plain_results(const std::string& when, const std::vector<std::string>& queries) {
    SCOPED_TRACE(when);
    for (const auto& query : queries)
      for (const auto& account : {std::optional<std::string>(), std::optional(first)}) {
        Json arguments = {{"query", query}, {"limit", 100}};
        if (account) arguments["accountId"] = *account;
        std::vector<std::string> ids;
        for (const auto& m : call("search_messages", arguments)) ids.push_back(m["id"]);
        EXPECT_EQ(ids, plain_ids(query, account)) << when << ", query " << query;
      }
    // `kestrova search` reads through the index too: the same rows as its LIKE conditions alone.
    for (const auto& query : queries) cli_search("\"" + query + "\"");
    // Removed text leaves the index too: a trigram names as many indexed rows as hold it.
    for (const std::string trigram : {"jvq", "wxk", "发票信"})
      EXPECT_EQ(
          count("SELECT COUNT(*) FROM email_search WHERE email_search MATCH '\"" + trigram + "\"'"),
          count("SELECT COUNT(*) FROM email_messages WHERE subject || from_email || "
                "COALESCE(from_name, '') || COALESCE(preview, '') || COALESCE(text_body, '') "
                "LIKE '%" +
                trigram + "%' AND rowid NOT IN (SELECT rowid FROM email_search_queue)"))
          << when << ", trigram " << trigram;
  }

  // The ids `kestrova search QUERY` lists, after checking that the index changes nothing
  // (the command's search, and the window's statement with the index conditions).
  std::vector<std::string> cli_search(const std::string& query) {
    return store::EmailDatabase::shared().read([&](store::Connection& c) {
      const auto terms = app::parse_search_query(query);
      auto rows = [&](const app::SearchCondition& condition) {
        auto s = c.prepare(app::search_statement(condition));
        int index = 1;
        s.bind(index++, std::nullopt);
        s.bind(index++, std::nullopt);
        for (const auto& value : condition.texts) s.bind(index++, value);
        s.bind(index, int64_t{100});
        std::vector<std::string> ids;
        while (s.step()) ids.push_back(*s.text(0));
        return ids;
      };
      const auto plain = rows(app::search_condition(terms, 0));
      EXPECT_EQ(rows(app::search_condition(terms, 0, &c)), plain) << query;
      const auto found = app::search_message_ids(c, terms, 0, std::nullopt, 100);
      EXPECT_EQ(found, plain) << query;
      return found;
    });
  }

  std::string first, second;
};

TEST_F(SearchIndex, ToolSearchFindsTheRowsOfTheLikeStatementThroughEveryWrite) {
  first = add_account("me@example.com", true);
  second = add_account("other@example.com");
  const std::string inbox = add_folder(first, "INBOX", "inbox");
  const std::string other_inbox = add_folder(second, "INBOX", "inbox");

  // Imported mail (the import and sync save: duplicate lookup, then INSERT OR REPLACE).
  store::EmailStore store(store::EmailDatabase::shared(), platform::SettingsStore::shared());
  std::vector<store::EmailMessage> saved;
  for (const auto& generated : generate_corpus(11, 60)) {
    mail::ArchivedMessage archived;
    archived.raw = generated.raw;
    const bool mine = saved.size() % 3 != 0;
    saved.push_back(
        mail::message_from_archive(archived, mine ? first : second, mine ? inbox : other_inbox, 1));
    store.saveMessage(saved.back());
  }
  // Rows with the texts the queries look for; equal dates keep their order.
  MessageRow row;
  row.account_id = first;
  row.folder_id = inbox;
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"发票信息 jvqjvq", "请核对发票"},
      {"INVOICE 50% off", "王先生 wxkwxk"},
      {"Invoice", "Müller in_oice"},
      {"plain", "发票"}};
  std::vector<std::string> rows;
  for (const auto& [subject, body] : texts) {
    row.subject = subject;
    row.text_body = body;
    rows.push_back(add_message(row));
  }
  const std::vector<std::string> queries = {"发票",
                                            "发票信息",
                                            "王",
                                            "invoice",
                                            "INVOICE",
                                            "inv%ce",
                                            "in_oice",
                                            "50%",
                                            "%",
                                            "_",
                                            "Müller",
                                            "MÜLLER",
                                            "jvq",
                                            "wx",
                                            "@",
                                            "example.com",
                                            "无此词",
                                            "zzqqxx",
                                            saved[3].subject,
                                            saved[7].from.email};
  expect_plain_results("after import", queries);

  // Changed text, tool writes (a draft written twice under one id replaces its row), deletes
  // and the removal of an account with its mail.
  saved[4].textBody = "now with 发票信息";
  store.updateMessage(saved[4]);
  set_exposure("full");
  call("delete_message", {{"messageId", rows[0]}});
  call("add_tag", {{"messageId", rows[1]}, {"tag", "发票"}});
  const std::string draft = "D0000000-0000-4000-8000-000000000001";
  call("create_draft", {{"subject", "draft wxk 发票"}, {"body", "jvq body"}, {"draftId", draft}});
  call("create_draft", {{"subject", "second version"}, {"body", "发票"}, {"draftId", draft}});
  store::EmailDatabase::shared().write([&](store::Connection& c) {
    c.execute("UPDATE email_messages SET text_body = 'no longer' WHERE id = '" + rows[1] + "'");
    c.execute("DELETE FROM email_messages WHERE id = '" + rows[2] + "'");
    c.execute("DELETE FROM email_accounts WHERE id = '" + second + "'");
  });
  store::EmailDatabase::shared().vacuum();  // the index is keyed by row ids, which it keeps
  // A write outside a write transaction (another program's) leaves the row queued.
  store::EmailDatabase::shared().read([&](store::Connection& c) {
    c.execute("UPDATE email_messages SET subject = 'queued 发票信息' WHERE id = '" + rows[3] + "'");
  });
  ASSERT_EQ(count("SELECT COUNT(*) FROM email_search_queue"), 1);
  expect_plain_results("after writes", queries);
}

// `kestrova search` finds mail however it was last written, and where its folder listing
// shows it: deleted mail in the trash, spam in the spam folder, tags from the agent and from
// rules. (The replay of the journal is checked against the server in
// tests/e2e/server_change_journal_test.cpp.)
TEST_F(SearchIndex, CliSearchFollowsEveryWritePath) {
  first = add_account("me@example.com", true);
  const std::string inbox = add_folder(first, "INBOX", "inbox");
  add_folder(first, "Trash", "trash");
  add_folder(first, "Junk", "spam");
  store::EmailStore store(store::EmailDatabase::shared(), platform::SettingsStore::shared());
  mail::ArchivedMessage archived;
  archived.raw =
      "From: Shop <shop@example.com>\r\nSubject: Order 36358 shipped\r\nMessage-ID: "
      "<o36358@example.com>\r\nDate: Mon, 7 Dec 2026 09:00:00 +0000\r\n\r\nYour parcel is on "
      "its way.\r\n";
  const auto order = mail::message_from_archive(archived, first, inbox, 1);
  store.saveMessage(order);
  MessageRow row;
  row.account_id = first;
  row.folder_id = inbox;
  row.subject = "周末促销 weekend sale";
  const std::string sale = add_message(row);
  row.subject = "Invoice 77812";
  const std::string invoice = add_message(row);
  set_exposure("full");
  rules::EmailRule rule;
  rule.id = "A0000000-0000-4000-8000-000000000001";
  rule.accountId = first;
  rule.conditions.subjectContains = "Invoice";
  rule.actions.addTags = std::vector<std::string>{"账单"};
  rule.actions.markAsSpam = true;

  struct Step {
    const char* write_path;
    std::function<void()> write;
    std::vector<std::tuple<std::string, std::string, bool>> searches;  // query, id, found
  } steps[] = {
      {"import",
       [] {},
       {{"36358", order.id, true},
        {"36358 folder:inbox", order.id, true},
        {"36358 folder:trash", order.id, false}}},
      {"tool server delete",
       [&] {
         call("delete_message", {{"messageId", order.id}});
       },
       {{"36358", order.id, true},
        {"36358 folder:trash", order.id, true},
        {"36358 folder:Trash", order.id, true},
        {"36358 folder:inbox", order.id, false}}},
      {"tool server tag",
       [&] {
         call("add_tag", {{"messageId", sale}, {"tag", "促销"}});
       },
       {{"tag:促销", sale, true},
        {"tag:促", sale, false},
        {"tag:促销 is:unread", sale, true},
        {"-tag:促销 weekend", sale, false}}},
      {"rules",
       [&] {
         ASSERT_EQ(rules::EmailRuleService(store::EmailDatabase::shared()).apply(rule).matchedCount,
                   1u);
       },
       {{"tag:账单", invoice, true},
        {"77812 folder:junk", invoice, true},
        {"77812 folder:spam", invoice, true},
        {"77812 folder:inbox", invoice, false}}},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.write_path);
    step.write();
    for (const auto& [query, id, expected] : step.searches) {
      const auto found = cli_search(query);
      EXPECT_EQ(std::count(found.begin(), found.end(), id), expected ? 1 : 0) << query;
    }
  }
}

}  // namespace
}  // namespace kestrova::testing

namespace kestrova::testing {
namespace {

// The searches pick a way per query (few candidates read by row id, a walk of the date index,
// or the newest rows first and then a walk of the older ones); whichever they pick, the rows
// and their order must be those of the plain statements. Checked on a generated store of 3,000
// messages, where common words (on 30–50 % of the mail), rare ones, one- and two-character
// Chinese texts and texts on no message each meet the way meant for them.
class SearchWays : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    const auto file = dir_->path() / "email.db";
    const auto generated = run_process(
        KESTROVA_GENERATOR, {"--out", file.string(), "--messages", "3000", "--seed", "7"}, "");
    ASSERT_EQ(generated.exit_code, 0) << generated.err;
    db_ = store::EmailDatabase::open(file).release();
  }
  static void TearDownTestSuite() {
    delete db_;
    delete dir_;
  }

  static std::vector<std::string> ids(store::Statement& s) {
    std::vector<std::string> found;
    while (s.step()) found.push_back(*s.text("id"));
    return found;
  }

  // The account with the most mail.
  static std::string largest_account(store::Connection& c) {
    auto s = c.prepare(
        "SELECT account_id FROM email_messages GROUP BY account_id ORDER BY COUNT(*) DESC");
    return s.step() ? *s.text(0) : "";
  }

  static inline TempDir* dir_ = nullptr;
  static inline store::EmailDatabase* db_ = nullptr;
};

TEST_F(SearchWays, EveryWayAnswersAsThePlainStatement) {
  db_->read([&](store::Connection& c) {
    const std::string account = largest_account(c);
    // search_messages: the query as a LIKE pattern, with and without the account, at several
    // page sizes (each page must be the start of the next larger one).
    const std::vector<std::string> tool_queries = {
        "invoice", "INVOICE", "发票", "项目", "王",     "itinerary", "qq.com", "xinghe-tech.cn",
        "Phoenix", "杭州",    "熊猫", "鑫",   "zzqqxx", "inv%ce",    "报销_",  "week 7"};
    std::set<store::SearchPlan::Way> ways;
    for (const auto& query : tool_queries)
      for (const auto& scope : {std::optional<std::string>(), std::optional(account)})
        for (const int64_t limit : {1, 7, 20, 100}) {
          SCOPED_TRACE(query + (scope ? " in one account" : "") + ", limit " +
                       std::to_string(limit));
          const std::string pattern = "%" + query + "%";
          auto plain = c.prepare(scope ? app::sql::kSearchAccount : app::sql::kSearchAll);
          if (scope)
            plain.bind_all(*scope, pattern, pattern, pattern, pattern, limit);
          else
            plain.bind_all(pattern, pattern, pattern, pattern, limit);
          const auto expected = ids(plain);
          auto fast = app::prepare_message_search(c, query, scope, limit);
          EXPECT_EQ(ids(fast), expected);
          auto match = store::like_pattern_query(query);
          if (!match) match = store::short_text_query(c, query, store::kMaxShortTextTerms);
          if (match && !match->empty())
            ways.insert(store::plan_search(c, *match, scope, limit).way);
        }
    EXPECT_EQ(ways.size(), 3u) << "the queries no longer reach every way";

    // `kestrova search`: against its statement without the index, with filters that leave
    // the newest rows short of a page (the walk of the older rows completes it).
    const std::vector<std::string> cli_queries = {"invoice",
                                                  "发票 项目",
                                                  "王",
                                                  "熊猫",
                                                  "invoice folder:inbox",
                                                  "发票 folder:归档",
                                                  "invoice before:2024-06-01",
                                                  "会议 after:2025-03-01",
                                                  "itinerary account:qq.com",
                                                  "meeting is:unread",
                                                  "subject:invoice -王",
                                                  "from:qq.com 项目",
                                                  "Phoenix invoice",
                                                  "\"week 7\" 发票"};
    for (const auto& query : cli_queries)
      for (const auto& scope : {std::optional<std::string>(), std::optional(account)})
        for (const int64_t limit : {1, 20, 50}) {
          SCOPED_TRACE("kestrova search " + query + (scope ? " in one account" : "") + ", limit " +
                       std::to_string(limit));
          const auto terms = app::parse_search_query(query);
          const auto condition = app::search_condition(terms, 0);
          auto plain = c.prepare(app::search_statement(condition));
          int index = 1;
          plain.bind(index++, scope);
          plain.bind(index++, scope);
          for (const auto& value : condition.texts) plain.bind(index++, value);
          plain.bind(index, limit);
          std::vector<std::string> expected;
          while (plain.step()) expected.push_back(*plain.text(0));
          EXPECT_EQ(app::search_message_ids(c, terms, 0, scope, limit), expected);
        }
  });
}

}  // namespace
}  // namespace kestrova::testing
