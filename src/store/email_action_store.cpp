#include "store/email_action_store.h"

#include <algorithm>

#include "platform/repeating_timer.h"
#include "store/database.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::store {

namespace {

constexpr std::string_view kTag = "EmailActionStore";

constexpr std::string_view kSelectAll = "SELECT * FROM email_action_items ORDER BY created_at DESC";
constexpr std::string_view kSelectById = "SELECT * FROM email_action_items WHERE id = ?";
constexpr std::string_view kInsertOrIgnore =
    "INSERT OR IGNORE INTO email_action_items (id, message_id, account_id, title, title_key, "
    "due_at, state, source, snoozed_until, completed_at, created_at, updated_at) VALUES (?, ?, "
    "?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr std::string_view kCountItems =
    "SELECT COUNT(*) FROM email_action_items WHERE message_id = ? AND title_key = ?";
constexpr std::string_view kCountTombstones =
    "SELECT COUNT(*) FROM email_action_item_tombstones WHERE message_id = ? AND title_key = ?";
constexpr std::string_view kInsertAi =
    "INSERT INTO email_action_items (id, message_id, account_id, title, title_key, due_at, "
    "state, source, snoozed_until, completed_at, created_at, updated_at) VALUES (?, ?, ?, ?, ?, "
    "NULL, 'open', 'ai', NULL, NULL, ?, ?)";
constexpr std::string_view kUpdate =
    "UPDATE email_action_items SET title = ?, title_key = ?, due_at = ?, state = ?, source = ?, "
    "snoozed_until = ?, completed_at = ?, updated_at = ? WHERE id = ?";
constexpr std::string_view kDelete = "DELETE FROM email_action_items WHERE id = ?";
// Keeps the id of an existing tombstone for the same (message, key), so repeated deletions
// leave one tombstone carrying the latest time and source.
constexpr std::string_view kInsertTombstone =
    "INSERT OR REPLACE INTO email_action_item_tombstones (id, message_id, account_id, "
    "title_key, deleted_at, source) VALUES (COALESCE((SELECT id FROM "
    "email_action_item_tombstones WHERE message_id = ? AND title_key = ?), ?), ?, ?, ?, ?, ?)";
// Snoozed items without a time count as due (see EmailActionItem::isActive).
constexpr std::string_view kSelectDue =
    "SELECT * FROM email_action_items WHERE state = 'snoozed' AND (snoozed_until IS NULL OR "
    "snoozed_until <= ?) ORDER BY snoozed_until";

void log_failure(std::string_view what, const std::exception& e) {
  log_line(log_kind::kFailure, kTag, std::string(what) + e.what());
}

int64_t count(Connection& c, std::string_view sql, std::string_view message_id,
              std::string_view key) {
  auto s = c.prepare(sql);
  s.bind_all(message_id, key);
  s.step();
  return s.integer(0).value_or(0);
}

void write_update(Connection& c, const EmailActionItem& item) {
  c.prepare(kUpdate)
      .bind_all(item.title, item.titleKey, item.dueAt, raw_value(item.state),
                raw_value(item.source), item.snoozedUntil, item.completedAt, item.updatedAt,
                item.id)
      .run();
}

bool newer_first(const EmailActionItem& a, const EmailActionItem& b) {
  return a.createdAt > b.createdAt;
}

}  // namespace

EmailActionStore::EmailActionStore(EmailDatabase& database, Options options)
    : database_(database),
      clock_(std::move(options.clock)),
      poster_(options.poster ? std::move(options.poster) : desktop_notification_poster()) {
  load();
  if (!options.withoutWakeTimer)
    timer_ =
        std::make_unique<platform::RepeatingTimer>(kWakeInterval, [this] { wake_due_items(); });
}

EmailActionStore::~EmailActionStore() = default;

double EmailActionStore::now() const { return clock_ ? clock_() : now_seconds(); }

std::optional<EmailActionItem> EmailActionStore::item(std::string_view id) const {
  auto it = std::find_if(items_.begin(), items_.end(),
                         [&](const EmailActionItem& item) { return item.id == id; });
  if (it == items_.end()) return std::nullopt;
  return *it;
}

void EmailActionStore::load() {
  try {
    items_ = database_.read([](Connection& c) {
      std::vector<EmailActionItem> items;
      auto s = c.prepare(kSelectAll);
      while (s.step())
        if (auto item = EmailActionItem::from_row(s)) items.push_back(std::move(*item));
      return items;
    });
  } catch (const std::exception& e) {
    log_failure("加载失败: ", e);
  }
}

bool EmailActionStore::add(EmailActionItem item) {
  item = EmailActionItem::make(std::move(item));
  if (item.id.empty()) item.id = new_uuid();
  if (item.createdAt == 0) item.createdAt = now();
  if (item.updatedAt == 0) item.updatedAt = item.createdAt;
  bool inserted = false;
  try {
    database_.write([&](Connection& c) {
      c.prepare(kInsertOrIgnore)
          .bind_all(item.id, item.messageId, item.accountId, item.title, item.titleKey, item.dueAt,
                    raw_value(item.state), raw_value(item.source), item.snoozedUntil,
                    item.completedAt, item.createdAt, item.updatedAt)
          .run();
      inserted = c.changes() > 0;
    });
  } catch (const std::exception& e) {
    log_failure("插入失败: ", e);
    return false;
  }
  if (inserted) remember(item);
  return inserted;
}

std::vector<EmailActionItem> EmailActionStore::add_ai_items(
    std::string_view message_id, std::string_view account_id,
    const std::vector<std::string>& titles) {
  const double at = now();
  std::vector<EmailActionItem> created;
  try {
    database_.write([&](Connection& c) {
      for (const std::string& title : titles) {
        const std::string key = EmailActionItem::title_key(title);
        if (key.empty()) continue;
        if (count(c, kCountItems, message_id, key) > 0) continue;
        if (count(c, kCountTombstones, message_id, key) > 0) continue;
        EmailActionItem item;
        item.id = new_uuid();
        item.messageId = std::string(message_id);
        item.accountId = std::string(account_id);
        item.title = title;
        item.titleKey = key;
        item.createdAt = at;
        item.updatedAt = at;
        c.prepare(kInsertAi)
            .bind_all(item.id, item.messageId, item.accountId, item.title, item.titleKey, at, at)
            .run();
        created.push_back(std::move(item));
      }
    });
  } catch (const std::exception& e) {
    log_failure("AI 行动项写入失败: ", e);
    return {};
  }
  for (const EmailActionItem& item : created) remember(item);
  return created;
}

bool EmailActionStore::update(const EmailActionItem& item) {
  try {
    database_.write([&](Connection& c) { write_update(c, item); });
  } catch (const std::exception& e) {
    log_failure("更新失败: ", e);
    return false;
  }
  remember(item);
  return true;
}

template <class Change>
bool EmailActionStore::change(std::string_view id, Change apply) {
  auto current = item(id);
  if (!current) return false;
  apply(*current);
  current->updatedAt = now();
  return update(*current);
}

bool EmailActionStore::complete(std::string_view id) {
  return change(id, [this](EmailActionItem& item) {
    item.state = EmailActionItemState::done;
    item.completedAt = now();
    item.snoozedUntil.reset();
  });
}

bool EmailActionStore::snooze(std::string_view id, double until) {
  announced_.erase(std::string(id));
  return change(id, [until](EmailActionItem& item) {
    item.state = EmailActionItemState::snoozed;
    item.snoozedUntil = until;
  });
}

bool EmailActionStore::reopen(std::string_view id) {
  return change(id, [](EmailActionItem& item) {
    item.state = EmailActionItemState::open;
    item.snoozedUntil.reset();
    item.completedAt.reset();
  });
}

bool EmailActionStore::remove(std::string_view id) {
  const double at = now();
  bool found = false;
  try {
    database_.write([&](Connection& c) {
      auto s = c.prepare(kSelectById);
      s.bind(1, id);
      std::optional<EmailActionItem> item;
      if (s.step()) item = EmailActionItem::from_row(s);
      if (!item) return;
      found = true;
      c.prepare(kDelete).bind(1, item->id).run();
      c.prepare(kInsertTombstone)
          .bind_all(item->messageId, item->titleKey, new_uuid(), item->messageId, item->accountId,
                    item->titleKey, at, raw_value(item->source))
          .run();
    });
  } catch (const std::exception& e) {
    log_failure("删除失败: ", e);
    return false;
  }
  std::erase_if(items_, [&](const EmailActionItem& item) { return item.id == id; });
  return found;
}

int EmailActionStore::wake_due_items() {
  const double at = now();
  std::vector<EmailActionItem> due;
  try {
    due = database_.read([&](Connection& c) {
      std::vector<EmailActionItem> items;
      auto s = c.prepare(kSelectDue);
      s.bind(1, at);
      while (s.step())
        if (auto item = EmailActionItem::from_row(s)) items.push_back(std::move(*item));
      return items;
    });
  } catch (const std::exception& e) {
    log_failure("加载失败: ", e);
    return 0;
  }
  int announced = 0;
  for (EmailActionItem& item : due) {
    if (!announced_.insert(item.id).second) continue;
    announce(item);
    ++announced;
    item.state = EmailActionItemState::open;
    item.snoozedUntil.reset();
    item.updatedAt = at;
    // Once stored as open the database keeps it from being announced again.
    if (update(item)) announced_.erase(item.id);
  }
  return announced;
}

void EmailActionStore::announce(const EmailActionItem& item) {
  poster_(LocalNotification{
      .title = localized("action.notify.wake.title"),
      .body = localized_format("action.notify.wake.body", item.title),
  });
}

void EmailActionStore::remember(const EmailActionItem& item) {
  auto it = std::find_if(items_.begin(), items_.end(),
                         [&](const EmailActionItem& existing) { return existing.id == item.id; });
  if (it != items_.end()) {
    *it = item;
    return;
  }
  items_.insert(std::upper_bound(items_.begin(), items_.end(), item, newer_first), item);
}

}  // namespace kestrova::store
