#include "store/email_template.h"

#include <array>

#include "store/row_reader.h"

namespace kestrova::store {

namespace {

using Category = EmailTemplate::Category;

constexpr std::array kCategories = {Category::reply, Category::business, Category::personal,
                                    Category::followUp, Category::custom};

}  // namespace

std::string_view raw_value(Category value) {
  switch (value) {
    case Category::reply:
      return "reply";
    case Category::business:
      return "business";
    case Category::personal:
      return "personal";
    case Category::followUp:
      return "followUp";
    case Category::custom:
      return "custom";
  }
  return "";
}

std::string_view localization_key(Category value) {
  switch (value) {
    case Category::reply:
      return "template.category.reply";
    case Category::business:
      return "template.category.business";
    case Category::personal:
      return "template.category.personal";
    case Category::followUp:
      return "template.category.follow_up";
    case Category::custom:
      return "template.category.custom";
  }
  return "";
}

std::string_view symbol(Category value) {
  switch (value) {
    case Category::reply:
      return "arrowshape.turn.up.left";
    case Category::business:
      return "briefcase";
    case Category::personal:
      return "person";
    case Category::followUp:
      return "arrow.uturn.forward";
    case Category::custom:
      return "doc.text";
  }
  return "";
}

template <>
std::optional<Category> from_raw<Category>(std::string_view raw) {
  for (Category value : kCategories)
    if (raw_value(value) == raw) return value;
  return std::nullopt;
}

template <>
std::span<const Category> all_cases<Category>() {
  return kCategories;
}

std::optional<EmailTemplate> EmailTemplate::from_row(const Statement& row) {
  RowReader r(row);
  auto id = r.uuid("id");
  if (!id) return std::nullopt;
  EmailTemplate t;
  t.id = std::move(*id);
  t.name = r.text("name");
  t.subject = r.text("subject");
  t.body = r.text("body");
  t.htmlBody = r.optional_text("html_body");
  t.category = r.enumeration("category", Category::custom);
  t.shortcut = r.optional_text("shortcut");
  t.usageCount = r.integer("usage_count");
  t.createdAt = r.date("created_at");
  t.updatedAt = r.date("updated_at");
  return t;
}

OrderedJson EmailTemplate::to_json() const {
  OrderedJson j = OrderedJson::object();
  j["id"] = id;
  j["name"] = name;
  j["subject"] = subject;
  j["body"] = body;
  if (htmlBody) j["htmlBody"] = *htmlBody;
  j["category"] = raw_value(category);
  if (shortcut) j["shortcut"] = *shortcut;
  j["usageCount"] = usageCount;
  j["createdAt"] = createdAt;
  j["updatedAt"] = updatedAt;
  return j;
}

}  // namespace kestrova::store
