#include "store/search_filter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>

#include "store/email_message.h"
#include "util/text.h"

namespace kestrova::store {

namespace {

// `seconds` moved one day forward in the local calendar, keeping the wall-clock time, so
// that a day of 23 or 25 hours (a daylight-saving change) still ends at the next midnight.
std::optional<double> one_local_day_later(double seconds) {
  if (!std::isfinite(seconds)) return std::nullopt;
  const double whole = std::floor(seconds);
  std::time_t t = static_cast<std::time_t>(whole);
  std::tm local{};
  if (!localtime_r(&t, &local)) return std::nullopt;
  local.tm_mday += 1;
  local.tm_isdst = -1;
  errno = 0;
  const std::time_t next = std::mktime(&local);
  if (next == static_cast<std::time_t>(-1) && errno != 0) return std::nullopt;
  return static_cast<double>(next) + (seconds - whole);
}

bool contact_contains(const EmailContact& contact, const std::string& needle) {
  return text::contains_ci(contact.email, needle) ||
         (contact.name && text::contains_ci(*contact.name, needle));
}

bool has_tag(const std::vector<std::string>& tags, const std::string& lowered) {
  return std::any_of(tags.begin(), tags.end(),
                     [&](const std::string& tag) { return text::lower(tag) == lowered; });
}

}  // namespace

bool SearchFilter::isEmpty() const {
  return from.empty() && to.empty() && subject.empty() && keyword.empty() && tag.empty() &&
         !dateFrom && !dateTo && !hasAttachments && !isRead && !isStarred && !category;
}

bool SearchFilter::matches(const EmailMessage& message) const {
  if (!from.empty() && !contact_contains(message.from, from)) return false;
  if (!to.empty() && std::none_of(message.to.begin(), message.to.end(),
                                  [&](const EmailContact& c) { return contact_contains(c, to); }))
    return false;
  if (!subject.empty() && !text::contains_ci(message.subject, subject)) return false;
  if (!keyword.empty() && !text::contains_ci(message.subject, keyword) &&
      !text::contains_ci(message.preview, keyword) &&
      !(message.textBody && text::contains_ci(*message.textBody, keyword)))
    return false;
  if (dateFrom && message.date < *dateFrom) return false;
  if (dateTo && message.date >= one_local_day_later(*dateTo).value_or(*dateTo)) return false;
  if (hasAttachments && message.hasAttachments != *hasAttachments) return false;
  if (isRead && message.isRead != *isRead) return false;
  if (isStarred && message.isStarred != *isStarred) return false;
  if (category && message.aiCategory != category) return false;
  if (!tag.empty()) {
    const std::string wanted = text::lower(tag);
    if (!has_tag(message.aiTags, wanted) && !has_tag(message.tags, wanted)) return false;
  }
  return true;
}

}  // namespace kestrova::store
