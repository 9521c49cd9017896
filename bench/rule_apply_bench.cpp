// Applying one structured rule to the newest 5000 messages of the largest account of a
// generated database (a dry run, so every round sees the same rows), against one SQL
// statement that selects the same matches directly. One rule per condition kind.
//
//   kestrova-bench-rules --db FILE [--rounds N]

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "bench_figures.h"
#include "rules/email_rule_service.h"
#include "store/database.h"

using kestrova::bench::median_ms;

namespace {

using kestrova::store::Connection;
using kestrova::store::EmailDatabase;
using Clock = std::chrono::steady_clock;

constexpr int64_t kLimit = 5000;
const std::string kNewest =
    "SELECT id, subject, from_email, from_name, text_body, html_body, has_attachments, is_read, "
    "folder_id FROM email_messages WHERE account_id = ?1 AND is_deleted = 0 AND is_draft = 0 "
    "ORDER BY date DESC LIMIT 5000";

std::string first_text(EmailDatabase& db, const std::string& sql, const std::string& account) {
  return db.read([&](Connection& c) {
    auto s = c.prepare(sql);
    s.bind(1, account);
    return s.step() ? s.text(0).value_or("") : std::string();
  });
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Rule application against direct SQL"};
  std::string source;
  int rounds = 9;
  app.add_option("--db", source, "Generated database (copied, never changed)")->required();
  app.add_option("--rounds", rounds, "Timed rounds per side (median reported)");
  CLI11_PARSE(app, argc, argv);

  const auto copy = std::filesystem::temp_directory_path() / "kestrova-bench-rules.db";
  std::filesystem::copy_file(source, copy, std::filesystem::copy_options::overwrite_existing);
  auto db = EmailDatabase::open(copy);
  if (!db->is_open()) return 1;

  const std::string account = db->read([](Connection& c) {
    auto s = c.prepare("SELECT account_id FROM email_messages GROUP BY account_id ORDER BY COUNT(*) DESC LIMIT 1");
    return s.step() ? s.text(0).value_or("") : std::string();
  });
  const std::string total = first_text(*db, "SELECT COUNT(*) FROM email_messages WHERE account_id = ?", account);
  // Condition values taken from the data: a sender domain, a subject word and a body word of
  // the newest mail, upper-cased where case does not matter, and the newest message's folder.
  std::string domain = first_text(*db, "SELECT from_email FROM (" + kNewest + ") LIMIT 1 OFFSET 7", account);
  domain = domain.substr(domain.find('@') + 1);
  std::string subject = first_text(*db, "SELECT subject FROM (" + kNewest + ") LIMIT 1 OFFSET 3", account);
  subject = subject.substr(0, subject.find(' '));
  std::string body = first_text(*db, "SELECT text_body FROM (" + kNewest + ") WHERE text_body IS NOT NULL LIMIT 1 OFFSET 5", account);
  body = body.substr(0, std::min<size_t>(body.find(' '), 12));
  const std::string folder = first_text(*db, "SELECT folder_id FROM (" + kNewest + ") LIMIT 1", account);
  auto upper = [](std::string s) {
    for (char& c : s)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
  };

  struct Case {
    std::string kind, value, where;
    kestrova::rules::RuleConditions conditions;
  };
  std::vector<Case> cases(6);
  cases[0] = {"fromContains", upper(domain), "from_email LIKE ?2 OR from_name LIKE ?2", {}};
  cases[0].conditions.fromContains = upper(domain);
  cases[1] = {"subjectContains", upper(subject), "subject LIKE ?2", {}};
  cases[1].conditions.subjectContains = upper(subject);
  cases[2] = {"bodyContains", body, "COALESCE(text_body, '') || COALESCE(html_body, '') LIKE ?2", {}};
  cases[2].conditions.bodyContains = body;
  cases[3] = {"hasAttachments", "true", "has_attachments = 1 AND ?2 IS NOT NULL", {}};
  cases[3].conditions.hasAttachments = true;
  cases[4] = {"isRead", "false", "is_read = 0 AND ?2 IS NOT NULL", {}};
  cases[4].conditions.isRead = false;
  cases[5] = {"folderId", folder.substr(0, 8) + "…", "folder_id = ?2", {}};
  cases[5].conditions.folderId = folder;

  std::printf("account %s: %s messages, limit %lld, %d rounds, median\n\n", account.c_str(), total.c_str(),
              static_cast<long long>(kLimit), rounds);
  std::printf("| condition | value | rule matches | SQL matches | rule apply (dry run) ms | direct SQL ms | ratio |\n");
  std::printf("|---|---|---:|---:|---:|---:|---:|\n");
  for (const auto& c : cases) {
    kestrova::rules::EmailRule rule;
    rule.id = "bench";
    rule.accountId = account;
    rule.name = c.kind;
    rule.conditions = c.conditions;
    rule.actions.markAsRead = true;
    size_t rule_matches = 0, sql_matches = 0;
    const std::string bound = c.kind == "folderId" ? folder : "%" + c.value + "%";
    auto run_rule = [&] {
      std::vector<kestrova::rules::PendingRuleServerMove> pending;
      rule_matches = db->read([&](Connection& conn) {
        return kestrova::rules::apply_rule(conn, rule, kLimit, true, kestrova::rules::RuleApplicationStyle::service(),
                                           0, pending).matchedCount;
      });
    };
    auto run_sql = [&] {
      sql_matches = db->read([&](Connection& conn) {
        auto s = conn.prepare("SELECT id FROM (" + kNewest + ") WHERE " + c.where);
        s.bind_all(account, bound);
        size_t n = 0;
        while (s.step()) ++n;
        return n;
      });
    };
    run_rule();  // warm-up
    run_sql();
    const double rule_ms = median_ms(rounds, run_rule);
    const double sql_ms = median_ms(rounds, run_sql);
    std::printf("| %s | %s | %zu | %zu | %.1f | %.1f | %.2f× |\n", c.kind.c_str(), c.value.c_str(), rule_matches,
                sql_matches, rule_ms, sql_ms, rule_ms / sql_ms);
  }

  // One real apply that writes: mark the newest 5000 read (on the copy).
  kestrova::rules::EmailRule all;
  all.id = "bench-write";
  all.accountId = account;
  all.actions.markAsRead = true;
  size_t changed = 0;
  const auto start = Clock::now();
  db->write([&](Connection& conn) {
    std::vector<kestrova::rules::PendingRuleServerMove> pending;
    changed = kestrova::rules::apply_rule(conn, all, kLimit, false, kestrova::rules::RuleApplicationStyle::service(),
                                          1, pending).changedCount;
  });
  std::printf("\nreal apply, every message marked read: %zu rows changed in %.1f ms (one transaction)\n", changed,
              std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  db.reset();
  std::filesystem::remove(copy);
  return 0;
}
