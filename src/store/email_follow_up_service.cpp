#include "store/email_follow_up_service.h"

#include <algorithm>
#include <cmath>

#include "platform/repeating_timer.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_message.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::store {

namespace {

constexpr std::string_view kTag = "FollowUp";
constexpr double kDay = 86400;
constexpr int64_t kDefaultWaitingDays = 5;

constexpr std::string_view kCountReplyLaterDue =
    "SELECT COUNT(*) FROM email_messages WHERE reply_later_until IS NOT NULL AND "
    "reply_later_until <= ?";
constexpr std::string_view kCountWaitingOverdue =
    "SELECT COUNT(*) FROM email_messages WHERE waiting_since IS NOT NULL AND waiting_since <= ?";
constexpr std::string_view kCountReplyLaterPending =
    "SELECT COUNT(*) FROM email_messages WHERE reply_later_until IS NOT NULL";
constexpr std::string_view kCountWaitingPending =
    "SELECT COUNT(*) FROM email_messages WHERE waiting_since IS NOT NULL";

constexpr std::string_view kListReplyLater =
    "SELECT id FROM email_messages WHERE reply_later_until IS NOT NULL AND is_deleted = 0 ORDER "
    "BY reply_later_until ASC";
constexpr std::string_view kListWaiting =
    "SELECT id FROM email_messages WHERE waiting_since IS NOT NULL AND is_deleted = 0 ORDER BY "
    "waiting_since ASC";
constexpr std::string_view kListSnoozed =
    "SELECT id FROM email_messages WHERE snoozed_until IS NOT NULL AND is_deleted = 0 ORDER BY "
    "snoozed_until ASC";

constexpr std::string_view kScanReplyLater =
    "SELECT id, subject FROM email_messages WHERE reply_later_until IS NOT NULL AND "
    "reply_later_until <= ?";
constexpr std::string_view kClearReplyLater =
    "UPDATE email_messages SET reply_later_until = NULL, updated_at = ? WHERE id = ?";
constexpr std::string_view kScanWaiting =
    "SELECT id, subject, waiting_since FROM email_messages WHERE waiting_since IS NOT NULL AND "
    "waiting_since <= ?";

void log_failure(std::string_view what, const std::exception& e) {
  log_line(log_kind::kFailure, kTag, std::string(what) + e.what());
}

int64_t count(Connection& c, std::string_view sql, std::optional<double> bound = std::nullopt) {
  auto s = c.prepare(sql);
  if (bound) s.bind(1, *bound);
  s.step();
  return s.integer(0).value_or(0);
}

std::string shown_subject(const std::optional<std::string>& subject) {
  if (!subject || text::trim(*subject).empty()) return localized("email.no.subject");
  return *subject;
}

// One hit of a scan.
struct ScanHit {
  std::string id;
  std::optional<std::string> subject;
  double waitingSince = 0;
};

}  // namespace

EmailFollowUpService::EmailFollowUpService(EmailDatabase& database, EmailStore& mail_store,
                                           platform::SettingsStore& settings, Options options)
    : database_(database),
      mail_store_(mail_store),
      settings_(settings),
      clock_(std::move(options.clock)),
      poster_(options.poster ? std::move(options.poster) : desktop_notification_poster()) {}

EmailFollowUpService::~EmailFollowUpService() = default;

double EmailFollowUpService::now() const { return clock_ ? clock_() : now_seconds(); }

void EmailFollowUpService::start() {
  refresh_counts();
  timer_.reset();
  timer_ = std::make_unique<platform::RepeatingTimer>(kScanInterval, [this] { tick(); });
}

int64_t EmailFollowUpService::waiting_days() {
  return std::max<int64_t>(settings_.integer("followUpWaitingDays").value_or(kDefaultWaitingDays),
                           1);
}

bool EmailFollowUpService::notifications_enabled() {
  return settings_.boolean("followUpNotifyEnabled").value_or(true);
}

bool EmailFollowUpService::refresh_counts() {
  const double at = now();
  const double threshold = at - static_cast<double>(waiting_days()) * kDay;
  FollowUpCounts fresh;
  try {
    fresh = database_.read([&](Connection& c) {
      return FollowUpCounts{
          .replyLaterDueCount = count(c, kCountReplyLaterDue, at),
          .waitingOnOverdueCount = count(c, kCountWaitingOverdue, threshold),
          .replyLaterPendingCount = count(c, kCountReplyLaterPending),
          .waitingOnPendingCount = count(c, kCountWaitingPending),
      };
    });
  } catch (const std::exception& e) {
    log_failure("计数失败: ", e);
    return false;
  }
  if (fresh == counts_) return true;
  counts_ = fresh;
  if (observer_) observer_(counts_);
  return true;
}

std::vector<EmailMessage> EmailFollowUpService::list(std::string_view sql) {
  try {
    return database_.read([&](Connection& c) {
      std::vector<std::string> ids;
      auto s = c.prepare(sql);
      while (s.step()) ids.push_back(s.text(0).value_or(""));
      std::vector<EmailMessage> messages;
      for (const std::string& id : ids)
        if (auto message = read_stored_message(c, id)) messages.push_back(std::move(*message));
      return messages;
    });
  } catch (const std::exception& e) {
    log_failure("拉取列表失败: ", e);
    return {};
  }
}

std::vector<EmailMessage> EmailFollowUpService::reply_later_messages() {
  return list(kListReplyLater);
}
std::vector<EmailMessage> EmailFollowUpService::waiting_on_messages() { return list(kListWaiting); }
std::vector<EmailMessage> EmailFollowUpService::snoozed_messages() { return list(kListSnoozed); }

template <class Change>
bool EmailFollowUpService::change_mark(const EmailMessage& message, Change change) {
  try {
    // Read and written in one transaction, so that a mark another process sets in between
    // is not written over with the value read before it.
    mail_store_.database().write([&](Connection& c) {
      EmailMessage changed = read_stored_message(c, message.id).value_or(message);
      change(changed);
      changed.updatedAt = now();
      mail_store_.updateFlagsOnAllCopies(changed);
    });
  } catch (const std::exception& e) {
    log_failure("持久化失败: ", e);
    return false;
  }
  refresh_counts();
  return true;
}

bool EmailFollowUpService::set_reply_later(const EmailMessage& message, double until) {
  return change_mark(message, [until](EmailMessage& m) { m.replyLaterUntil = until; });
}

bool EmailFollowUpService::clear_reply_later(const EmailMessage& message) {
  return change_mark(message, [](EmailMessage& m) { m.replyLaterUntil.reset(); });
}

bool EmailFollowUpService::set_waiting(const EmailMessage& message, double since) {
  return change_mark(message, [since](EmailMessage& m) { m.waitingSince = since; });
}

bool EmailFollowUpService::clear_waiting(const EmailMessage& message) {
  return change_mark(message, [](EmailMessage& m) { m.waitingSince.reset(); });
}

void EmailFollowUpService::tick() {
  scan_reply_later();
  scan_waiting();
  refresh_counts();
}

int EmailFollowUpService::scan_reply_later() {
  if (!notifications_enabled()) return 0;
  const double at = now();
  std::vector<ScanHit> hits;
  try {
    hits = database_.read([&](Connection& c) {
      std::vector<ScanHit> found;
      auto s = c.prepare(kScanReplyLater);
      s.bind(1, at);
      while (s.step()) found.push_back(ScanHit{s.text(0).value_or(""), s.text(1)});
      return found;
    });
  } catch (const std::exception& e) {
    log_failure("扫描 Reply Later 失败: ", e);
    return 0;
  }
  for (const ScanHit& hit : hits) {
    poster_(LocalNotification{
        .title = localized("followup.notify.reply_later.title"),
        .body = localized_format("followup.notify.reply_later.body", shown_subject(hit.subject)),
    });
    try {
      database_.write(
          [&](Connection& c) { c.prepare(kClearReplyLater).bind_all(at, hit.id).run(); });
    } catch (const std::exception& e) {
      log_failure("清 Reply Later 失败: ", e);
      continue;
    }
    clear_reply_later_in_memory(hit.id, at);
  }
  return static_cast<int>(hits.size());
}

void EmailFollowUpService::clear_reply_later_in_memory(std::string_view id, double at) {
  for (const auto& [folder_id, messages] : mail_store_.messages()) {
    for (const EmailMessage& message : messages) {
      if (message.id != id) continue;
      EmailMessage cleared = message;
      cleared.replyLaterUntil.reset();
      cleared.updatedAt = at;
      mail_store_.replaceInMemory(cleared);  // replaces every in-memory copy of the row
      return;
    }
  }
}

int EmailFollowUpService::scan_waiting() {
  if (!notifications_enabled()) return 0;
  const double at = now();
  const double threshold = at - static_cast<double>(waiting_days()) * kDay;
  int announced = 0;
  try {
    const auto hits = database_.read([&](Connection& c) {
      std::vector<ScanHit> found;
      auto s = c.prepare(kScanWaiting);
      s.bind(1, threshold);
      while (s.step())
        found.push_back(ScanHit{s.text(0).value_or(""), s.text(1), s.real(2).value_or(0)});
      return found;
    });
    for (const ScanHit& hit : hits) {
      const std::string key =
          std::string(kWaitingNotifiedKeyPrefix) + parse_uuid(hit.id).value_or(hit.id);
      if (auto last = settings_.real(key); last && at - *last < kWaitingRenotifyInterval) continue;
      const auto days = static_cast<int64_t>(std::floor((at - hit.waitingSince) / kDay));
      poster_(LocalNotification{
          .title = localized("followup.notify.waiting.title"),
          .body =
              localized_format("followup.notify.waiting.body", shown_subject(hit.subject), days),
      });
      ++announced;
      settings_.set(key, at);
    }
  } catch (const std::exception& e) {
    log_failure("扫描 Waiting On 失败: ", e);
  }
  return announced;
}

}  // namespace kestrova::store
