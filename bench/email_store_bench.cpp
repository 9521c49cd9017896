// kestrova-bench-email-store: times the mail store against the same work done with plain
// SQL, side by side in one run, on a copy of a database written by kestrova-generate-db:
//
//   batch save   the background batch save of N new messages (upsert with duplicate
//                detection, one transaction) vs one multi-row INSERT of the same rows in one
//                transaction;
//   indexed save the same with the texts of N stored messages, vs the multi-row INSERT with
//                the substring index's triggers removed: what the index adds to a save;
//   all mail     the deduplicated all-mail page vs stepping through the same SQL directly;
//   starred      the starred virtual folder vs its SQL directly;
//   inbox page   the first page of the largest inbox (with attachments) vs its SQL directly;
//   inbox count  the folder count (with the cache write-through) vs its SQL directly.
//
// Each case runs --runs times, store and plain alternating, after one warm-up of each; the
// medians of wall time and process CPU time are reported (CPU time excludes waiting for a
// core on a loaded machine). The whole set runs once on the schema as the program builds it
// and, unless --no-proposed-indexes, once more after adding the indexes this benchmark is
// meant to justify, together with the query plans.
//
// The source database is never changed: the run works on a copy in a temporary directory.

#include <time.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/main_queue.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_contact.h"
#include "store/email_store.h"
#include "store/email_store_sql.h"
#include "store/json_list.h"
#include "util/log.h"
#include "util/uuid.h"

namespace {

using namespace kestrova;
using namespace kestrova::store;
using Clock = std::chrono::steady_clock;

// Indexes whose effect this benchmark measures (they are not in the schema build; --index
// replaces the set).
const std::vector<std::string> kProposedIndexes = {
    // The duplicate lookup of the upsert (account_id = ? AND message_id = ?).
    "CREATE INDEX IF NOT EXISTS idx_messages_account_message_id ON email_messages(account_id, message_id)",
    // The duplicate lookup of messages without Message-ID compares LOWER(from_email).
    "CREATE INDEX IF NOT EXISTS idx_messages_account_sender ON email_messages(account_id, LOWER(from_email))",
    // Folder pages and counts: the folder, its listing condition, newest first.
    "CREATE INDEX IF NOT EXISTS idx_messages_folder_listing ON email_messages(folder_id, is_deleted, is_spam, date DESC)",
    // Attachments of a message, and the delete cascade from a message to its attachments.
    "CREATE INDEX IF NOT EXISTS idx_attachments_message ON email_attachments(message_id)",
};

double processCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct Sample {
  double wall = 0, cpu = 0;
};

Sample measure(const std::function<void()>& work) {
  const double cpu = processCpuMs();
  const auto start = Clock::now();
  work();
  return {std::chrono::duration<double, std::milli>(Clock::now() - start).count(), processCpuMs() - cpu};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Result {
  std::string name;
  Sample store, plain;  // medians
  double ratioGoal = 0, slackMs = 0;
};

Sample medianOf(const std::vector<Sample>& samples) {
  std::vector<double> wall, cpu;
  for (const auto& s : samples) {
    wall.push_back(s.wall);
    cpu.push_back(s.cpu);
  }
  return {median(wall), median(cpu)};
}

// Runs store and plain alternately (`prepare` before each, untimed) and keeps the medians.
Result compare(std::string name, int runs, double ratioGoal, double slackMs, const std::function<void(int)>& prepare,
               const std::function<void()>& store, const std::function<void()>& plain,
               const std::function<void()>& undo) {
  std::vector<Sample> s, p;
  for (int run = runs > 1 ? -1 : 0; run < runs; ++run) {  // run -1 warms caches and statements
    for (int side = 0; side < 2; ++side) {
      const bool storeSide = (side == 0) == (run % 2 == 0);
      prepare(run);
      const Sample sample = measure(storeSide ? store : plain);
      undo();
      if (run < 0) continue;
      (storeSide ? s : p).push_back(sample);
    }
  }
  return {std::move(name), medianOf(s), medianOf(p), ratioGoal, slackMs};
}

void printResults(const std::vector<Result>& results) {
  std::printf("%-14s %12s %12s %12s %12s %8s %s\n", "case", "store ms", "store cpu", "plain ms", "plain cpu",
              "ratio", "goal");
  for (const auto& r : results) {
    const double ratio = r.store.wall / r.plain.wall;
    const bool met = r.store.wall <= r.plain.wall * r.ratioGoal + r.slackMs;
    std::printf("%-14s %12.2f %12.2f %12.2f %12.2f %8.2f %.1fx%s %s\n", r.name.c_str(), r.store.wall,
                r.store.cpu, r.plain.wall, r.plain.cpu, ratio, r.ratioGoal,
                r.slackMs > 0 ? " + 1 ms" : "", met ? "met" : "MISSED");
  }
}

// ---- the working database ----

struct Target {
  std::string account;
  EmailFolder inbox;
};

Target largestInbox(EmailDatabase& db) {
  return db.read([](Connection& c) {
    auto s = c.prepare(
        "SELECT f.* FROM email_folders f WHERE f.type = 'inbox' ORDER BY (SELECT COUNT(*) FROM "
        "email_messages m WHERE m.folder_id = f.id) DESC LIMIT 1");
    if (!s.step()) throw std::runtime_error("the database has no inbox");
    auto inbox = EmailFolder::from_row(s);
    return Target{inbox->accountId, *inbox};
  });
}

// The generator sets has_attachments without attachment rows; one row per such message makes
// attachment reads and delete cascades cost what they cost with real mail.
void addAttachmentRows(EmailDatabase& db) {
  db.write([](Connection& c) {
    if (auto s = c.prepare("SELECT COUNT(*) FROM email_attachments"); s.step() && s.integer(0).value_or(0) > 0) return;
    c.execute(
        "INSERT INTO email_attachments (id, message_id, filename, mime_type, size, part_path) "
        "SELECT upper(hex(randomblob(16))), id, 'report.pdf', 'application/pdf', 123456, '2' "
        "FROM email_messages WHERE has_attachments = 1");
  });
}

std::vector<EmailMessage> newBatch(const Target& t, int size, int run) {
  std::vector<EmailMessage> batch;
  batch.reserve(static_cast<size_t>(size));
  const std::string body(2000, 'b');
  for (int i = 0; i < size; ++i) {
    EmailMessage m;
    m.id = new_uuid();
    m.accountId = t.account;
    m.folderId = t.inbox.id;
    m.uid = static_cast<uint32_t>(10'000'000 + run * size + i);
    // As in real mail (and the generated database), about one message in thirty-three has
    // no Message-ID and is matched by subject, sender and date instead.
    if (i % 33 != 0) m.messageId = "<bench-" + std::to_string(run) + "-" + std::to_string(i) + "@bench.example>";
    m.subject = "Benchmark message " + std::to_string(run) + "-" + std::to_string(i);
    m.from = {"Bench Sender", "sender" + std::to_string(i % 50) + "@bench.example"};
    m.to = {{"Me", "me@bench.example"}};
    m.textBody = body;
    m.preview = body.substr(0, 200);
    m.date = 1748736000.0 + run * 10000 + i;
    m.receivedDate = m.date;
    m.aiTags = {"bench"};
    m.syncedAt = m.updatedAt = m.date;
    m.isBodyLoaded = true;
    batch.push_back(std::move(m));
  }
  return batch;
}

// One multi-row INSERT per chunk of rows (43 values a row stays under SQLite's limit of
// 32,766 bound values), all in one transaction.
void plainInsert(EmailDatabase& db, const std::vector<EmailMessage>& batch) {
  constexpr size_t kRowsPerStatement = 500;
  db.write([&](Connection& c) {
    for (size_t start = 0; start < batch.size(); start += kRowsPerStatement) {
      const size_t n = std::min(kRowsPerStatement, batch.size() - start);
      std::string sql(sql::kInsertMessage.substr(0, sql::kInsertMessage.find("VALUES")));
      sql += "VALUES ";
      for (size_t r = 0; r < n; ++r) {
        sql += r ? ", (" : "(";
        for (int col = 0; col < 43; ++col) sql += col ? ", ?" : "?";
        sql += ")";
      }
      auto s = c.prepare(sql);
      int i = 1;
      for (size_t r = 0; r < n; ++r) {
        const EmailMessage& m = batch[start + r];
        const std::string to = encode_contact_list(m.to), cc = encode_contact_list(m.cc),
                          bcc = encode_contact_list(m.bcc), replyTo = encode_contact_list(m.replyTo),
                          tags = encode_string_list(m.tags), aiTags = encode_string_list(m.aiTags),
                          items = encode_string_list(m.aiActionItems);
        auto put = [&](const auto&... values) { (s.bind(i++, values), ...); };
        put(m.id, m.accountId, m.folderId, m.uid, m.messageId, m.inReplyTo, m.threadId, m.subject,
            m.from.name, m.from.email, Blob{to}, Blob{cc}, Blob{bcc}, Blob{replyTo}, m.textBody,
            m.htmlBody, m.preview, m.date, m.receivedDate, m.isRead, m.isStarred, m.isImportant,
            m.isNoReply, m.hasAttachments, m.isSpam, m.isDeleted, m.containsRemoteResources,
            Blob{tags}, Blob{aiTags}, m.aiSummary, std::nullopt, Blob{items}, std::nullopt,
            m.snoozedUntil, m.replyLaterUntil, m.waitingSince, m.internalNote, m.syncedAt,
            m.updatedAt, m.isBodyLoaded, m.bodyCachedAt, m.hasBeenReplied, m.isDraft);
      }
      s.run();
    }
  });
}

void removeBatch(EmailDatabase& db, const std::vector<EmailMessage>& batch) {
  db.write([&](Connection& c) {
    for (const auto& m : batch) {
      auto s = c.prepare("DELETE FROM email_messages WHERE id = ?");
      s.bind(1, m.id);
      s.run();
    }
  });
}

// Gives the batch the subjects and texts of stored messages, so that the substring index
// sees the texts it sees in real mail.
void withStoredTexts(EmailDatabase& db, std::vector<EmailMessage>& batch) {
  db.read([&](Connection& c) {
    auto s =
        c.prepare("SELECT subject, preview, text_body FROM email_messages ORDER BY rowid LIMIT ?");
    s.bind(1, static_cast<int64_t>(batch.size()));
    for (auto& m : batch) {
      if (!s.step()) break;
      m.subject = s.text(0).value_or("") + " " + m.subject;
      m.preview = s.text(1).value_or("");
      m.textBody = s.text(2);
    }
  });
}

// The batch save against the multi-row INSERT without the substring index's triggers (taken
// out and put back untimed around the plain side): the save's whole cost, index included,
// against writing the rows alone.
Result compareIndexedSave(EmailDatabase& db, EmailStore& store, const Target& t, int runs,
                          int batchSize) {
  const auto triggers = db.read([](Connection& c) {
    std::vector<std::pair<std::string, std::string>> out;
    auto s = c.prepare(
        "SELECT name, sql FROM sqlite_master WHERE type = 'trigger' AND name LIKE 'email_search%'");
    while (s.step()) out.emplace_back(*s.text(0), *s.text(1));
    return out;
  });
  std::vector<Sample> s, p;
  for (int run = runs > 1 ? -1 : 0; run < runs; ++run) {
    for (int side = 0; side < 2; ++side) {
      const bool storeSide = (side == 0) == (run % 2 == 0);
      auto batch = newBatch(t, batchSize, run + 200);
      withStoredTexts(db, batch);
      if (!storeSide)
        db.write([&](Connection& c) {
          for (const auto& trigger : triggers) c.execute("DROP TRIGGER " + trigger.first);
        });
      const Sample sample = storeSide ? measure([&] {
        store.saveMessagesInBackground(batch).get();
        platform::MainQueue::drain();
      })
                                      : measure([&] { plainInsert(db, batch); });
      removeBatch(db, batch);
      if (!storeSide)
        db.write([&](Connection& c) {
          for (const auto& trigger : triggers) c.execute(trigger.second);
        });
      if (run >= 0) (storeSide ? s : p).push_back(sample);
    }
  }
  return {"indexed save", medianOf(s), medianOf(p), 3.0, 0};
}

// Steps through a statement reading every column, as a caller of plain SQL would.
size_t stepAll(Statement& s) {
  size_t bytes = 0;
  while (s.step())
    for (int i = 0, n = s.column_count(); i < n; ++i) bytes += s.text(i).value_or("").size();
  return bytes;
}

void printPlan(EmailDatabase& db, const std::string& title, const std::string& query,
               const std::function<void(Statement&)>& bind) {
  std::printf("  %s\n", title.c_str());
  db.read([&](Connection& c) {
    auto s = c.prepare("EXPLAIN QUERY PLAN " + query);
    bind(s);
    while (s.step()) std::printf("    %s\n", s.text("detail").value_or("").c_str());
  });
}

void printPlans(EmailDatabase& db, const Target& t) {
  std::printf("query plans:\n");
  printPlan(db, "duplicate lookup by Message-ID", std::string(sql::kFindCopyByMessageId),
            [&](Statement& s) { s.bind_all(t.account, "<x@y>", "id"); });
  printPlan(db, "all mail", sql::aggregateList(std::nullopt),
            [&](Statement& s) { s.bind_all(t.account, 100); });
  printPlan(db, "starred", sql::aggregateList(EmailVirtualFolderKind::starred),
            [&](Statement& s) { s.bind_all(t.account, 100); });
  printPlan(db, "inbox page", sql::folderPage(t.inbox.type),
            [&](Statement& s) { s.bind_all(t.inbox.id, 100, 0); });
  printPlan(db, "inbox count", sql::folderCount(t.inbox.type), [&](Statement& s) { s.bind_all(t.inbox.id); });
  printPlan(db, "attachments of a message", std::string(sql::kSelectAttachments),
            [&](Statement& s) { s.bind_all("id"); });
}

std::vector<Result> runCases(EmailDatabase& db, EmailStore& store, const Target& t, int runs, int batchSize,
                             int pageSize) {
  std::vector<Result> results;
  std::vector<EmailMessage> batch;
  const auto noUndo = [] {};
  const auto noPrepare = [](int) {};

  results.push_back(compare(
      "batch save", runs, 3.0, 0, [&](int run) { batch = newBatch(t, batchSize, run + 100); },
      [&] {
        store.saveMessagesInBackground(batch).get();
        platform::MainQueue::drain();
      },
      [&] { plainInsert(db, batch); }, [&] { removeBatch(db, batch); }));
  results.push_back(compareIndexedSave(db, store, t, runs, batchSize));

  auto rawList = [&](const std::string& query) {
    return [&db, &t, query, pageSize] {
      db.read([&](Connection& c) {
        auto s = c.prepare(query);
        s.bind_all(t.account, pageSize);
        stepAll(s);
      });
    };
  };
  results.push_back(compare(
      "all mail", runs, 1.2, 1, noPrepare, [&] { store.fetchAggregateMessagesFromDatabase(t.account, pageSize); },
      rawList(sql::aggregateList(std::nullopt)), noUndo));
  results.push_back(compare(
      "starred", runs, 1.2, 1, noPrepare,
      [&] { store.fetchVirtualFolderMessagesFromDatabase(EmailVirtualFolderKind::starred, t.account, pageSize); },
      rawList(sql::aggregateList(EmailVirtualFolderKind::starred)), noUndo));

  results.push_back(compare(
      "inbox page", runs, 1.2, 1, noPrepare, [&] { store.loadMessages(t.inbox, pageSize, 0); },
      [&] {
        db.read([&](Connection& c) {
          auto s = c.prepare(sql::folderPage(t.inbox.type));
          s.bind_all(t.inbox.id, pageSize, 0);
          stepAll(s);
        });
      },
      noUndo));
  results.push_back(compare(
      "inbox count", runs, 1.2, 1, noPrepare, [&] { store.getFolderMessageCount(t.inbox); },
      [&] {
        db.read([&](Connection& c) {
          auto s = c.prepare(sql::folderCount(t.inbox.type));
          s.bind(1, t.inbox.id);
          s.step();
        });
      },
      noUndo));
  return results;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path source;
  int runs = 7, baseRuns = 1, batchSize = 1000, pageSize = 100;
  bool skipProposed = false, skipBase = false;
  std::vector<std::string> indexes = kProposedIndexes;
  CLI::App app{"Times the mail store against plain SQL on a generated database."};
  app.add_option("--db", source, "Database written by kestrova-generate-db (not changed)")->required()->check(CLI::ExistingFile);
  app.add_option("--runs", runs, "Timed runs per case (after one warm-up)")->check(CLI::Range(1, 1000));
  app.add_option("--batch", batchSize, "Messages in the saved batch")->check(CLI::Range(1, 100000));
  app.add_option("--page", pageSize, "Rows of the list pages")->check(CLI::Range(1, 100000));
  app.add_option("--base-runs", baseRuns,
                 "Timed runs per case on the schema as built (its batch save takes minutes)")
      ->check(CLI::Range(1, 1000));
  app.add_flag("--no-proposed-indexes", skipProposed, "Do not run the pass with the proposed indexes");
  app.add_flag("--no-base", skipBase, "Do not run the pass on the schema as built");
  app.add_option("--index", indexes, "CREATE INDEX statement of the second pass (repeatable)");
  CLI11_PARSE(app, argc, argv);

  set_log_target(LogTarget::Silent);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const auto work = std::filesystem::temp_directory_path() / ("kestrova-store-bench-" + new_uuid());
  std::filesystem::create_directories(work);
  int status = 0;
  try {
    std::filesystem::copy_file(source, work / "email.db");
    auto db = EmailDatabase::open(work / "email.db");
    if (!db->is_open()) throw std::runtime_error("cannot open the copy of " + source.string());
    platform::SettingsStore settings(work / "settings.json");
    EmailStore store(*db, settings);
    addAttachmentRows(*db);
    const Target target = largestInbox(*db);
    std::printf("database: %s, account %s, inbox %s; %d runs, batch %d, page %d\n\n", source.c_str(),
                target.account.c_str(), target.inbox.id.c_str(), runs, batchSize, pageSize);

    if (!skipBase) {
      std::printf("== schema as built by the program ==\n");
      printPlans(*db, target);
      printResults(runCases(*db, store, target, baseRuns, batchSize, pageSize));
    }
    if (!skipProposed) {
      for (const auto& index : indexes) {
        std::printf("\n%s\n", index.c_str());
        const auto took = measure([&] { db->write([&](Connection& c) { c.execute(index); }); });
        std::printf("  built in %.0f ms\n", took.wall);
      }
      std::printf("\n== with the proposed indexes ==\n");
      printPlans(*db, target);
      printResults(runCases(*db, store, target, runs, batchSize, pageSize));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "benchmark failed: %s\n", e.what());
    status = 1;
  }
  std::filesystem::remove_all(work);
  return status;
}
