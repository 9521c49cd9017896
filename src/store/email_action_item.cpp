#include "store/email_action_item.h"

#include <limits>

#include "store/json_reader.h"
#include "store/row_reader.h"
#include "util/text.h"

namespace kestrova::store {

EmailActionItem EmailActionItem::make(EmailActionItem fields) {
  if (fields.titleKey.empty()) fields.titleKey = title_key(fields.title);
  return fields;
}

std::string EmailActionItem::title_key(std::string_view title) {
  std::string key;
  for (const auto& piece :
       text::split_whitespace(text::keep_alphanumerics_and_spaces(text::lower(title)))) {
    if (!key.empty()) key += ' ';
    key += piece;
  }
  return key;
}

bool EmailActionItem::isActive(double at) const {
  switch (state) {
    case EmailActionItemState::open:
      return true;
    case EmailActionItemState::done:
      return false;
    case EmailActionItemState::snoozed:
      return snoozedUntil.value_or(-std::numeric_limits<double>::infinity()) <= at;
  }
  return false;
}

std::optional<EmailActionItem> EmailActionItem::from_row(const Statement& row) {
  RowReader r(row);
  auto id = r.uuid("id");
  auto message_id = r.uuid("message_id");
  auto account_id = r.uuid("account_id");
  if (!id || !message_id || !account_id) return std::nullopt;
  EmailActionItem item;
  item.id = std::move(*id);
  item.messageId = std::move(*message_id);
  item.accountId = std::move(*account_id);
  item.title = r.text("title");
  item.titleKey = r.text("title_key");
  item.dueAt = r.optional_date("due_at");
  item.state = r.enumeration("state", EmailActionItemState::open);
  item.source = r.enumeration("source", EmailActionItemSource::ai);
  item.snoozedUntil = r.optional_date("snoozed_until");
  item.completedAt = r.optional_date("completed_at");
  item.createdAt = r.date("created_at");
  item.updatedAt = r.date("updated_at");
  return make(std::move(item));
}

OrderedJson EmailActionItem::to_json() const {
  OrderedJson j = OrderedJson::object();
  j["id"] = id;
  j["messageId"] = messageId;
  j["accountId"] = accountId;
  j["title"] = title;
  j["titleKey"] = titleKey;
  if (dueAt) j["dueAt"] = *dueAt;
  j["state"] = raw_value(state);
  j["source"] = raw_value(source);
  if (snoozedUntil) j["snoozedUntil"] = *snoozedUntil;
  if (completedAt) j["completedAt"] = *completedAt;
  j["createdAt"] = createdAt;
  j["updatedAt"] = updatedAt;
  return j;
}

std::optional<EmailActionItem> EmailActionItem::from_json(const OrderedJson& json) {
  JsonReader r(json);
  EmailActionItem item;
  item.id = r.uuid("id");
  item.messageId = r.uuid("messageId");
  item.accountId = r.uuid("accountId");
  item.title = r.text("title");
  item.titleKey = r.text("titleKey");
  item.dueAt = r.optional_date("dueAt");
  item.state = r.enumeration("state", EmailActionItemState::open);
  item.source = r.enumeration("source", EmailActionItemSource::ai);
  item.snoozedUntil = r.optional_date("snoozedUntil");
  item.completedAt = r.optional_date("completedAt");
  item.createdAt = r.date("createdAt");
  item.updatedAt = r.date("updatedAt");
  if (!r.ok()) return std::nullopt;
  return make(std::move(item));
}

}  // namespace kestrova::store
