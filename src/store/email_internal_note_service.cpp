#include "store/email_internal_note_service.h"

#include "store/database.h"
#include "store/email_message.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "store/row_reader.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::store {

namespace {

constexpr std::string_view kTag = "InternalNote";

constexpr std::string_view kListNoted =
    "SELECT id, subject, from_name, from_email, date, internal_note, updated_at FROM "
    "email_messages WHERE internal_note IS NOT NULL AND TRIM(internal_note) != '' ORDER BY "
    "updated_at DESC LIMIT 200";
constexpr std::string_view kCountNoted =
    "SELECT COUNT(*) FROM email_messages WHERE internal_note IS NOT NULL AND TRIM(internal_note) "
    "!= ''";

void log_failure(std::string_view what, const std::exception& e) {
  log_line(log_kind::kFailure, kTag, std::string(what) + e.what());
}

}  // namespace

OrderedJson NotedMessageSummary::to_json() const {
  OrderedJson j = OrderedJson::object();
  j["messageId"] = messageId;
  j["subject"] = subject;
  if (senderName) j["senderName"] = *senderName;
  j["senderEmail"] = senderEmail;
  j["date"] = date;
  j["note"] = note;
  j["updatedAt"] = updatedAt;
  return j;
}

EmailInternalNoteService::EmailInternalNoteService(EmailDatabase& database, EmailStore& mail_store)
    : database_(database), mail_store_(mail_store) {}

bool EmailInternalNoteService::set_note(const EmailMessage& message,
                                        const std::optional<std::string>& note) {
  std::optional<std::string> trimmed;
  if (note) trimmed = text::trim(*note);
  if (trimmed && trimmed->empty()) trimmed.reset();
  try {
    // Read and written in one transaction (see EmailFollowUpService::change_mark).
    mail_store_.database().write([&](Connection& c) {
      EmailMessage changed = read_stored_message(c, message.id).value_or(message);
      changed.internalNote = std::move(trimmed);
      changed.updatedAt = now_seconds();
      mail_store_.updateFlagsOnAllCopies(changed);
    });
  } catch (const std::exception& e) {
    log_failure("写入失败: ", e);
    return false;
  }
  return true;
}

std::vector<NotedMessageSummary> EmailInternalNoteService::list_noted() {
  try {
    return database_.read([](Connection& c) {
      std::vector<NotedMessageSummary> summaries;
      auto s = c.prepare(kListNoted);
      while (s.step()) {
        RowReader r(s);
        auto id = r.uuid("id");
        if (!id) continue;
        summaries.push_back(NotedMessageSummary{
            .messageId = std::move(*id),
            .subject = r.text("subject"),
            .senderName = r.optional_text("from_name"),
            .senderEmail = r.text("from_email"),
            .date = r.date("date"),
            .note = r.text("internal_note"),
            .updatedAt = r.date("updated_at"),
        });
      }
      return summaries;
    });
  } catch (const std::exception& e) {
    log_failure("查询失败: ", e);
    return {};
  }
}

int64_t EmailInternalNoteService::count_noted() {
  try {
    return database_.read([](Connection& c) {
      auto s = c.prepare(kCountNoted);
      s.step();
      return s.integer(0).value_or(0);
    });
  } catch (const std::exception& e) {
    log_failure("查询失败: ", e);
    return int64_t{0};
  }
}

}  // namespace kestrova::store
