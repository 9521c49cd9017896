#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/core/search_language.h"
#include "app/core/mail_tool_sql.h"
#include "mail/mail_import.h"
#include "platform/settings_store.h"
#include "store/email_store.h"
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
    for (const auto& query : queries)
      for (const auto& account : {std::optional<std::string>(), std::optional(first)}) {
        Json arguments = {{"query", query}, {"limit", 100}};
        if (account) arguments["accountId"] = *account;
        std::vector<std::string> ids;
        for (const auto& m : call("search_messages", arguments)) ids.push_back(m["id"]);
        EXPECT_EQ(ids, plain_ids(query, account)) << when << ", query " << query;
      }
    // `kestrova search` reads through the index too: the same rows as its LIKE conditions alone.
    store::EmailDatabase::shared().read([&](store::Connection& c) {
      for (const auto& query : queries) {
        const auto terms = app::parse_search_query("\"" + query + "\"");
        auto rows = [&](const app::SearchCondition& condition) {
          auto s = c.prepare("SELECT id FROM email_messages WHERE " + condition.sql +
                             " ORDER BY date DESC, rowid");
          int index = 1;
          for (const auto& value : condition.texts) s.bind(index++, value);
          std::vector<std::string> ids;
          while (s.step()) ids.push_back(*s.text(0));
          return ids;
        };
        EXPECT_EQ(rows(app::search_condition(terms, 0, &c)), rows(app::search_condition(terms, 0)))
            << when << ", kestrova search " << query;
      }
    });
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

}  // namespace
}  // namespace kestrova::testing
