#include "store/email_thread.h"

#include "store/json_reader.h"
#include "store/row_reader.h"

namespace kestrova::store {

std::optional<EmailThread> EmailThread::from_row(const Statement& row) {
  RowReader r(row);
  auto id = r.uuid("id");
  auto account_id = r.uuid("account_id");
  if (!id || !account_id) return std::nullopt;
  EmailThread t;
  t.id = std::move(*id);
  t.accountId = std::move(*account_id);
  t.subject = r.optional_text("subject");
  t.messageId = r.optional_text("message_id");
  t.rootMessageId = r.optional_text("root_message_id");
  t.participantEmails = r.string_list("participant_emails");
  t.messageCount = r.integer("message_count");
  t.unreadCount = r.integer("unread_count");
  t.lastMessageDate = r.date("last_message_date");
  t.createdAt = r.date("created_at");
  t.updatedAt = r.date("updated_at");
  return t;
}

OrderedJson EmailThread::to_json() const {
  OrderedJson j = OrderedJson::object();
  j["id"] = id;
  j["accountId"] = accountId;
  if (subject) j["subject"] = *subject;
  if (messageId) j["messageId"] = *messageId;
  if (rootMessageId) j["rootMessageId"] = *rootMessageId;
  j["participantEmails"] = participantEmails;
  j["messageCount"] = messageCount;
  j["unreadCount"] = unreadCount;
  j["lastMessageDate"] = lastMessageDate;
  j["createdAt"] = createdAt;
  j["updatedAt"] = updatedAt;
  return j;
}

std::optional<EmailThread> EmailThread::from_json(const OrderedJson& json) {
  JsonReader r(json);
  EmailThread t;
  t.id = r.uuid("id");
  t.accountId = r.uuid("accountId");
  t.subject = r.optional_text("subject");
  t.messageId = r.optional_text("messageId");
  t.rootMessageId = r.optional_text("rootMessageId");
  t.participantEmails = r.string_list("participantEmails");
  t.messageCount = r.integer("messageCount");
  t.unreadCount = r.integer("unreadCount");
  t.lastMessageDate = r.date("lastMessageDate");
  t.createdAt = r.date("createdAt");
  t.updatedAt = r.date("updatedAt");
  if (!r.ok()) return std::nullopt;
  return t;
}

}  // namespace kestrova::store
