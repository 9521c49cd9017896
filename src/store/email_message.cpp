#include "store/email_message.h"

#include <limits>

#include "store/json_reader.h"
#include "store/row_reader.h"
#include "util/text.h"

namespace kestrova::store {

namespace {

std::optional<uint32_t> to_uid(std::optional<int64_t> value) {
  if (!value || *value < 0 || *value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
  return static_cast<uint32_t>(*value);
}

std::vector<EmailAttachment> read_attachments(JsonReader& r) {
  const OrderedJson* value = r.value("attachments");
  if (!value) return {};
  if (!value->is_array()) {
    r.fail();
    return {};
  }
  std::vector<EmailAttachment> attachments;
  for (const auto& item : *value) {
    auto attachment = EmailAttachment::from_json(item);
    if (!attachment) {
      r.fail();
      return {};
    }
    attachments.push_back(std::move(*attachment));
  }
  return attachments;
}

}  // namespace

EmailMessage EmailMessage::make(EmailMessage fields) {
  if (fields.preview.empty() && fields.textBody)
    fields.preview = text::prefix_characters(*fields.textBody, kPreviewLength);
  if (!fields.receivedDate) fields.receivedDate = fields.date;
  return fields;
}

std::optional<EmailMessage> EmailMessage::from_row(const Statement& row) {
  RowReader r(row);
  auto id = r.uuid("id");
  auto account_id = r.uuid("account_id");
  if (!id || !account_id) return std::nullopt;
  EmailMessage m;
  m.id = std::move(*id);
  m.accountId = std::move(*account_id);
  m.folderId = r.uuid("folder_id");
  m.uid = to_uid(r.optional_integer("uid"));
  if (auto size = r.optional_integer("rfc822_size"); size && *size >= 0)
    m.size = static_cast<uint64_t>(*size);
  m.messageId = r.optional_text("message_id");
  m.inReplyTo = r.optional_text("in_reply_to");
  m.threadId = r.optional_text("thread_id");
  m.subject = r.text("subject");
  m.from = EmailContact{r.optional_text("from_name"), r.text("from_email")};
  m.to = r.contact_list("to_contacts");
  m.cc = r.contact_list("cc_contacts");
  m.bcc = r.contact_list("bcc_contacts");
  m.replyTo = r.contact_list("reply_to_contacts");
  m.textBody = r.optional_text("text_body");
  m.htmlBody = r.optional_text("html_body");
  m.preview = r.text("preview");
  m.date = r.date("date");
  m.receivedDate = r.optional_date("received_date");
  m.isRead = r.flag("is_read");
  m.isStarred = r.flag("is_starred");
  m.isImportant = r.flag("is_important");
  m.isNoReply = r.flag("is_no_reply");
  m.hasAttachments = r.flag("has_attachments");
  m.isSpam = r.flag("is_spam");
  m.isDeleted = r.flag("is_deleted");
  m.containsRemoteResources = r.flag("contains_remote_resources");
  m.hasBeenReplied = r.flag("has_been_replied");
  m.isDraft = r.flag("is_draft");
  m.tags = r.string_list("tags");
  m.aiTags = r.string_list("ai_tags");
  m.aiSummary = r.optional_text("ai_summary");
  m.aiPriority = r.optional_enumeration<EmailPriority>("ai_priority");
  m.aiActionItems = r.string_list("ai_action_items");
  m.aiCategory = r.optional_enumeration<EmailCategory>("ai_category");
  m.syncedAt = r.date("synced_at");
  m.updatedAt = r.date("updated_at");
  m.snoozedUntil = r.optional_date("snoozed_until");
  m.replyLaterUntil = r.optional_date("reply_later_until");
  m.waitingSince = r.optional_date("waiting_since");
  m.internalNote = r.optional_text("internal_note");
  m.isBodyLoaded = r.flag("is_body_loaded");
  m.bodyCachedAt = r.optional_date("body_cached_at");
  return make(std::move(m));
}

OrderedJson EmailMessage::to_json() const {
  OrderedJson j = OrderedJson::object();
  auto put = [&j](const char* key, const auto& value) {
    if (value) j[key] = *value;
  };
  j["id"] = id;
  j["accountId"] = accountId;
  put("folderId", folderId);
  put("uid", uid);
  put("messageId", messageId);
  put("inReplyTo", inReplyTo);
  put("threadId", threadId);
  j["subject"] = subject;
  j["from"] = from.to_json();
  j["to"] = contact_list_json(to);
  j["cc"] = contact_list_json(cc);
  j["bcc"] = contact_list_json(bcc);
  j["replyTo"] = contact_list_json(replyTo);
  put("textBody", textBody);
  put("htmlBody", htmlBody);
  j["preview"] = preview;
  j["date"] = date;
  put("receivedDate", receivedDate);
  j["isRead"] = isRead;
  j["isStarred"] = isStarred;
  j["isImportant"] = isImportant;
  j["isNoReply"] = isNoReply;
  j["hasAttachments"] = hasAttachments;
  j["isSpam"] = isSpam;
  j["isDeleted"] = isDeleted;
  j["containsRemoteResources"] = containsRemoteResources;
  j["hasBeenReplied"] = hasBeenReplied;
  j["isDraft"] = isDraft;
  j["tags"] = tags;
  j["aiTags"] = aiTags;
  put("aiSummary", aiSummary);
  if (aiPriority) j["aiPriority"] = raw_value(*aiPriority);
  j["aiActionItems"] = aiActionItems;
  if (aiCategory) j["aiCategory"] = raw_value(*aiCategory);
  OrderedJson attachment_array = OrderedJson::array();
  for (const auto& attachment : attachments) attachment_array.push_back(attachment.to_json());
  j["attachments"] = std::move(attachment_array);
  j["syncedAt"] = syncedAt;
  j["updatedAt"] = updatedAt;
  put("snoozedUntil", snoozedUntil);
  put("replyLaterUntil", replyLaterUntil);
  put("waitingSince", waitingSince);
  put("internalNote", internalNote);
  j["isBodyLoaded"] = isBodyLoaded;
  put("bodyCachedAt", bodyCachedAt);
  return j;
}

std::optional<EmailMessage> EmailMessage::from_json(const OrderedJson& json) {
  JsonReader r(json);
  EmailMessage m;
  m.id = r.uuid("id");
  m.accountId = r.uuid("accountId");
  m.folderId = r.optional_uuid("folderId");
  if (auto uid = r.optional_integer("uid")) {
    m.uid = to_uid(uid);
    if (!m.uid) r.fail();
  }
  m.messageId = r.optional_text("messageId");
  m.inReplyTo = r.optional_text("inReplyTo");
  m.threadId = r.optional_text("threadId");
  m.subject = r.text("subject");
  m.from = r.contact("from");
  m.to = r.contact_list("to");
  m.cc = r.contact_list("cc");
  m.bcc = r.contact_list("bcc");
  m.replyTo = r.contact_list("replyTo");
  m.textBody = r.optional_text("textBody");
  m.htmlBody = r.optional_text("htmlBody");
  m.preview = r.text("preview");
  m.date = r.date("date");
  m.receivedDate = r.optional_date("receivedDate");
  m.isRead = r.flag("isRead");
  m.isStarred = r.flag("isStarred");
  m.isImportant = r.flag("isImportant");
  m.isNoReply = r.flag("isNoReply");
  m.hasAttachments = r.flag("hasAttachments");
  m.isSpam = r.flag("isSpam");
  m.isDeleted = r.flag("isDeleted");
  m.containsRemoteResources = r.flag("containsRemoteResources");
  m.hasBeenReplied = r.flag("hasBeenReplied");
  m.isDraft = r.flag("isDraft");
  m.tags = r.string_list("tags");
  m.aiTags = r.string_list("aiTags");
  m.aiSummary = r.optional_text("aiSummary");
  m.aiPriority = r.optional_enumeration<EmailPriority>("aiPriority");
  m.aiActionItems = r.string_list("aiActionItems");
  m.aiCategory = r.optional_enumeration<EmailCategory>("aiCategory");
  m.attachments = read_attachments(r);
  m.syncedAt = r.date("syncedAt");
  m.updatedAt = r.date("updatedAt");
  m.snoozedUntil = r.optional_date("snoozedUntil");
  m.replyLaterUntil = r.optional_date("replyLaterUntil");
  m.waitingSince = r.optional_date("waitingSince");
  m.internalNote = r.optional_text("internalNote");
  m.isBodyLoaded = r.flag("isBodyLoaded");
  m.bodyCachedAt = r.optional_date("bodyCachedAt");
  if (!r.ok()) return std::nullopt;
  return make(std::move(m));
}

}  // namespace kestrova::store
