#include "store/label_store.h"

#include <algorithm>

#include "store/database.h"
#include "util/log.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::store {

namespace {

constexpr std::string_view kTag = "LabelStore";

constexpr std::string_view kSelectAll =
    "SELECT * FROM email_labels ORDER BY usage_count DESC, name ASC";
constexpr std::string_view kInsert =
    "INSERT INTO email_labels (id, name, color_hex, system_image, usage_count, created_at) "
    "VALUES (?, ?, ?, ?, ?, ?)";
constexpr std::string_view kUpdate =
    "UPDATE email_labels SET name = ?, color_hex = ?, system_image = ? WHERE id = ?";
constexpr std::string_view kDelete = "DELETE FROM email_labels WHERE id = ?";
constexpr std::string_view kDeleteLinks = "DELETE FROM email_message_labels WHERE label_id = ?";
constexpr std::string_view kInsertLink =
    "INSERT OR IGNORE INTO email_message_labels (message_id, label_id) VALUES (?, ?)";
constexpr std::string_view kCountUse =
    "UPDATE email_labels SET usage_count = usage_count + 1 WHERE id = ?";
constexpr std::string_view kDeleteLink =
    "DELETE FROM email_message_labels WHERE message_id = ? AND label_id = ?";
constexpr std::string_view kSelectOfMessage =
    "SELECT l.* FROM email_labels l JOIN email_message_labels ml ON l.id = ml.label_id WHERE "
    "ml.message_id = ? ORDER BY l.name";

void log_failure(std::string_view what, const std::exception& e) {
  log_line(log_kind::kWarning, kTag, std::string(what) + e.what());
}

std::vector<EmailLabel> read_labels(Connection& c, std::string_view sql,
                                    std::optional<std::string_view> argument = std::nullopt) {
  auto s = c.prepare(sql);
  if (argument) s.bind(1, *argument);
  std::vector<EmailLabel> labels;
  while (s.step())
    if (auto label = EmailLabel::from_row(s)) labels.push_back(std::move(*label));
  return labels;
}

}  // namespace

LabelStore::LabelStore(EmailDatabase& database, Clock clock)
    : database_(database), clock_(std::move(clock)) {
  load();
}

void LabelStore::load() {
  try {
    labels_ = database_.read([](Connection& c) { return read_labels(c, kSelectAll); });
  } catch (const std::exception& e) {
    log_failure("加载标签失败: ", e);
  }
}

std::optional<EmailLabel> LabelStore::create(std::string name, std::string color_hex,
                                             std::string system_image) {
  EmailLabel label;
  label.id = new_uuid();
  label.name = std::move(name);
  label.colorHex = std::move(color_hex);
  label.systemImage = std::move(system_image);
  label.createdAt = clock_ ? clock_() : now_seconds();
  try {
    database_.write([&](Connection& c) {
      c.prepare(kInsert)
          .bind_all(label.id, label.name, label.colorHex, label.systemImage, label.usageCount,
                    label.createdAt)
          .run();
    });
  } catch (const std::exception& e) {
    log_failure("创建标签失败: ", e);
    return std::nullopt;
  }
  labels_.push_back(label);
  sort();
  return label;
}

bool LabelStore::update(const EmailLabel& label) {
  try {
    database_.write([&](Connection& c) {
      c.prepare(kUpdate).bind_all(label.name, label.colorHex, label.systemImage, label.id).run();
    });
  } catch (const std::exception& e) {
    log_failure("更新标签失败: ", e);
    return false;
  }
  for (EmailLabel& existing : labels_) {
    if (existing.id != label.id) continue;
    existing.name = label.name;
    existing.colorHex = label.colorHex;
    existing.systemImage = label.systemImage;
  }
  sort();
  return true;
}

bool LabelStore::remove(std::string_view id) {
  try {
    database_.write([&](Connection& c) {
      c.prepare(kDelete).bind(1, id).run();
      c.prepare(kDeleteLinks).bind(1, id).run();
    });
  } catch (const std::exception& e) {
    log_failure("删除标签失败: ", e);
    return false;
  }
  std::erase_if(labels_, [&](const EmailLabel& label) { return label.id == id; });
  return true;
}

bool LabelStore::add_to_message(std::string_view message_id, std::string_view label_id) {
  bool linked = false;
  try {
    database_.write([&](Connection& c) {
      c.prepare(kInsertLink).bind_all(message_id, label_id).run();
      linked = c.changes() > 0;
      if (linked) c.prepare(kCountUse).bind(1, label_id).run();
    });
  } catch (const std::exception& e) {
    log_failure("添加标签失败: ", e);
    return false;
  }
  if (!linked) return true;
  for (EmailLabel& label : labels_)
    if (label.id == label_id) ++label.usageCount;
  sort();
  return true;
}

bool LabelStore::remove_from_message(std::string_view message_id, std::string_view label_id) {
  try {
    database_.write(
        [&](Connection& c) { c.prepare(kDeleteLink).bind_all(message_id, label_id).run(); });
  } catch (const std::exception& e) {
    log_failure("移除标签失败: ", e);
    return false;
  }
  return true;
}

std::vector<EmailLabel> LabelStore::labels_of_message(std::string_view message_id) {
  try {
    return database_.read(
        [&](Connection& c) { return read_labels(c, kSelectOfMessage, message_id); });
  } catch (const std::exception& e) {
    log_failure("加载标签失败: ", e);
    return {};
  }
}

void LabelStore::sort() {
  std::stable_sort(labels_.begin(), labels_.end(), [](const EmailLabel& a, const EmailLabel& b) {
    if (a.usageCount != b.usageCount) return a.usageCount > b.usageCount;
    return a.name < b.name;
  });
}

}  // namespace kestrova::store
