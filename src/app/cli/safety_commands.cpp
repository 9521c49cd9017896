// `kestrova privacy`, `kestrova junk score`, `kestrova block|unblock|blocked` and
// `kestrova sender`: the privacy report of a message, its junk score, the blocked-sender
// lists and sender profiles with their training (category and note).

#include <CLI/CLI.hpp>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/command_line.h"
#include "app/cli/terminal_output.h"
#include "app/core/blocked_senders.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/folder_lookup.h"
#include "app/core/mailbox/id_prefix.h"
#include "app/core/service/incoming_mail_filter.h"
#include "app/core/user_preferences.h"
#include "safety/email_junk_filter_service.h"
#include "safety/email_privacy_report_service.h"
#include "safety/sender_profile_service.h"
#include "store/contact_store.h"
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

using safety::EmailJunkFilterService;

std::string date_text(std::optional<double> date) { return date ? local_date_text(*date) : "-"; }

// ---- privacy report ----

void print_privacy_report(const std::string& id, bool json) {
  AccountBook book;
  const auto message = find_message(book.store(), id);
  const auto report = safety::EmailPrivacyReportService::report(message);
  if (json) {
    std::cout << terminal_safe_json(safety::to_tool_json(report).dump(2)) << "\n";
    return;
  }
  std::cout << terminal_safe(message.subject) << "\n";
  // The report reads only what is stored; nothing is downloaded for it.
  if (!message.isBodyLoaded) std::cout << localized("cli.privacy.body_missing") << "\n";
  std::cout << localized_format("cli.privacy.trackers", report.trackerCount) << "\n";
  std::cout << localized_format("cli.privacy.links",
                                report.suspiciousLinks.empty()
                                    ? localized("cli.none")
                                    : std::to_string(report.suspiciousLinks.size()))
            << "\n";
  for (const auto& link : report.suspiciousLinks) {
    std::cout << "  - " << safety::localized_reason(link.reason) << ": " << terminal_safe(link.url);
    if (!link.displayText.empty())
      std::cout << localized_format("cli.privacy.shown_as",
                                    terminal_safe(text::trim(link.displayText)));
    std::cout << "\n";
  }
  const std::string trust = report.senderTrust.message();
  std::cout << localized_format("cli.privacy.sender",
                                trust.empty() ? localized("cli.privacy.sender_consistent")
                                              : terminal_safe(trust))
            << "\n";
  std::cout << localized_format("cli.privacy.injection",
                                report.injection.empty() ? localized("cli.none")
                                                         : std::to_string(report.injection.size()))
            << "\n";
  for (const auto& hit : report.injection)
    std::cout << "  - " << safety::localized_label(hit.kind) << ": " << terminal_safe(hit.snippet)
              << "\n";
}

// ---- junk filter ----

void print_junk_score(const std::string& id) {
  AccountBook book;
  auto message = find_message(book.store(), id);
  EmailJunkFilterService junk(book.store().database());
  const auto score = EmailJunkFilterService::junkScore(message);
  std::cout << terminal_safe(message.subject) << "\n";
  std::ostringstream scoreText, thresholdText;
  scoreText << score.score;
  thresholdText << EmailJunkFilterService::kThreshold;
  std::cout << localized_format("cli.junk.score", scoreText.str(), thresholdText.str()) << "\n";
  std::string reasons;
  for (const auto& reason : score.reasons) reasons += (reasons.empty() ? "" : ", ") + reason;
  std::cout << localized_format("cli.junk.signals",
                                reasons.empty() ? localized("cli.none") : reasons)
            << "\n";
  // What the filter would do with this message on arrival, with the current settings.
  book.store().loadFolders();
  const auto decision = junk.evaluate(message, book.store().foldersOf(message.accountId),
                                      junk_filter_settings(UserPreferences::shared()));
  if (!decision.action)
    std::cout << localized("cli.junk.on_arrival_deliver") << "\n";
  else
    std::cout << localized_format(decision.spamFolderId ? "cli.junk.on_arrival_move"
                                                        : "cli.junk.on_arrival_mark",
                                  safety::raw_value(*decision.action))
              << "\n";
}

struct BlockOptions {
  std::string address, account, note;
};

void block(const BlockOptions& o) {
  AccountBook book;
  std::vector<store::EmailAccount> accounts;
  if (!o.account.empty())
    accounts.push_back(book.find(o.account));
  else
    accounts = book.accounts();
  EmailJunkFilterService junk(book.store().database());
  const std::optional<std::string> note = o.note.empty() ? std::nullopt : std::optional(o.note);
  const auto entries = block_sender(junk, accounts, o.address, note);
  for (size_t i = 0; i < entries.size(); ++i)
    std::cout << entries[i].id << "  " << accounts[i].emailAddress << "  " << entries[i].email
              << "\n";
}

void unblock(const std::string& id) {
  AccountBook book;
  EmailJunkFilterService junk(book.store().database());
  const auto all = junk.list();
  std::vector<std::string> ids;
  for (const auto& blocked : all) ids.push_back(blocked.id);
  const std::string wanted = match_id_prefix(id, ids, "cli.noun.block_entry");
  std::optional<safety::BlockedSender> entry;
  for (const auto& blocked : all)
    if (blocked.id == wanted) entry = blocked;
  if (!entry) throw Error(localized_format("cli.block.not_found", id));
  if (!junk.remove(entry->id)) throw Error(localized_format("cli.block.remove_failed", id));
  std::cout << localized_format("cli.block.removed", entry->email) << "\n";
}

void list_blocked(bool json) {
  AccountBook book;
  EmailJunkFilterService junk(book.store().database());
  const auto entries = junk.list();
  if (json) {
    OrderedJson array = OrderedJson::array();
    for (const auto& entry : entries) array.push_back(entry.to_json());
    std::cout << array.dump(2) << "\n";
    return;
  }
  if (entries.empty()) {
    std::cout << localized("cli.block.empty") << "\n";
    return;
  }
  for (const auto& entry : entries) {
    std::string account = entry.accountId;
    for (const auto& a : book.accounts())
      if (a.id == entry.accountId) account = a.emailAddress;
    std::cout << short_id(entry.id) << "  " << account << "  " << entry.email;
    if (entry.note) std::cout << "  (" << *entry.note << ")";
    std::cout << "\n";
  }
}

// ---- sender profiles and training ----

struct SenderOptions {
  std::string address, account, category;
  std::optional<std::string> note;
  bool json = false;
};

std::optional<store::SenderCategory> category_option(const std::string& text) {
  if (text == "none") return std::nullopt;
  if (auto category = store::from_raw<store::SenderCategory>(text)) return category;
  throw Error(localized_format("cli.sender.unknown_category", text));
}

void print_profile(const safety::SenderProfile& p) {
  std::cout << terminal_safe(p.email);
  if (p.displayName) std::cout << " (" << terminal_safe(*p.displayName) << ")";
  std::cout << "\n";
  const std::string category =
      p.category ? localized("sender.category." + std::string(store::raw_value(*p.category))) : "-";
  std::cout << localized_format(p.isVIP ? "cli.sender.category_vip" : "cli.sender.category",
                                category)
            << "\n";
  if (p.note) std::cout << localized_format("cli.sender.note", *p.note) << "\n";
  std::cout << localized_format("cli.sender.received", p.totalReceived, p.receivedLast30Days,
                                date_text(p.firstSeen), date_text(p.lastReceived))
            << "\n";
  std::cout << localized_format("cli.sender.sent", p.totalSent, date_text(p.lastSent)) << "\n";
  if (p.frequencyRank) std::cout << localized_format("cli.sender.rank", *p.frequencyRank) << "\n";
  if (!p.recentMessages.empty()) {
    std::cout << localized("cli.sender.recent_messages") << "\n";
    for (const auto& m : p.recentMessages)
      std::cout << "  " << local_date_text(m.date) << (m.isSent ? "  → " : "  ← ")
                << terminal_safe(m.subject)
                << "  " << short_id(m.id) << "\n";
  }
  if (!p.recentAttachments.empty()) {
    std::cout << localized("cli.sender.recent_attachments") << "\n";
    for (const auto& a : p.recentAttachments)
      std::cout << "  " << local_date_text(a.messageDate) << "  " << terminal_safe(a.filename)
                << "  " << size_text(a.size) << "  (" << terminal_safe(a.messageSubject) << ")\n";
  }
  if (!p.commonCoRecipients.empty()) {
    std::cout << localized("cli.sender.co_recipients") << "\n";
    for (const auto& r : p.commonCoRecipients)
      std::cout << "  " << terminal_safe(r.name ? *r.name + " <" + r.email + ">" : r.email) << "  ×"
                << r.count << "\n";
  }
}

void sender(const SenderOptions& o) {
  AccountBook book;
  const std::string address = store::ContactStore::normalized_address(o.address);
  if (address.empty()) throw Error(localized("cli.sender.address_needed"));
  if (!o.category.empty() || o.note) {
    store::ContactStore contacts(book.store().database());
    if (!o.category.empty()) {
      const auto category = category_option(o.category);
      if (!contacts.set_category(address, category))
        throw Error(localized_format("cli.sender.category_save_failed", address));
      std::cout << (category ? localized_format("cli.sender.category_set", address,
                                                localized("sender.category." +
                                                          std::string(store::raw_value(*category))))
                             : localized_format("cli.sender.category_cleared", address))
                << "\n";
    }
    if (o.note) {
      if (!contacts.set_note(address, *o.note))
        throw Error(localized_format("cli.sender.note_save_failed", address));
      std::cout << localized_format(text::trim(*o.note).empty() ? "cli.sender.note_cleared"
                                                                : "cli.sender.note_saved",
                                    address)
                << "\n";
    }
    return;
  }
  if (o.json) return print_tool_answer("get_sender_profile", Json{{"email", address}});
  std::optional<std::string> account;
  if (!o.account.empty()) account = book.find(o.account).id;
  safety::SenderProfileService profiles(book.store().database(), UserPreferences::shared().defaults());
  print_profile(profiles.profile(address, account));
}

}  // namespace

void add_safety_commands(CLI::App& root) {
  {
    auto* command = root.add_subcommand("privacy", "Privacy report of a message: trackers, suspicious links, "
                                                   "sender trust, prompt injection");
    auto id = std::make_shared<std::string>();
    auto json = std::make_shared<bool>(false);
    command->add_option("ID", *id, "Message id")->required();
    command->add_flag("--json", *json, "Print the report as JSON");
    command->callback([id, json] { print_privacy_report(*id, *json); });
  }
  {
    auto* junk = root.add_subcommand("junk", "The junk filter");
    junk->require_subcommand(1);
    auto* command = junk->add_subcommand("score", "Junk score of a message and what the filter would do");
    auto id = std::make_shared<std::string>();
    command->add_option("ID", *id, "Message id")->required();
    command->callback([id] { print_junk_score(*id); });
  }
  {
    auto* command = root.add_subcommand("block", "Block a sender address, @domain or domain");
    auto o = std::make_shared<BlockOptions>();
    command->add_option("ADDRESS", o->address, "Address, @domain or domain")->required();
    command->add_option("--account", o->account, "Account id, address or name (default: every account)");
    command->add_option("--note", o->note, "Why the sender is blocked");
    command->callback([o] { block(*o); });
  }
  {
    auto* command = root.add_subcommand("unblock", "Remove an entry from the blocked senders");
    auto id = std::make_shared<std::string>();
    command->add_option("ID", *id, "Entry id (see kestrova blocked)")->required();
    command->callback([id] { unblock(*id); });
  }
  {
    auto* command = root.add_subcommand("blocked", "List the blocked senders");
    auto json = add_json_flag(command, "Print the entries as JSON",
                              "[{\"id\", \"accountId\", \"email\", \"note\", \"createdAt\", "
                              "\"updatedAt\"}].\n"
                              "Example: kestrova blocked --json | jq -r '.[].email'");
    command->callback([json] { list_blocked(*json); });
  }
  {
    auto* command = root.add_subcommand("sender", "A sender's profile, or train its category or note");
    auto o = std::make_shared<SenderOptions>();
    command->add_option("ADDRESS", o->address, "Sender address")->required();
    command->add_option("--account", o->account, "Only this account's mail (id, address or name)");
    command->add_option("--category", o->category, "newsletter, paperTrail, vip, lowPriority or none")
        ->check(CLI::IsMember({"newsletter", "paperTrail", "vip", "lowPriority", "none"}));
    command->add_option("--note", o->note, "A note on the sender (empty clears it)");
    command->add_flag("--json", o->json,
                      "Print the profile as the get_sender_profile tool answers");
    command->footer(
        "--json prints {\"email\", \"displayName\", \"totalReceived\", \"receivedLast30Days\",\n"
        "\"lastReceived\", \"category\", \"note\", \"trainedAt\", \"frequency\"}.\n"
        "Example: kestrova sender becker@example.org --json | jq .totalReceived");
    command->callback([o] { sender(*o); });
  }
}

}  // namespace kestrova::app
