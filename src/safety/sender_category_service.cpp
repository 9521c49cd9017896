#include "safety/sender_category_service.h"

#include <algorithm>
#include <exception>
#include <map>

#include "platform/settings_store.h"
#include "store/database.h"
#include "store/stored_contact.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::safety {

namespace {

constexpr std::string_view kVIPKey = "emailVIPSenders";
constexpr std::string_view kCategory = "SELECT category FROM contacts WHERE lower(email) = ?";

using Lookup = std::map<std::string, std::optional<store::SenderCategory>>;

std::optional<store::SenderCategory> category_of(store::EmailDatabase& database, const std::string& address,
                                                 Lookup& known) {
  if (const auto it = known.find(address); it != known.end()) return it->second;
  std::optional<store::SenderCategory> category;
  try {
    category = database.read([&](store::Connection& c) -> std::optional<store::SenderCategory> {
      auto s = c.prepare(kCategory);
      s.bind(1, address);
      while (s.step())
        if (auto raw = s.text(0))
          if (auto value = store::from_raw<store::SenderCategory>(*raw)) return value;
      return std::nullopt;
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, "SenderCategoryService", std::string("读取联系人分类失败: ") + e.what());
  }
  known.emplace(address, category);
  return category;
}

void add_tag(std::vector<std::string>& tags, std::string_view tag) {
  if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.emplace_back(tag);
}

}  // namespace

SenderCategoryService::SenderCategoryService(store::EmailDatabase& database, platform::SettingsStore& settings,
                                             Clock clock)
    : database_(database), settings_(settings), clock_(std::move(clock)) {}

double SenderCategoryService::now() const { return clock_ ? clock_() : now_seconds(); }

bool SenderCategoryService::apply(store::EmailMessage& message) {
  Lookup known;
  const std::string address = text::lower(text::trim(message.from.email));
  if (address.empty()) return false;
  const auto category = category_of(database_, address, known);
  if (!category) return false;
  apply_category(message, address, *category);
  return true;
}

void SenderCategoryService::apply(std::vector<store::EmailMessage>& batch) {
  Lookup known;
  for (auto& message : batch) {
    const std::string address = text::lower(text::trim(message.from.email));
    if (address.empty()) continue;
    if (const auto category = category_of(database_, address, known)) apply_category(message, address, *category);
  }
}

void SenderCategoryService::apply_category(store::EmailMessage& message, const std::string& address,
                                           store::SenderCategory category) {
  switch (category) {
    case store::SenderCategory::newsletter:
      message.isRead = true;
      add_tag(message.tags, "Newsletter");
      break;
    case store::SenderCategory::paperTrail:
      message.isRead = true;
      add_tag(message.tags, "Paper Trail");
      break;
    case store::SenderCategory::lowPriority:
      message.isRead = true;
      break;
    case store::SenderCategory::vip: {
      message.isImportant = true;
      auto list = settings_.string_list(kVIPKey).value_or(std::vector<std::string>{});
      const bool listed = std::any_of(list.begin(), list.end(),
                                      [&](const std::string& entry) { return text::lower(entry) == address; });
      if (!listed) {
        list.push_back(address);
        try {
          settings_.set(kVIPKey, Json(list));
        } catch (const std::exception& e) {
          log_line(log_kind::kFailure, "SenderCategoryService", std::string("保存 VIP 列表失败: ") + e.what());
        }
      }
      break;
    }
  }
  message.updatedAt = now();
}

}  // namespace kestrova::safety
