#include "app/core/writing/draft_upload.h"

#include <optional>
#include <vector>

#include "app/core/writing/reply_composer.h"
#include "mail/email_service.h"
#include "mail/outgoing_message.h"
#include "store/database.h"
#include "store/email_account.h"
#include "store/email_message.h"
#include "store/message_lookup.h"
#include "util/log.h"
#include "util/time.h"

namespace kestrova::app {

namespace {

constexpr std::string_view kComponent = "DraftUpload";
struct Mark {
  std::string draftId;
  std::string accountId;
  std::optional<std::string> messageId;
  double markedAt = 0;
};

std::vector<Mark> read_marks(store::EmailDatabase& database, const std::string& onlyDraftId) {
  return database.write([&](store::Connection& c) {
    ensure_draft_upload_table(c);
    auto s = c.prepare(
        "SELECT draft_id, account_id, message_id, marked_at FROM draft_server_copies "
        "WHERE pending = 1 AND (? = '' OR draft_id = ?) AND (? != '' OR retry_after IS NULL OR "
        "retry_after <= ?) ORDER BY marked_at");
    s.bind_all(onlyDraftId, onlyDraftId, onlyDraftId, now_seconds());
    std::vector<Mark> marks;
    while (s.step())
      marks.push_back(
          {s.text(0).value_or(""), s.text(1).value_or(""), s.text(2), s.real(3).value_or(0)});
    return marks;
  });
}

std::optional<store::EmailAccount> account_of(store::Connection& c, const std::string& id) {
  auto s = c.prepare("SELECT * FROM email_accounts WHERE id = ?");
  s.bind_all(id);
  if (!s.step()) return std::nullopt;
  return store::EmailAccount::from_row(s);
}

std::vector<std::string> recipients(const std::vector<store::EmailContact>& contacts) {
  std::vector<std::string> out;
  for (const auto& contact : contacts)
    if (auto text = recipient_text(contact)) out.push_back(std::move(*text));
  return out;
}

// The draft as an RFC 5322 message carrying `messageId` (when given) and its Bcc, which a
// draft keeps although a sent message never shows it.
mail::BuiltMessage draft_text(const store::EmailAccount& account, const store::EmailMessage& draft,
                              const std::optional<std::string>& messageId) {
  mail::OutgoingMessage outgoing;
  outgoing.from = account.emailAddress;
  outgoing.fromName = account.displayName;
  outgoing.to = recipients(draft.to);
  outgoing.cc = recipients(draft.cc);
  outgoing.subject = draft.subject;
  outgoing.body = draft.textBody.value_or("");
  outgoing.htmlBody = draft.htmlBody;
  outgoing.inReplyTo = draft.inReplyTo;
  auto stamp = mail::MessageStamp::now();
  stamp.date = mail::format_message_date(draft.updatedAt);
  auto built = mail::build_outgoing_message(outgoing, stamp);
  std::string extra;
  if (const auto bcc = recipients(draft.bcc); !bcc.empty()) {
    extra = "Bcc: ";
    for (size_t i = 0; i < bcc.size(); ++i) extra += (i ? ", " : "") + mail::single_line(bcc[i]);
    extra += "\r\n";
  }
  const std::string generated = "Message-ID: " + built.messageId + "\r\n";
  if (messageId && !messageId->empty()) {
    if (auto at = built.text.find(generated); at != std::string::npos)
      built.text.replace(at, generated.size(),
                         "Message-ID: " + mail::single_line(*messageId) + "\r\n");
    built.messageId = *messageId;
  }
  built.text.insert(0, extra);
  return built;
}

}  // namespace

mail::BuiltMessage draft_message_text(const store::EmailAccount& account,
                                      const store::EmailMessage& draft) {
  std::optional<std::string> messageId;
  if (draft.messageId && !draft.messageId->empty()) messageId = draft.messageId;
  return draft_text(account, draft, messageId);
}

void ensure_draft_upload_table(store::Connection& c) {
  c.execute(
      "CREATE TABLE IF NOT EXISTS draft_server_copies (draft_id TEXT PRIMARY KEY, account_id "
      "TEXT NOT NULL, message_id TEXT, pending INTEGER NOT NULL DEFAULT 1, marked_at REAL NOT "
      "NULL, attempts INTEGER NOT NULL DEFAULT 0, last_error TEXT, retry_after REAL)");
}

void mark_draft_for_upload(store::Connection& c, const std::string& draftId) {
  ensure_draft_upload_table(c);
  std::optional<std::string> accountId;
  {
    auto s = c.prepare(
        "SELECT m.account_id FROM email_messages m JOIN email_accounts a ON a.id = m.account_id "
        "WHERE m.id = ? AND a.imap_host != ''");
    s.bind_all(draftId);
    if (s.step()) accountId = s.text(0);
  }
  if (accountId) {
    auto s = c.prepare(
        "INSERT INTO draft_server_copies (draft_id, account_id, pending, marked_at) VALUES (?, "
        "?, 1, ?) ON CONFLICT(draft_id) DO UPDATE SET pending = 1, marked_at = excluded.marked_at, "
        "attempts = 0, last_error = NULL, retry_after = NULL");
    s.bind_all(draftId, *accountId, now_seconds());
    s.run();
    return;
  }
  // The row is gone (or belongs to a local-only account): only a copy filed before needs work.
  auto s = c.prepare(
      "UPDATE draft_server_copies SET pending = 1, marked_at = ?, attempts = 0, last_error = NULL, "
      "retry_after = NULL WHERE draft_id = ?");
  s.bind_all(now_seconds(), draftId);
  s.run();
}

size_t pending_draft_uploads(store::EmailDatabase& database) {
  // A read (the service asks every few seconds): a database without the table has no marks.
  return database.read([](store::Connection& c) -> size_t {
    auto t = c.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
    t.bind_all("draft_server_copies");
    if (!t.step()) return 0;
    auto s = c.prepare(
        "SELECT COUNT(*) FROM draft_server_copies WHERE pending = 1 AND (retry_after IS NULL OR "
        "retry_after <= ?)");
    s.bind_all(now_seconds());
    s.step();
    return static_cast<size_t>(s.integer(0).value_or(0));
  });
}

DraftUploadPass upload_marked_drafts(store::EmailDatabase& database, mail::EmailService& service,
                                     const std::string& onlyDraftId) {
  DraftUploadPass pass;
  for (const Mark& mark : read_marks(database, onlyDraftId)) {
    struct Work {
      std::optional<store::EmailAccount> account;
      std::optional<store::EmailMessage> draft;
    };
    auto work = database.read([&](store::Connection& c) {
      return Work{account_of(c, mark.accountId), store::read_stored_message(c, mark.draftId)};
    });
    try {
      if (!work.account || work.account->isLocalOnly()) {
        // The account went away, or has no server: nothing is left to replace.
        database.write([&](store::Connection& c) {
          c.prepare("DELETE FROM draft_server_copies WHERE draft_id = ?")
              .bind_all(mark.draftId)
              .run();
        });
        continue;
      }
      const auto password = service.storedPassword(*work.account);
      std::optional<std::string> messageId = mark.messageId;
      if (work.draft && work.draft->messageId && !work.draft->messageId->empty())
        messageId = work.draft->messageId;
      if (work.draft) {
        const auto built = draft_text(*work.account, *work.draft, messageId);
        if (!messageId) {
          // Kept before the upload: a pass cut short after the APPEND finds that copy by it.
          database.write([&](store::Connection& c) {
            c.prepare("UPDATE draft_server_copies SET message_id = ? WHERE draft_id = ?")
                .bind_all(built.messageId, mark.draftId)
                .run();
          });
        }
        service.replaceDraftCopy(*work.account, password, built.messageId, built.text);
        messageId = built.messageId;
      } else if (messageId) {
        service.replaceDraftCopy(*work.account, password, *messageId, std::nullopt);
      }
      database.write([&](store::Connection& c) {
        // A draft changed again while it was on its way keeps its mark for the next pass.
        auto s = c.prepare(
            "UPDATE draft_server_copies SET pending = 0, message_id = ?, attempts = 0, last_error "
            "= NULL WHERE draft_id = ? AND marked_at = ?");
        s.bind_all(messageId, mark.draftId, mark.markedAt);
        s.run();
        if (!work.draft) {
          c.prepare("DELETE FROM draft_server_copies WHERE draft_id = ? AND pending = 0")
              .bind_all(mark.draftId)
              .run();
        } else {
          // The Message-ID lets a sync of the drafts folder recognise the copy as this draft.
          auto u = c.prepare(
              "UPDATE email_messages SET message_id = ? WHERE id = ? AND (message_id IS NULL OR "
              "message_id = '')");
          u.bind_all(messageId, mark.draftId);
          u.run();
        }
      });
      ++pass.done;
      log_line(log_kind::kSuccess, kComponent,
               (work.draft ? "草稿已保存到服务器: " : "已删除服务器上的草稿: ") + mark.draftId);
    } catch (const std::exception& e) {
      ++pass.failed;
      log_line(log_kind::kFailure, kComponent,
               "草稿未能保存到服务器: " + mark.draftId + ": " + e.what());
      database.write([&](store::Connection& c) {
        // Retried after 30 s, doubling with each failure up to an hour.
        auto s = c.prepare(
            "UPDATE draft_server_copies SET attempts = attempts + 1, last_error = ?, retry_after = "
            "? + MIN(3600, 30 * (1 << MIN(attempts, 7))) WHERE draft_id = ?");
        s.bind_all(std::string(e.what()), now_seconds(), mark.draftId);
        s.run();
      });
    }
  }
  return pass;
}

}  // namespace kestrova::app
