#include "store/message_lookup.h"

#include "store/database.h"

namespace kestrova::store {

std::optional<EmailMessage> read_stored_message(Connection& c, std::string_view id) {
  auto s = c.prepare("SELECT * FROM email_messages WHERE id = ?");
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  auto message = EmailMessage::from_row(s);
  if (!message) return std::nullopt;
  auto a = c.prepare("SELECT * FROM email_attachments WHERE message_id = ?");
  a.bind(1, message->id);
  while (a.step())
    if (auto attachment = EmailAttachment::from_row(a))
      message->attachments.push_back(std::move(*attachment));
  return message;
}

std::optional<EmailMessage> read_listed_message(Connection& c, std::string_view id) {
  auto s = c.prepare(
      "SELECT id, account_id, folder_id, subject, from_name, from_email, date, is_read, "
      "is_starred, has_attachments, is_deleted, is_spam FROM email_messages WHERE id = ?");
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return EmailMessage::from_row(s);
}

}  // namespace kestrova::store
