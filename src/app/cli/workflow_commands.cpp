// `kestrova actions`, `kestrova followup`, `kestrova reply-later`, `kestrova waiting` and
// `kestrova contacts`: the action items, the follow-up queues and the address book.

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "app/core/mailbox/search_language.h"
#include "app/cli/terminal_output.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/folder_lookup.h"
#include "app/core/mailbox/id_prefix.h"
#include "app/core/agent/tool_answer_json.h"
#include "platform/settings_store.h"
#include "store/contact_store.h"
#include "store/database.h"
#include "store/email_action_store.h"
#include "store/email_follow_up_service.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/terminal_text.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

using store::EmailActionItem;
using store::EmailActionStore;

std::string date_text(std::optional<double> date) { return date ? local_date_text(*date) : "-"; }

double time_argument(const std::string& text) {
  if (auto date = parse_date_argument(text::trim(text))) return *date;
  throw Error(localized_format("cli.time.unreadable", text));
}

// ---- action items ----

EmailActionItem find_item(const EmailActionStore& actions, const std::string& id) {
  std::vector<std::string> ids;
  for (const auto& item : actions.items()) ids.push_back(item.id);
  auto item = actions.item(match_id_prefix(id, ids, "cli.noun.action_item"));
  if (!item) throw Error(localized_format("cli.actions.not_found", id));
  return *item;
}

void print_item(const EmailActionItem& item) {
  std::cout << short_id(item.id) << "  [" << store::raw_value(item.state) << "]  "
            << terminal_safe(item.title);
  if (item.dueAt) std::cout << localized_format("cli.actions.due", local_date_text(*item.dueAt));
  if (item.state == store::EmailActionItemState::snoozed && item.snoozedUntil)
    std::cout << localized_format("cli.actions.snoozed_until", local_date_text(*item.snoozedUntil));
  std::cout << localized_format("cli.actions.origin", store::raw_value(item.source), item.messageId)
            << "\n";
}

struct ActionListOptions {
  std::string state = "open", message;
  bool json = false;
};

void list_actions(const ActionListOptions& o) {
  AccountBook book;
  EmailActionStore actions(book.store().database());
  std::optional<std::string> message;
  if (!o.message.empty()) message = find_message(book.store(), o.message).id;
  Json json = Json::array();
  int shown = 0;
  for (const auto& item : actions.items()) {
    if (o.state != "all" && store::raw_value(item.state) != o.state) continue;
    if (message && item.messageId != *message) continue;
    ++shown;
    if (!o.json) {
      print_item(item);
      continue;
    }
    book.store().database().read([&](store::Connection& c) {
      auto s = c.prepare("SELECT * FROM email_action_items WHERE id = ?");
      s.bind(1, item.id);
      if (s.step()) json.push_back(action_item_json(s));
    });
  }
  if (o.json)
    std::cout << terminal_safe_json(json.dump()) << "\n";
  else if (shown == 0)
    std::cout << localized("cli.actions.none") << "\n";
}

void add_action(const std::string& message_id, const std::string& title, const std::string& due) {
  AccountBook book;
  const auto message = find_message(book.store(), message_id);
  if (text::trim(title).empty()) throw Error(localized("cli.actions.title_empty"));
  EmailActionStore actions(book.store().database());
  EmailActionItem item;
  item.messageId = message.id;
  item.accountId = message.accountId;
  item.title = text::trim(title);
  item.source = store::EmailActionItemSource::manual;
  if (!due.empty()) item.dueAt = time_argument(due);
  item = EmailActionItem::make(std::move(item));
  if (!actions.add(item)) throw Error(localized_format("cli.actions.duplicate", item.title));
  for (const auto& stored : actions.items())
    if (stored.messageId == item.messageId && stored.titleKey == item.titleKey) print_item(stored);
}

enum class ActionChange { done, snooze, reopen, remove };

void change_action(ActionChange change, const std::string& id, const std::string& until) {
  AccountBook book;
  EmailActionStore actions(book.store().database());
  const auto item = find_item(actions, id);
  bool ok = false;
  switch (change) {
    case ActionChange::done: ok = actions.complete(item.id); break;
    case ActionChange::snooze: ok = actions.snooze(item.id, time_argument(until)); break;
    case ActionChange::reopen: ok = actions.reopen(item.id); break;
    case ActionChange::remove: ok = actions.remove(item.id); break;
  }
  if (!ok) throw Error(localized_format("cli.actions.change_failed", item.title));
  if (change == ActionChange::remove) {
    std::cout << localized_format("cli.actions.removed", terminal_safe(item.title)) << "\n";
    return;
  }
  if (auto changed = actions.item(item.id)) print_item(*changed);
}

// ---- follow-up ----

void print_follow_up(const store::EmailMessage& m, std::optional<double> when) {
  std::cout << short_id(m.id) << "  " << date_text(when) << "  "
            << terminal_safe(m.from.name && !m.from.name->empty() ? *m.from.name : m.from.email)
            << "  " << terminal_safe(m.subject) << "\n";
}

void list_follow_ups(const std::string& kind) {
  AccountBook book;
  store::EmailFollowUpService followUp(book.store().database(), book.store(), platform::SettingsStore::shared());
  struct Queue {
    const char* kind;
    const char* title;
  };
  for (const Queue q :
       {Queue{"reply_later", "cli.followup.reply_later"},
        Queue{"waiting_on", "cli.followup.waiting_on"}, Queue{"snoozed", "cli.followup.snoozed"}}) {
    if (kind != "all" && kind != q.kind) continue;
    std::vector<store::EmailMessage> messages;
    if (std::string_view(q.kind) == "reply_later") messages = followUp.reply_later_messages();
    else if (std::string_view(q.kind) == "waiting_on") messages = followUp.waiting_on_messages();
    else messages = followUp.snoozed_messages();
    std::cout << localized(q.title) << " (" << messages.size() << ")\n";
    for (const auto& m : messages)
      print_follow_up(m, std::string_view(q.kind) == "reply_later"  ? m.replyLaterUntil
                         : std::string_view(q.kind) == "waiting_on" ? m.waitingSince
                                                                    : m.snoozedUntil);
  }
}

void reply_later(const std::string& id, const std::string& time, bool clear) {
  if (clear && !time.empty()) throw Error(localized("cli.followup.time_or_clear"));
  AccountBook book;
  const auto message = find_message(book.store(), id);
  store::EmailFollowUpService followUp(book.store().database(), book.store(), platform::SettingsStore::shared());
  if (clear) {
    if (!followUp.clear_reply_later(message))
      throw Error(localized_format("cli.followup.reply_later_clear_failed", message.subject));
    std::cout << localized_format("cli.followup.reply_later_cleared",
                                  terminal_safe(message.subject))
              << "\n";
    return;
  }
  // Without a time the message comes back in a day.
  const double until = time.empty() ? now_seconds() + 86400 : time_argument(time);
  if (!followUp.set_reply_later(message, until))
    throw Error(localized_format("cli.followup.reply_later_set_failed", message.subject));
  std::cout << localized_format("cli.followup.reply_later_set", local_date_text(until),
                                terminal_safe(message.subject))
            << "\n";
}

void waiting(const std::string& id, const std::string& since_text, bool clear) {
  if (clear && !since_text.empty()) throw Error(localized("cli.followup.since_or_clear"));
  AccountBook book;
  const auto message = find_message(book.store(), id);
  store::EmailFollowUpService followUp(book.store().database(), book.store(), platform::SettingsStore::shared());
  if (clear) {
    if (!followUp.clear_waiting(message))
      throw Error(localized_format("cli.followup.waiting_clear_failed", message.subject));
    std::cout << localized_format("cli.followup.waiting_cleared", terminal_safe(message.subject))
              << "\n";
    return;
  }
  const double since = since_text.empty() ? now_seconds() : time_argument(since_text);
  if (!followUp.set_waiting(message, since))
    throw Error(localized_format("cli.followup.waiting_set_failed", message.subject));
  std::cout << localized_format("cli.followup.waiting_set", local_date_text(since),
                                terminal_safe(message.subject))
            << "\n";
}

// ---- contacts ----

struct ContactOptions {
  std::string category, query;
  bool json = false;
};

void list_contacts(const ContactOptions& o) {
  AccountBook book;
  std::optional<store::SenderCategory> wanted;
  if (!o.category.empty()) wanted = store::from_raw<store::SenderCategory>(o.category);
  // Read from the table directly: the store's in-memory list holds only the most used.
  const std::string pattern = contains_pattern(o.query);
  Json json = Json::array();
  const auto contacts = book.store().database().read([&](store::Connection& c) {
    std::vector<store::StoredContact> out;
    auto s = c.prepare(
        "SELECT * FROM contacts WHERE (?1 IS NULL OR category = ?1) AND (email LIKE ?2 ESCAPE '\\' "
        "OR name LIKE ?2 ESCAPE '\\') ORDER BY frequency DESC, last_used DESC");
    s.bind(1, wanted ? std::optional(std::string(store::raw_value(*wanted))) : std::nullopt);
    s.bind(2, pattern);
    while (s.step()) {
      if (o.json) json.push_back(contact_json(s));
      if (auto contact = store::StoredContact::from_row(s)) out.push_back(std::move(*contact));
    }
    return out;
  });
  if (o.json) {
    std::cout << terminal_safe_json(json.dump()) << "\n";
    return;
  }
  if (contacts.empty()) {
    std::cout << localized("cli.contacts.none") << "\n";
    return;
  }
  for (const auto& contact : contacts) {
    std::cout << terminal_safe(contact.email);
    if (contact.name) std::cout << " (" << terminal_safe(*contact.name) << ")";
    std::cout << "  ×" << contact.frequency << "  " << date_text(contact.lastUsed);
    if (contact.category)
      std::cout << "  [" << localized("sender.category." + std::string(store::raw_value(*contact.category))) << "]";
    if (contact.note) std::cout << localized_format("cli.contacts.note", *contact.note);
    std::cout << "\n";
  }
}

}  // namespace

void add_workflow_commands(CLI::App& root) {
  {
    auto* actions = root.add_subcommand("actions", "Action items: list, add, done, snooze, reopen, delete");
    actions->require_subcommand(1);
    {
      auto* command = actions->add_subcommand("list", "List action items");
      auto o = std::make_shared<ActionListOptions>();
      command->add_option("--state", o->state, "open (default), done, snoozed or all")
          ->check(CLI::IsMember({"open", "done", "snoozed", "all"}));
      command->add_option("--message", o->message, "Only the items of this message id");
      command->add_flag("--json", o->json,
                        "Print what the tool server's list_action_items answers: [{\"id\", "
                        "\"messageId\", \"accountId\", \"title\", \"state\", \"source\", \"dueAt\", "
                        "\"snoozedUntil\", \"completedAt\", \"createdAt\", \"updatedAt\"}, ...]");
      command->callback([o] { list_actions(*o); });
    }
    {
      auto* command = actions->add_subcommand("add", "Add an action item to a message");
      auto message = std::make_shared<std::string>();
      auto title = std::make_shared<std::string>();
      auto due = std::make_shared<std::string>();
      command->add_option("MESSAGE", *message, "Message id")->required();
      command->add_option("TITLE", *title, "What to do")->required();
      command->add_option("--due", *due, "Due time (ISO-8601, or \"yyyy-MM-dd HH:mm:ss\" local)");
      command->callback([message, title, due] { add_action(*message, *title, *due); });
    }
    struct Change {
      const char* name;
      const char* help;
      ActionChange change;
    };
    for (const Change c : {Change{"done", "Mark an action item done", ActionChange::done},
                           Change{"reopen", "Reopen a done or snoozed action item", ActionChange::reopen},
                           Change{"delete", "Delete an action item", ActionChange::remove}}) {
      auto* command = actions->add_subcommand(c.name, c.help);
      auto id = std::make_shared<std::string>();
      command->add_option("ID", *id, "Action item id")->required();
      const ActionChange change = c.change;
      command->callback([id, change] { change_action(change, *id, ""); });
    }
    {
      auto* command = actions->add_subcommand("snooze", "Snooze an action item until a time");
      auto id = std::make_shared<std::string>();
      auto until = std::make_shared<std::string>();
      command->add_option("ID", *id, "Action item id")->required();
      command->add_option("TIME", *until, "Wake time (ISO-8601, or \"yyyy-MM-dd HH:mm:ss\" local)")->required();
      command->callback([id, until] { change_action(ActionChange::snooze, *id, *until); });
    }
  }
  {
    auto* followup = root.add_subcommand("followup", "The follow-up queues");
    followup->require_subcommand(1);
    auto* command = followup->add_subcommand("list", "List Reply Later, Waiting On and snoozed messages");
    auto kind = std::make_shared<std::string>("all");
    command->add_option("--kind", *kind, "reply_later, waiting_on, snoozed or all (default)")
        ->check(CLI::IsMember({"reply_later", "waiting_on", "snoozed", "all"}));
    auto json = add_json_flag(
        command, "Print the queues as the list_follow_ups tool answers",
        "{\"replyLater\": [...], \"waitingOn\": [...], \"snoozed\": [...]}, each "
        "entry\n"
        "{\"id\", \"accountId\", \"subject\", \"from\": {\"name\", \"email\"}, \"date\",\n"
        "\"replyLaterUntil\", \"waitingSince\", \"snoozedUntil\"}.\n"
        "Example: kestrova followup list --kind waiting_on --json | jq '.waitingOn[].subject'");
    command->callback([kind, json] {
      if (!*json) return list_follow_ups(*kind);
      print_tool_answer("list_follow_ups", Json{{"kind", *kind}, {"limit", 200}});
    });
  }
  {
    auto* command = root.add_subcommand("reply-later", "Mark a message Reply Later (default: in a day), or clear it");
    auto id = std::make_shared<std::string>();
    auto time = std::make_shared<std::string>();
    auto clear = std::make_shared<bool>(false);
    command->add_option("ID", *id, "Message id")->required();
    command->add_option("TIME", *time, "When to reply (ISO-8601, or \"yyyy-MM-dd HH:mm:ss\" local)");
    command->add_flag("--clear", *clear, "Clear the mark");
    command->callback([id, time, clear] { reply_later(*id, *time, *clear); });
  }
  {
    auto* command = root.add_subcommand("waiting", "Mark a message Waiting On (default: since now), or clear it");
    auto id = std::make_shared<std::string>();
    auto since = std::make_shared<std::string>();
    auto clear = std::make_shared<bool>(false);
    command->add_option("ID", *id, "Message id")->required();
    command->add_option("--since", *since, "Waiting since (ISO-8601, or \"yyyy-MM-dd HH:mm:ss\" local)");
    command->add_flag("--clear", *clear, "Clear the mark");
    command->callback([id, since, clear] { waiting(*id, *since, *clear); });
  }
  {
    auto* command = root.add_subcommand(
        "contacts",
        "List the address book learned from mail (sync, import, send), most used first");
    auto o = std::make_shared<ContactOptions>();
    command->add_option("--category", o->category, "Only this trained category")
        ->check(CLI::IsMember({"newsletter", "paperTrail", "vip", "lowPriority"}));
    command->add_option("--query", o->query, "Only contacts whose address or name contains this");
    command->add_flag("--json", o->json,
                      "Print what the tool server's list_contacts answers: [{\"id\", \"email\", "
                      "\"name\", \"frequency\", \"lastUsed\", \"source\", \"category\", \"note\", "
                      "\"trainedAt\"}, ...]");
    command->callback([o] { list_contacts(*o); });
  }
}

}  // namespace kestrova::app
