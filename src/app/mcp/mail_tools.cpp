// The mail tools of the tool server: reading, searching, drafting, flags, tags, moves and
// deletions, all in the local database and never on a mail server.

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "app/core/agent/mail_tool_sql.h"
#include "app/core/mailbox/message_search.h"
#include "app/core/writing/draft_upload.h"
#include "app/mcp/mail_tool_support.h"
#include "app/mcp/mcp_arguments.h"
#include "app/mcp/mcp_catalogue.h"
#include "app/mcp/mcp_error.h"
#include "store/database.h"
#include "store/drafts_folder.h"
#include "store/email_contact.h"
#include "store/email_enums.h"
#include "store/email_store_sql.h"
#include "store/json_list.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

using store::Blob;
using store::Connection;
using store::EmailDatabase;
using store::decode_string_list;
using store::encode_string_list;

constexpr std::string_view kLocalDraftsPath = "__LocalDrafts__";

// Counts texts per distinct value, in the order they were first met. Open addressing over a
// power-of-two table of 8-byte slots (half the hash and the entry's index): a lookup reads one
// slot and, when that half matches, the entry's text, where a node map would follow a pointer or
// two more for every text counted. Not thread-safe.
class DistinctTextCounter {
 public:
  struct Entry {
    std::optional<std::string> text;  // always set: optional only as the list decoder takes it
    int64_t count = 0;
  };

  void add(std::string_view text, int64_t count = 1) {
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    const size_t hash = std::hash<std::string_view>{}(text);
    const auto check = static_cast<uint32_t>(hash >> 32);
    for (size_t i = hash & mask();; i = (i + 1) & mask()) {
      Slot& slot = slots_[i];
      if (slot.index == kEmpty) {
        slot = Slot{check, static_cast<uint32_t>(entries_.size())};
        entries_.push_back(Entry{std::string(text), count});
        return;
      }
      if (slot.check == check && *entries_[slot.index].text == text) {
        entries_[slot.index].count += count;
        return;
      }
    }
  }

  // The distinct texts with their counts, first met first. Valid until the next add().
  const std::vector<Entry>& entries() const { return entries_; }
  std::vector<Entry> take() && { return std::move(entries_); }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Slot {
    uint32_t check = 0;
    uint32_t index = kEmpty;
  };

  size_t mask() const { return slots_.size() - 1; }

  void grow() {
    slots_.assign(std::max<size_t>(slots_.size() * 2, 256), Slot{});
    for (uint32_t index = 0; index < entries_.size(); ++index) {
      const size_t hash = std::hash<std::string_view>{}(*entries_[index].text);
      size_t i = hash & mask();
      while (slots_[i].index != kEmpty) i = (i + 1) & mask();
      slots_[i] = Slot{static_cast<uint32_t>(hash >> 32), index};
    }
  }

  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
};

std::string rows_as_summaries(store::Statement& s) {
  std::string out = "[";
  while (s.step()) {
    if (out.size() > 1) out.push_back(',');
    append_message_summary(out, s);
  }
  out.push_back(']');
  return out;
}

// ---- base mail group ----

Json list_accounts(const Json&) {
  return EmailDatabase::shared().read([](Connection& c) { return accounts_json(c); });
}

Json list_folders(const Json& arguments) {
  const std::string account_id = args::required_string(arguments, "accountId");
  return EmailDatabase::shared().read([&](Connection& c) { return folders_json(c, account_id); });
}

std::string list_messages(const Json& arguments) {
  const std::string folder_id = args::required_string(arguments, "folderId");
  const int64_t limit = args::clamped(args::integer(arguments, "limit"), 20, 1, 100);
  const int64_t offset = std::max<int64_t>(args::integer(arguments, "offset").value_or(0), 0);
  return EmailDatabase::shared().read([&](Connection& c) {
    auto folder = c.prepare(sql::kFolderLookup);
    folder.bind(1, folder_id);
    if (!folder.step()) return std::string("[]");
    const std::string account_id = text_column(folder, "account_id");
    // The mail store's folder view: trash and spam also show the account's deleted or
    // spam-marked mail.
    const auto type = store::from_raw<store::EmailFolderType>(text_column(folder, "type"))
                          .value_or(store::EmailFolderType::custom);
    auto s = c.prepare(store::sql::folderPage(type));
    if (store::sql::folderConditionTakesAccount(type))
      s.bind_all(account_id, folder_id, limit, offset);
    else
      s.bind_all(folder_id, limit, offset);
    return rows_as_summaries(s);
  });
}

std::string get_message(const Json& arguments) {
  const std::string message_id = args::required_string(arguments, "messageId");
  return EmailDatabase::shared().read([&](Connection& c) {
    auto s = c.prepare(sql::kGetMessage);
    s.bind(1, message_id);
    if (!s.step()) throw MCPError("Message not found");
    std::string out;
    append_message_summary(out, s, true);
    return out;
  });
}

std::string search_messages(const Json& arguments) {
  const std::string query = args::required_string(arguments, "query");
  const auto account_id = args::optional_string(arguments, "accountId");
  const int64_t limit = args::clamped(args::integer(arguments, "limit"), 20, 1, 100);
  // No escaping: "%" and "_" in the query act as wildcards.
  return EmailDatabase::shared().read([&](Connection& c) {
    auto s = prepare_message_search(c, query, account_id, limit);
    return rows_as_summaries(s);
  });
}

// "Name <addr>, other@example.com" → recipients; addresses are not validated.
void parse_recipient_text(std::string_view value, std::vector<store::EmailContact>& out) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    std::string piece = text::trim(value.substr(start, comma == std::string_view::npos
                                                           ? std::string_view::npos
                                                           : comma - start));
    if (!piece.empty()) {
      const size_t lt = piece.rfind('<'), gt = piece.rfind('>');
      if (lt != std::string::npos && gt != std::string::npos && gt > lt) {
        store::EmailContact r;
        r.email = text::trim(std::string_view(piece).substr(lt + 1, gt - lt - 1));
        std::string name = text::trim(std::string_view(piece).substr(0, lt));
        if (!name.empty()) r.name = std::move(name);
        out.push_back(std::move(r));
      } else {
        out.push_back(store::EmailContact{std::nullopt, piece});
      }
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
}

std::vector<store::EmailContact> parse_recipients(const Json& arguments, std::string_view key) {
  std::vector<store::EmailContact> out;
  auto it = arguments.find(key);
  if (it == arguments.end()) return out;
  if (it->is_string()) {
    parse_recipient_text(it->get_ref<const std::string&>(), out);
  } else if (it->is_array()) {
    for (const auto& item : *it)
      if (item.is_string()) parse_recipient_text(item.get_ref<const std::string&>(), out);
  }
  return out;
}

Json create_draft(const Json& arguments) {
  const std::string subject = args::required_string(arguments, "subject");
  const std::string body = args::required_string(arguments, "body");
  const auto html_body = args::optional_string(arguments, "htmlBody");
  const std::string draft_id = args::uuid(arguments, "draftId").value_or(new_uuid());
  const auto to = parse_recipients(arguments, "to");
  const std::string to_json = store::encode_contact_list(to);
  const std::string cc_json = store::encode_contact_list(parse_recipients(arguments, "cc"));
  const std::string bcc_json = store::encode_contact_list(parse_recipients(arguments, "bcc"));
  const auto requested_account = args::optional_string(arguments, "accountId");

  return EmailDatabase::shared().write([&](Connection& c) {
    std::optional<std::string> account_id, account_email;
    auto read_account = [&](store::Statement& s) {
      if (!s.step()) return;
      auto id = s.text("id");
      if (!id || !is_uuid(*id)) return;
      account_id = *id;
      account_email = s.text("email_address");
    };
    if (requested_account && !requested_account->empty()) {
      auto s = c.prepare("SELECT id, email_address FROM email_accounts WHERE id = ?");
      s.bind(1, *requested_account);
      read_account(s);
    } else {
      auto s = c.prepare(
          "SELECT id, email_address FROM email_accounts ORDER BY is_default DESC, created_at DESC LIMIT 1");
      read_account(s);
    }
    if (!account_id) throw MCPError("No local email account is available");

    // The account's own drafts folder when it has one (the server's, or the demo's), so that
    // an agent's draft sits beside the user's; else the local-only one.
    std::string folder_id = store::drafts_folder_id(c, *account_id).value_or("");
    if (folder_id.empty()) {
      folder_id = new_uuid();
      auto s = c.prepare(
          "INSERT INTO email_folders (id, account_id, name, type, path, unread_count, total_count) "
          "VALUES (?, ?, ?, ?, ?, 0, 0)");
      s.bind_all(folder_id, *account_id, localized("email.folder.drafts"), "drafts", kLocalDraftsPath);
      s.run();
    }

    const double now = now_seconds();
    auto s = c.prepare(
        "INSERT OR REPLACE INTO email_messages (id, account_id, folder_id, subject, from_email, "
        "to_contacts, cc_contacts, bcc_contacts, text_body, html_body, preview, date, received_date, "
        "is_read, is_draft, synced_at, updated_at, is_body_loaded) "
        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 1, 1, ?, ?, 1)");
    s.bind_all(draft_id, *account_id, folder_id, subject, account_email.value_or(""),
               Blob{to_json}, Blob{cc_json}, Blob{bcc_json}, body, html_body,
               text::prefix_characters(body, 200), now, now, now, now);
    s.run();
    // The service files the draft on the account's server (the tool server never connects).
    mark_draft_for_upload(c, draft_id);

    Json addresses = Json::array();
    for (const auto& r : to) addresses.push_back(r.email);
    return Json{{"draftId", draft_id}, {"accountId", *account_id}, {"folderId", folder_id},
                {"subject", subject},  {"to", addresses},           {"updatedAt", iso8601_utc(now)}};
  });
}

// ---- tag tools ----

Json list_tags(const Json& arguments) {
  const int64_t limit = args::clamped(args::integer(arguments, "limit"), 100, 1, 500);
  return EmailDatabase::shared().read([&](Connection& c) {
    auto s = c.prepare(sql::kListTags);
    s.bind(1, int64_t{10000});
    // Many messages carry the same tag array: the up to 10,000 stored texts are counted where
    // SQLite holds them, without a copy, and each distinct one is decoded once afterwards.
    DistinctTextCounter arrays;
    while (s.step()) arrays.add(s.text_view(0).value_or(std::string_view()));
    // Counts per exact tag text; ties keep the order in which tags were first met (newest
    // mail first), which is the order of the arrays first met and of the tags within each.
    DistinctTextCounter tags;
    for (const auto& array : arrays.entries())
      for (const auto& tag : decode_string_list(array.text)) tags.add(tag, array.count);
    auto counts = std::move(tags).take();
    std::stable_sort(counts.begin(), counts.end(),
                     [](const auto& a, const auto& b) { return a.count > b.count; });
    Json out = Json::array();
    for (size_t i = 0; i < counts.size() && static_cast<int64_t>(i) < limit; ++i)
      out.push_back(Json{{"tag", *counts[i].text}, {"count", counts[i].count}});
    return out;
  });
}

Json search_by_tag(const Json& arguments) {
  const auto tag = args::optional_string(arguments, "tag");
  if (!tag || tag->empty()) throw MCPError("Missing required parameter: tag");
  const int64_t limit = args::clamped(args::integer(arguments, "limit"), 30, 1, 100);
  return EmailDatabase::shared().read([&](Connection& c) {
    auto s = c.prepare(sql::kSearchByTag);
    s.bind_all("%" + *tag + "%", limit * 4);
    const std::string wanted = text::lower(*tag);
    Json out = Json::array();
    while (static_cast<int64_t>(out.size()) < limit && s.step()) {
      const auto tags = decode_string_list(s.text("ai_tags"));
      if (std::none_of(tags.begin(), tags.end(),
                       [&](const std::string& t) { return text::lower(t) == wanted; }))
        continue;
      std::string from = s.text("from_name").value_or(s.text("from_email").value_or(""));
      out.push_back(Json{{"id", text_column(s, "id")},
                         {"subject", text_column(s, "subject")},
                         {"from", from},
                         {"preview", text::prefix_characters(text_column(s, "preview"), 120)},
                         {"date", iso_date_column(s, "date", "")},
                         {"tags", tags}});
    }
    return out;
  });
}

std::string required_tag(const Json& arguments) {
  std::string tag = text::trim(args::optional_string(arguments, "tag").value_or(""));
  if (tag.empty()) throw MCPError("Missing required parameter: tag");
  return tag;
}

// Reads the message's tags, lets `change` edit them, and writes them to every copy.
template <typename F>
void edit_tags(const std::string& message_id, F change) {
  EmailDatabase::shared().write([&](Connection& c) {
    std::vector<std::string> tags;
    {
      auto s = c.prepare("SELECT ai_tags FROM email_messages WHERE id = ?");
      s.bind(1, message_id);
      if (!s.step()) throw MCPError("Message not found");
      tags = decode_string_list(s.text(0));
    }
    change(tags);
    update_all_copies(c, message_id, "ai_tags = ?", encode_string_list(tags));
  });
}

Json add_tag(const Json& arguments) {
  const std::string message_id = required_uuid(arguments, "messageId", "Invalid or missing messageId");
  const std::string tag = required_tag(arguments);
  edit_tags(message_id, [&](std::vector<std::string>& tags) {
    const std::string key = text::lower(tag);
    if (std::none_of(tags.begin(), tags.end(),
                     [&](const std::string& t) { return text::lower(t) == key; }))
      tags.push_back(tag);
  });
  return Json{{"status", "added"}, {"tag", tag}};
}

Json remove_tag(const Json& arguments) {
  const std::string message_id = required_uuid(arguments, "messageId", "Invalid or missing messageId");
  const std::string tag = required_tag(arguments);
  edit_tags(message_id, [&](std::vector<std::string>& tags) {
    const std::string key = text::lower(tag);
    std::erase_if(tags, [&](const std::string& t) { return text::lower(t) == key; });
  });
  return Json{{"status", "removed"}, {"tag", tag}};
}

// ---- write group ----

Json mark_message_read(const Json& arguments) {
  const std::string message_id = required_uuid(arguments, "messageId", "Invalid or missing messageId");
  const bool is_read = args::boolean(arguments, "isRead").value_or(true);
  EmailDatabase::shared().write(
      [&](Connection& c) { set_read_journalled(c, message_id, is_read); });
  return Json{{"messageId", message_id}, {"isRead", is_read}};
}

Json set_message_starred(const Json& arguments) {
  const std::string message_id = required_uuid(arguments, "messageId", "Invalid or missing messageId");
  const auto starred = args::boolean(arguments, "isStarred");
  if (!starred) throw MCPError("Missing required parameter: isStarred");
  EmailDatabase::shared().write(
      [&](Connection& c) { set_starred_journalled(c, message_id, *starred); });
  return Json{{"messageId", message_id}, {"isStarred", *starred}};
}

Json move_message(const Json& arguments) {
  const std::string message_id = required_uuid(arguments, "messageId", "Invalid or missing messageId");
  const std::string target =
      required_uuid(arguments, "targetFolderId", "Invalid or missing targetFolderId");
  EmailDatabase::shared().write([&](Connection& c) { move_journalled(c, message_id, target); });
  return Json{{"messageId", message_id}, {"movedTo", target}};
}

Json delete_message(const Json& arguments) {
  const std::string message_id = required_uuid(arguments, "messageId", "Invalid or missing messageId");
  EmailDatabase::shared().write([&](Connection& c) { delete_journalled(c, message_id); });
  return Json{{"messageId", message_id}, {"status", "deleted"}};
}

OrderedJson recipients_property(std::string_view description) {
  OrderedJson one_of = OrderedJson::array();
  one_of.push_back(OrderedJson{{"type", "string"}});
  one_of.push_back(OrderedJson{{"type", "array"}, {"items", OrderedJson{{"type", "string"}}}});
  OrderedJson property = OrderedJson::object();
  property["oneOf"] = std::move(one_of);
  property["description"] = description;
  return property;
}

}  // namespace

std::vector<Tool> mail_tools() {
  std::vector<Tool> tools;
  auto add = [&](ToolTier tier, OrderedJson descriptor, auto handler) {
    Tool tool{descriptor["name"].get<std::string>(), tier, std::move(descriptor), nullptr};
    if constexpr (std::is_same_v<std::invoke_result_t<decltype(handler), const Json&>, std::string>)
      tool.text_handler = handler;
    else
      tool.handler = handler;
    tools.push_back(std::move(tool));
  };
  add(ToolTier::read, tool_descriptor("list_accounts", "List local kestrova email accounts.", {}, {}),
      list_accounts);
  add(ToolTier::read,
      tool_descriptor("list_folders", "List folders for an account.",
                      properties({{"accountId", string_property("Account UUID")}}), {"accountId"}),
      list_folders);
  add(ToolTier::read,
      tool_descriptor("list_messages", "List local messages in a folder.",
                      properties({{"folderId", string_property("Folder UUID")},
                                  {"limit", integer_property("Max messages, default 20")},
                                  {"offset", integer_property("Offset, default 0")}}),
                      {"folderId"}),
      list_messages);
  add(ToolTier::read,
      tool_descriptor("get_message", "Get a local message by UUID.",
                      properties({{"messageId", string_property("Message UUID")}}), {"messageId"}),
      get_message);
  add(ToolTier::read,
      tool_descriptor("search_messages",
                      "Search local messages by subject, sender, recipient, preview, or body.",
                      properties({{"query", string_property("Search query")},
                                  {"accountId", string_property("Optional account UUID")},
                                  {"limit", integer_property("Max messages, default 20")}}),
                      {"query"}),
      search_messages);
  add(ToolTier::trainable,
      tool_descriptor(
          "create_draft",
          "Create or replace a local draft email. Useful for external AI agents that prepare mail for review.",
          properties(
              {{"accountId", string_property("Optional account UUID. Defaults to the default local account.")},
               {"draftId", string_property("Optional draft UUID. Reusing it replaces that draft.")},
               {"to", recipients_property("Recipient email or array of emails.")},
               {"cc", recipients_property("CC email or array of emails.")},
               {"bcc", recipients_property("BCC email or array of emails.")},
               {"subject", string_property("Draft subject.")},
               {"body", string_property("Plain text body.")},
               {"htmlBody", string_property("Optional HTML body.")}}),
          {"subject", "body"}),
      create_draft);
  add(ToolTier::read,
      tool_descriptor("list_tags", "List all AI-generated tags across emails, with message counts.",
                      properties({{"limit", integer_property("Max tags to return (default 100)")}}), {}),
      list_tags);
  add(ToolTier::read,
      tool_descriptor("search_by_tag", "Search emails matching a specific tag.",
                      properties({{"tag", string_property("Tag name to search for")},
                                  {"limit", integer_property("Max results (default 30)")}}),
                      {"tag"}),
      search_by_tag);
  add(ToolTier::trainable,
      tool_descriptor("remove_tag", "Remove an AI tag from a specific email message.",
                      properties({{"messageId", string_property("Message UUID")},
                                  {"tag", string_property("Tag to remove")}}),
                      {"messageId", "tag"}),
      remove_tag);
  add(ToolTier::trainable,
      tool_descriptor("mark_message_read", "Mark a local message as read or unread.",
                      properties({{"messageId", string_property("Message UUID")},
                                  {"isRead", boolean_property("Read state, default true")}}),
                      {"messageId"}),
      mark_message_read);
  add(ToolTier::trainable,
      tool_descriptor("set_message_starred", "Star or unstar a local message.",
                      properties({{"messageId", string_property("Message UUID")},
                                  {"isStarred", boolean_property("Starred state")}}),
                      {"messageId", "isStarred"}),
      set_message_starred);
  add(ToolTier::trainable,
      tool_descriptor("add_tag",
                      "Add an AI tag to a specific email message (deduplicated, case-insensitive).",
                      properties({{"messageId", string_property("Message UUID")},
                                  {"tag", string_property("Tag to add")}}),
                      {"messageId", "tag"}),
      add_tag);
  add(ToolTier::full,
      tool_descriptor("move_message",
                      "Move a local message to another folder of the same account. Local database "
                      "only; server sync happens on next refresh.",
                      properties({{"messageId", string_property("Message UUID")},
                                  {"targetFolderId",
                                   string_property("Target folder UUID (must belong to the message's account)")}}),
                      {"messageId", "targetFolderId"}),
      move_message);
  add(ToolTier::full,
      tool_descriptor("delete_message",
                      "Mark a local message as deleted (soft delete in the local database).",
                      properties({{"messageId", string_property("Message UUID")}}), {"messageId"}),
      delete_message);
  return tools;
}

}  // namespace kestrova::app
