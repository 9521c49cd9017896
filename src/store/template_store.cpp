#include "store/template_store.h"

#include <algorithm>
#include <array>

#include "store/database.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::store {

namespace {

constexpr std::string_view kTag = "TemplateStore";

constexpr std::string_view kSelectAll =
    "SELECT * FROM email_templates ORDER BY usage_count DESC, updated_at DESC";
constexpr std::string_view kInsert =
    "INSERT OR REPLACE INTO email_templates (id, name, subject, body, html_body, category, "
    "shortcut, usage_count, created_at, updated_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr std::string_view kUpdate =
    "UPDATE email_templates SET name = ?, subject = ?, body = ?, html_body = ?, category = ?, "
    "shortcut = ?, usage_count = ?, updated_at = ? WHERE id = ?";
constexpr std::string_view kDelete = "DELETE FROM email_templates WHERE id = ?";

struct DefaultTemplate {
  std::string_view name_key;
  std::string_view subject_key;  // empty: no subject
  std::string_view body_key;
  EmailTemplate::Category category;
};

constexpr std::array<DefaultTemplate, 4> kDefaults = {{
    {"template.default.ack.name", "", "template.default.ack.body", EmailTemplate::Category::reply},
    {"template.default.thanks.name", "", "template.default.thanks.body",
     EmailTemplate::Category::reply},
    {"template.default.followup.name", "template.default.followup.subject",
     "template.default.followup.body", EmailTemplate::Category::followUp},
    {"template.default.ooo.name", "template.default.ooo.subject", "template.default.ooo.body",
     EmailTemplate::Category::business},
}};

void log_failure(std::string_view what, const std::exception& e) {
  log_line(log_kind::kFailure, kTag, std::string(what) + e.what());
}

void write_insert(Connection& c, const EmailTemplate& t) {
  c.prepare(kInsert)
      .bind_all(t.id, t.name, t.subject, t.body, t.htmlBody, raw_value(t.category), t.shortcut,
                t.usageCount, t.createdAt, t.updatedAt)
      .run();
}

}  // namespace

TemplateStore::TemplateStore(EmailDatabase& database, Clock clock)
    : database_(database), clock_(std::move(clock)) {
  load();
}

double TemplateStore::now() const { return clock_ ? clock_() : now_seconds(); }

void TemplateStore::load() {
  try {
    templates_ = database_.read([](Connection& c) {
      std::vector<EmailTemplate> templates;
      auto s = c.prepare(kSelectAll);
      while (s.step())
        if (auto t = EmailTemplate::from_row(s)) templates.push_back(std::move(*t));
      return templates;
    });
  } catch (const std::exception& e) {
    log_failure("加载模板失败: ", e);
    return;
  }
  if (templates_.empty()) seed_defaults();
}

void TemplateStore::seed_defaults() {
  const double at = now();
  std::vector<EmailTemplate> seeded;
  for (const DefaultTemplate& d : kDefaults) {
    EmailTemplate t;
    t.id = new_uuid();
    t.name = localized(d.name_key);
    t.subject = d.subject_key.empty() ? std::string() : localized(d.subject_key);
    t.body = localized(d.body_key);
    t.category = d.category;
    t.createdAt = at;
    t.updatedAt = at;
    seeded.push_back(std::move(t));
  }
  try {
    database_.write([&](Connection& c) {
      for (const EmailTemplate& t : seeded) write_insert(c, t);
    });
  } catch (const std::exception& e) {
    log_failure("创建默认模板失败: ", e);
    return;
  }
  templates_ = std::move(seeded);
}

std::optional<EmailTemplate> TemplateStore::add(EmailTemplate entry) {
  if (entry.id.empty()) entry.id = new_uuid();
  if (entry.createdAt == 0) entry.createdAt = now();
  if (entry.updatedAt == 0) entry.updatedAt = entry.createdAt;
  try {
    database_.write([&](Connection& c) { write_insert(c, entry); });
  } catch (const std::exception& e) {
    log_failure("保存模板失败: ", e);
    return std::nullopt;
  }
  // The row replaced one with the same id: so does the list entry.
  auto it = std::find_if(templates_.begin(), templates_.end(),
                         [&](const EmailTemplate& t) { return t.id == entry.id; });
  if (it != templates_.end()) {
    *it = entry;
  } else {
    templates_.push_back(entry);
  }
  return entry;
}

bool TemplateStore::write_update(const EmailTemplate& t) {
  try {
    database_.write([&](Connection& c) {
      c.prepare(kUpdate)
          .bind_all(t.name, t.subject, t.body, t.htmlBody, raw_value(t.category), t.shortcut,
                    t.usageCount, t.updatedAt, t.id)
          .run();
    });
  } catch (const std::exception& e) {
    log_failure("更新模板失败: ", e);
    return false;
  }
  std::replace_if(
      templates_.begin(), templates_.end(),
      [&](const EmailTemplate& existing) { return existing.id == t.id; }, t);
  return true;
}

bool TemplateStore::update(EmailTemplate entry) {
  entry.updatedAt = now();
  return write_update(entry);
}

bool TemplateStore::record_use(std::string_view id) {
  auto it = std::find_if(templates_.begin(), templates_.end(),
                         [&](const EmailTemplate& t) { return t.id == id; });
  if (it == templates_.end()) return false;
  EmailTemplate used = *it;
  ++used.usageCount;
  return write_update(used);
}

bool TemplateStore::remove(std::string_view id) {
  try {
    database_.write([&](Connection& c) { c.prepare(kDelete).bind(1, id).run(); });
  } catch (const std::exception& e) {
    log_failure("删除模板失败: ", e);
    return false;
  }
  std::erase_if(templates_, [&](const EmailTemplate& t) { return t.id == id; });
  return true;
}

std::vector<EmailTemplate> TemplateStore::search(std::string_view query) const {
  const std::string needle = text::trim(query);
  if (needle.empty()) return templates_;
  std::vector<EmailTemplate> matches;
  std::copy_if(templates_.begin(), templates_.end(), std::back_inserter(matches),
               [&](const EmailTemplate& t) {
                 return text::contains_ci(t.name, needle) || text::contains_ci(t.subject, needle) ||
                        text::contains_ci(t.body, needle);
               });
  return matches;
}

std::vector<EmailTemplate> TemplateStore::templates_in(EmailTemplate::Category category) const {
  std::vector<EmailTemplate> matches;
  std::copy_if(templates_.begin(), templates_.end(), std::back_inserter(matches),
               [&](const EmailTemplate& t) { return t.category == category; });
  return matches;
}

}  // namespace kestrova::store
