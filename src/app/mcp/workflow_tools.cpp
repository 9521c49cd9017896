// The workflow tools of the tool server: action items, the follow-up queues, sender
// training, contacts, privacy reports and sender profiles.

#include <array>
#include <vector>

#include "app/mcp/mail_tool_support.h"
#include "app/mcp/mcp_arguments.h"
#include "app/mcp/mcp_catalogue.h"
#include "app/mcp/mcp_error.h"
#include "safety/email_privacy_report_service.h"
#include "store/contact_store.h"
#include "store/database.h"
#include "store/email_action_item.h"
#include "store/email_message.h"
#include "store/stored_contact.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

using store::Connection;
using store::EmailDatabase;

constexpr double kThirtyDays = 30 * 24 * 3600;

// ---- action items ----

Json list_action_items(const Json& arguments) {
  const std::string state = args::optional_string(arguments, "state").value_or("open");
  const auto message_id = args::optional_string(arguments, "messageId");
  const int64_t limit = args::clamped(args::integer(arguments, "limit"), 50, 1, 200);
  std::string sql = "SELECT * FROM email_action_items WHERE 1=1";
  if (state != "all") sql += " AND state = ?";
  if (message_id) sql += " AND message_id = ?";
  sql += " ORDER BY created_at DESC LIMIT ?";
  return EmailDatabase::shared().read([&](Connection& c) {
    auto s = c.prepare(sql);
    int index = 1;
    if (state != "all") s.bind(index++, state);
    if (message_id) s.bind(index++, *message_id);
    s.bind(index, limit);
    Json out = Json::array();
    while (s.step()) out.push_back(action_item_json(s));
    return out;
  });
}

Json create_action_item(const Json& arguments) {
  const std::string message_id = args::required_string(arguments, "messageId");
  const std::string title = args::required_string(arguments, "title");
  const auto due_text = args::optional_string(arguments, "dueAt");
  const std::optional<double> due = due_text ? parse_date_argument(*due_text) : std::nullopt;
  return EmailDatabase::shared().write([&](Connection& c) {
    auto lookup = c.prepare("SELECT account_id FROM email_messages WHERE id = ?");
    lookup.bind(1, message_id);
    if (!lookup.step()) throw MCPError("Message not found");
    const std::string account_id = text_column(lookup, "account_id");
    const std::string title_key = store::EmailActionItem::title_key(title);
    auto count = c.prepare("SELECT COUNT(*) FROM email_action_items WHERE message_id = ? AND title_key = ?");
    count.bind_all(message_id, title_key);
    count.step();
    if (count.integer(0).value_or(0) != 0)
      return Json{{"status", "duplicate"}, {"reason", "An action item with the same title already exists for this message"}};
    const std::string id = new_uuid();
    const double now = now_seconds();
    auto insert = c.prepare(
        "INSERT INTO email_action_items (id, message_id, account_id, title, title_key, due_at, state, "
        "source, snoozed_until, completed_at, created_at, updated_at) VALUES (?, ?, ?, ?, ?, ?, 'open', "
        "'manual', NULL, NULL, ?, ?)");
    insert.bind(1, id).bind(2, message_id).bind(3, account_id).bind(4, title).bind(5, title_key);
    if (due)
      insert.bind(6, *due);
    else
      insert.bind(6, std::nullopt);
    insert.bind(7, now).bind(8, now);
    insert.run();
    return Json{{"id", id}, {"status", "created"}};
  });
}

Json mark_action_done(const Json& arguments) {
  const std::string id = args::required_string(arguments, "actionId");
  const double now = now_seconds();
  EmailDatabase::shared().write([&](Connection& c) {
    auto s = c.prepare(
        "UPDATE email_action_items SET state = 'done', completed_at = ?, snoozed_until = NULL, "
        "updated_at = ? WHERE id = ?");
    s.bind_all(now, now, id);
    s.run();
  });
  return Json{{"ok", true}};
}

Json snooze_action(const Json& arguments) {
  const std::string id = args::required_string(arguments, "actionId");
  const std::string until_text = args::required_string(arguments, "until");
  const auto until = parse_date_argument(until_text);
  if (!until) throw MCPError("Invalid ISO-8601 date: " + until_text);
  EmailDatabase::shared().write([&](Connection& c) {
    auto s = c.prepare(
        "UPDATE email_action_items SET state = 'snoozed', snoozed_until = ?, updated_at = ? WHERE id = ?");
    s.bind_all(*until, now_seconds(), id);
    s.run();
  });
  return Json{{"ok", true}};
}

Json reopen_action(const Json& arguments) {
  const std::string id = args::required_string(arguments, "actionId");
  EmailDatabase::shared().write([&](Connection& c) {
    auto s = c.prepare(
        "UPDATE email_action_items SET state = 'open', snoozed_until = NULL, completed_at = NULL, "
        "updated_at = ? WHERE id = ?");
    s.bind_all(now_seconds(), id);
    s.run();
  });
  return Json{{"ok", true}};
}

// ---- follow-up queues ----

struct FollowUpKind {
  std::string_view name;
  std::string_view condition;
  std::string_view order;
  std::string_view key;
};

constexpr std::array<FollowUpKind, 3> kFollowUpKinds = {{
    {"reply_later", "reply_later_until IS NOT NULL AND is_deleted = 0", "reply_later_until ASC", "replyLater"},
    {"waiting_on", "waiting_since IS NOT NULL AND is_deleted = 0", "waiting_since ASC", "waitingOn"},
    {"snoozed", "snoozed_until IS NOT NULL AND is_deleted = 0", "snoozed_until ASC", "snoozed"},
}};

Json follow_up_json(const store::Statement& row) {
  return Json{{"id", text_column(row, "id")},
              {"accountId", text_column(row, "account_id")},
              {"subject", text_column(row, "subject")},
              {"from", Json{{"name", text_column(row, "from_name")}, {"email", text_column(row, "from_email")}}},
              {"date", iso_date_column(row, "date", "")},
              {"replyLaterUntil", iso_date_column(row, "reply_later_until", "")},
              {"waitingSince", iso_date_column(row, "waiting_since", "")},
              {"snoozedUntil", iso_date_column(row, "snoozed_until", "")}};
}

Json list_follow_ups(const Json& arguments) {
  const std::string kind = args::optional_string(arguments, "kind").value_or("all");
  const int64_t limit = args::clamped(args::integer(arguments, "limit"), 30, 1, 200);
  return EmailDatabase::shared().read([&](Connection& c) {
    Json out = Json::object();
    for (const auto& k : kFollowUpKinds) {
      if (kind != "all" && kind != k.name) continue;
      auto s = c.prepare(
          "SELECT id, subject, from_name, from_email, date, account_id, reply_later_until, waiting_since, "
          "snoozed_until FROM email_messages WHERE " + std::string(k.condition) + " ORDER BY " +
          std::string(k.order) + " LIMIT ?");
      s.bind(1, limit);
      Json entries = Json::array();
      while (s.step()) entries.push_back(follow_up_json(s));
      out[std::string(k.key)] = std::move(entries);
    }
    return out;
  });
}

// A date argument that is either set or cleared; `cleared` when the value is NULL.
Json write_follow_up(const std::string& message_id, std::string_view clause, std::optional<double> value) {
  EmailDatabase::shared().write([&](Connection& c) {
    update_all_copies(c, message_id, clause,
                      value ? ColumnValue(*value) : ColumnValue(std::nullopt));
  });
  return Json{{"ok", true}, {"cleared", !value}};
}

Json set_reply_later(const Json& arguments) {
  const std::string message_id = args::required_string(arguments, "messageId");
  std::optional<double> until;
  if (const auto text = args::optional_string(arguments, "until"); text && !text->empty())
    until = parse_date_argument(*text);  // unparseable clears
  return write_follow_up(message_id, "reply_later_until = ?", until);
}

Json set_waiting_on(const Json& arguments) {
  const std::string message_id = args::required_string(arguments, "messageId");
  std::optional<double> since;
  if (!arguments.contains("since")) {
    since = now_seconds();
  } else if (const auto text = args::optional_string(arguments, "since"); text && !text->empty()) {
    since = parse_date_argument(*text);  // unparseable clears
  }
  return write_follow_up(message_id, "waiting_since = ?", since);
}

// ---- sender training and contacts ----

std::string valid_categories() {
  std::string names;
  for (const auto category : store::all_cases<store::SenderCategory>()) {
    if (!names.empty()) names += ", ";
    names += store::raw_value(category);
  }
  return names;
}

// Runs `update` on the contact of `email` (lower-cased), or `insert` with a new id and now
// when there is none, in one write transaction.
template <class Insert, class Update>
void upsert_contact(const std::string& email, Insert insert, Update update) {
  EmailDatabase::shared().write([&](Connection& c) {
    auto count = c.prepare("SELECT COUNT(*) FROM contacts WHERE lower(email) = ?");
    count.bind(1, email);
    count.step();
    if (count.integer(0).value_or(0) == 0)
      insert(c, new_uuid(), now_seconds());
    else
      update(c);
  });
}

Json set_sender_category(const Json& arguments) {
  const std::string email =
      store::ContactStore::normalized_address(args::required_string(arguments, "email"));
  std::optional<std::string> category;
  if (const auto it = arguments.find("category"); it != arguments.end() && !it->is_null()) {
    const std::string value = it->is_string() ? it->get<std::string>() : it->dump();
    if (!store::from_raw<store::SenderCategory>(value))
      throw MCPError("Invalid category: " + value + ". Valid: " + valid_categories());
    category = value;
  }
  const std::optional<double> trained_at = category ? std::optional(now_seconds()) : std::nullopt;
  auto bind_optional = [](store::Statement& s, int index, const auto& value) {
    if (value)
      s.bind(index, *value);
    else
      s.bind(index, std::nullopt);
  };
  upsert_contact(
      email,
      [&](Connection& c, const std::string& id, double now) {
        auto s = c.prepare(
            "INSERT INTO contacts (id, email, frequency, last_used, source, category, trained_at) "
            "VALUES (?, ?, 1, ?, 'manual', ?, ?)");
        s.bind(1, id).bind(2, email).bind(3, now);
        bind_optional(s, 4, category);
        bind_optional(s, 5, trained_at);
        s.run();
      },
      [&](Connection& c) {
        auto s = c.prepare("UPDATE contacts SET category = ?, trained_at = ? WHERE lower(email) = ?");
        bind_optional(s, 1, category);
        bind_optional(s, 2, trained_at);
        s.bind(3, email);
        s.run();
      });
  return Json{{"ok", true}, {"cleared", !category}};
}

Json set_sender_note(const Json& arguments) {
  const std::string email =
      store::ContactStore::normalized_address(args::required_string(arguments, "email"));
  const auto it = arguments.is_object() ? arguments.find("note") : arguments.end();
  if (it == arguments.end() || !it->is_string()) throw MCPError("Missing required argument: note");
  const std::string note = it->get<std::string>();
  auto bind_note = [&](store::Statement& s, int index) {
    if (note.empty())
      s.bind(index, std::nullopt);
    else
      s.bind(index, note);
  };
  upsert_contact(
      email,
      [&](Connection& c, const std::string& id, double now) {
        auto s = c.prepare(
            "INSERT INTO contacts (id, email, frequency, last_used, source, note) VALUES (?, ?, 1, ?, 'manual', ?)");
        s.bind(1, id).bind(2, email).bind(3, now);
        bind_note(s, 4);
        s.run();
      },
      [&](Connection& c) {
        auto s = c.prepare("UPDATE contacts SET note = ? WHERE lower(email) = ?");
        bind_note(s, 1);
        s.bind(2, email);
        s.run();
      });
  return Json{{"ok", true}, {"cleared", note.empty()}};
}

Json list_contacts(const Json& arguments) {
  const int64_t limit = args::clamped(args::integer(arguments, "limit"), 100, 1, 500);
  const auto category = args::optional_string(arguments, "category");
  std::string sql = "SELECT * FROM contacts";
  if (category) sql += " WHERE category = ?";
  sql += " ORDER BY frequency DESC, last_used DESC LIMIT ?";
  return EmailDatabase::shared().read([&](Connection& c) {
    auto s = c.prepare(sql);
    int index = 1;
    if (category) s.bind(index++, *category);
    s.bind(index, limit);
    Json out = Json::array();
    while (s.step()) out.push_back(contact_json(s));
    return out;
  });
}

// ---- sender profile and privacy report ----

Json get_sender_profile(const Json& arguments) {
  const std::string email = text::lower(args::required_string(arguments, "email"));
  return EmailDatabase::shared().read([&](Connection& c) {
    auto count = c.prepare("SELECT COUNT(*) FROM email_messages WHERE lower(from_email) = ? AND is_deleted = 0");
    count.bind(1, email);
    count.step();
    auto recent = c.prepare(
        "SELECT COUNT(*) FROM email_messages WHERE lower(from_email) = ? AND date >= ? AND is_deleted = 0");
    recent.bind_all(email, now_seconds() - kThirtyDays);
    recent.step();
    auto last = c.prepare("SELECT MAX(date) FROM email_messages WHERE lower(from_email) = ? AND is_deleted = 0");
    last.bind(1, email);
    last.step();
    const auto last_date = last.real(0);
    Json out{{"email", email},
             {"totalReceived", count.integer(0).value_or(0)},
             {"receivedLast30Days", recent.integer(0).value_or(0)},
             {"lastReceived", last_date ? Json(iso8601_utc(*last_date)) : Json("")},
             {"displayName", nullptr},
             {"category", nullptr},
             {"note", nullptr},
             {"trainedAt", nullptr},
             {"frequency", 0}};
    auto contact = c.prepare("SELECT name, category, note, trained_at, frequency FROM contacts WHERE lower(email) = ?");
    contact.bind(1, email);
    if (contact.step()) {
      out["displayName"] = nullable_text(contact, "name");
      out["category"] = nullable_text(contact, "category");
      out["note"] = nullable_text(contact, "note");
      out["trainedAt"] = iso_date_column(contact, "trained_at", "");
      out["frequency"] = contact.integer("frequency").value_or(0);
    }
    return out;
  });
}

Json get_privacy_report(const Json& arguments) {
  const std::string message_id = args::required_string(arguments, "messageId");
  const auto message = EmailDatabase::shared().read([&](Connection& c) {
    auto s = c.prepare("SELECT * FROM email_messages WHERE id = ?");
    s.bind(1, message_id);
    if (!s.step()) throw MCPError("Message not found");
    auto record = store::EmailMessage::from_row(s);
    if (!record) throw MCPError("Message not found");
    return std::move(*record);
  });
  return safety::to_tool_json(safety::EmailPrivacyReportService::report(message));
}

}  // namespace

std::vector<Tool> workflow_tools() {
  std::vector<Tool> tools;
  auto add = [&](ToolTier tier, OrderedJson descriptor, std::function<Json(const Json&)> handler) {
    tools.push_back(Tool{descriptor["name"].get<std::string>(), tier, std::move(descriptor), std::move(handler)});
  };
  add(ToolTier::read,
      tool_descriptor("list_action_items", "List local email action items.",
                      properties({{"state", string_property("Filter by state: open / done / snoozed / all (default open)")},
                                  {"messageId", string_property("Optional: only items linked to this message UUID")},
                                  {"limit", integer_property("Max items, default 50")}}),
                      {}),
      list_action_items);
  add(ToolTier::read,
      tool_descriptor("list_follow_ups", "List Reply Later / Waiting On / Snoozed messages (v4.1 follow-up queue).",
                      properties({{"kind", string_property("reply_later / waiting_on / snoozed / all (default all)")},
                                  {"limit", integer_property("Max messages per kind, default 30")}}),
                      {}),
      list_follow_ups);
  add(ToolTier::read,
      tool_descriptor("get_privacy_report",
                      "Compute privacy report for a message (trackers, suspicious links, sender trust, prompt-injection).",
                      properties({{"messageId", string_property("Message UUID")}}), {"messageId"}),
      get_privacy_report);
  add(ToolTier::read,
      tool_descriptor("get_sender_profile",
                      "Get a sender's profile: stats, recent activity, attachments, common co-recipients.",
                      properties({{"email", string_property("Sender email (case-insensitive)")}}), {"email"}),
      get_sender_profile);
  add(ToolTier::read,
      tool_descriptor("list_contacts", "List local contacts (frequency-sorted) with category/note training state.",
                      properties({{"limit", integer_property("Max contacts, default 100")},
                                  {"category", string_property("Optional: filter by training category "
                                                               "(newsletter / paperTrail / vip / lowPriority)")}}),
                      {}),
      list_contacts);
  add(ToolTier::trainable,
      tool_descriptor("create_action_item", "Create a manual email action item linked to a message.",
                      properties({{"messageId", string_property("Message UUID this action is for")},
                                  {"title", string_property("Action title")},
                                  {"dueAt", string_property("Optional ISO-8601 due date")}}),
                      {"messageId", "title"}),
      create_action_item);
  add(ToolTier::trainable,
      tool_descriptor("mark_action_done", "Mark an action item as done.",
                      properties({{"actionId", string_property("Action UUID")}}), {"actionId"}),
      mark_action_done);
  add(ToolTier::trainable,
      tool_descriptor("snooze_action", "Snooze an action item until a specific ISO-8601 time.",
                      properties({{"actionId", string_property("Action UUID")},
                                  {"until", string_property("ISO-8601 wake time")}}),
                      {"actionId", "until"}),
      snooze_action);
  add(ToolTier::trainable,
      tool_descriptor("reopen_action", "Reopen a done / snoozed action item.",
                      properties({{"actionId", string_property("Action UUID")}}), {"actionId"}),
      reopen_action);
  add(ToolTier::trainable,
      tool_descriptor("set_reply_later", "Mark or clear Reply Later on a message. Omit `until` to clear.",
                      properties({{"messageId", string_property("Message UUID")},
                                  {"until", string_property("Optional ISO-8601 wake time; omit/null to clear")}}),
                      {"messageId"}),
      set_reply_later);
  add(ToolTier::trainable,
      tool_descriptor("set_waiting_on", "Mark or clear Waiting On for a message. Omit `since` to clear.",
                      properties({{"messageId", string_property("Message UUID")},
                                  {"since", string_property(
                                                "Optional ISO-8601 start time (defaults to now); omit/null to clear")}}),
                      {"messageId"}),
      set_waiting_on);
  add(ToolTier::trainable,
      tool_descriptor("set_sender_category",
                      "Train a sender's category for future incoming mail. Categories: newsletter / paperTrail / "
                      "vip / lowPriority. Pass null to clear.",
                      properties({{"email", string_property("Sender email")},
                                  {"category", string_property(
                                                   "newsletter / paperTrail / vip / lowPriority (omit/null to clear)")}}),
                      {"email"}),
      set_sender_category);
  add(ToolTier::trainable,
      tool_descriptor("set_sender_note", "Set a free-text note on a sender (empty string clears it).",
                      properties({{"email", string_property("Sender email")},
                                  {"note", string_property("Note text (empty clears)")}}),
                      {"email", "note"}),
      set_sender_note);
  return tools;
}

}  // namespace kestrova::app
