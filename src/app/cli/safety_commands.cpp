// `kestrova privacy`, `kestrova junk score`, `kestrova block|unblock|blocked` and
// `kestrova sender`: the privacy report of a message, its junk score, the blocked-sender
// lists and sender profiles with their training (category and note).

#include <CLI/CLI.hpp>

#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/account_book.h"
#include "app/cli/command_line.h"
#include "app/core/folder_lookup.h"
#include "app/core/id_prefix.h"
#include "app/core/incoming_mail_filter.h"
#include "app/core/user_preferences.h"
#include "safety/email_junk_filter_service.h"
#include "safety/email_privacy_report_service.h"
#include "safety/sender_profile_service.h"
#include "store/contact_store.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

using safety::EmailJunkFilterService;

std::string date_text(std::optional<double> date) { return date ? iso8601_utc(*date) : "-"; }

// ---- privacy report ----

void print_privacy_report(const std::string& id, bool json) {
  AccountBook book;
  const auto message = find_message(book.store(), id);
  const auto report = safety::EmailPrivacyReportService::report(message);
  if (json) {
    std::cout << safety::to_tool_json(report).dump(2) << "\n";
    return;
  }
  std::cout << message.subject << "\n";
  // The report reads only what is stored; nothing is downloaded for it.
  if (!message.isBodyLoaded) std::cout << "（正文尚未下载，报告只含主题和发件人；kestrova read ID 会下载正文）\n";
  std::cout << "远程资源（追踪器）: " << report.trackerCount << "\n";
  std::cout << "可疑链接: " << (report.suspiciousLinks.empty() ? "无" : std::to_string(report.suspiciousLinks.size()))
            << "\n";
  for (const auto& link : report.suspiciousLinks) {
    std::cout << "  - " << safety::localized_reason(link.reason) << ": " << link.url;
    if (!link.displayText.empty()) std::cout << "（显示为「" << text::trim(link.displayText) << "」）";
    std::cout << "\n";
  }
  const std::string trust = report.senderTrust.message();
  std::cout << "发件人: " << (trust.empty() ? "一致" : trust) << "\n";
  std::cout << "提示注入: " << (report.injection.empty() ? "无" : std::to_string(report.injection.size())) << "\n";
  for (const auto& hit : report.injection)
    std::cout << "  - " << safety::localized_label(hit.kind) << ": " << hit.snippet << "\n";
}

// ---- junk filter ----

void print_junk_score(const std::string& id) {
  AccountBook book;
  auto message = find_message(book.store(), id);
  EmailJunkFilterService junk(book.store().database());
  const auto score = EmailJunkFilterService::junkScore(message);
  std::cout << message.subject << "\n";
  std::cout << "得分: " << score.score << "（阈值 " << EmailJunkFilterService::kThreshold << "）\n";
  std::string reasons;
  for (const auto& reason : score.reasons) reasons += (reasons.empty() ? "" : ", ") + reason;
  std::cout << "信号: " << (reasons.empty() ? "无" : reasons) << "\n";
  // What the filter would do with this message on arrival, with the current settings.
  book.store().loadFolders();
  const auto decision = junk.evaluate(message, book.store().foldersOf(message.accountId),
                                      junk_filter_settings(UserPreferences::shared()));
  std::cout << "到达时: ";
  if (!decision.action)
    std::cout << "正常投递\n";
  else if (decision.spamFolderId)
    std::cout << "移到垃圾邮件文件夹（" << safety::raw_value(*decision.action) << "）\n";
  else
    std::cout << "标为垃圾邮件（" << safety::raw_value(*decision.action) << "）\n";
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
  if (accounts.empty()) throw Error("还没有账户（用 kestrova account add 添加）");
  const std::string address = text::lower(text::trim(o.address));
  if (address.empty() || address == "@") throw Error("请给出要拉黑的地址、@域名或域名");
  EmailJunkFilterService junk(book.store().database());
  const std::optional<std::string> note = o.note.empty() ? std::nullopt : std::optional(o.note);
  for (const auto& account : accounts) {
    const auto entry = junk.add(account.id, address, note);
    if (!entry) throw Error("无法为 " + account.emailAddress + " 添加黑名单: " + address);
    std::cout << entry->id << "  " << account.emailAddress << "  " << entry->email << "\n";
  }
}

void unblock(const std::string& id) {
  AccountBook book;
  EmailJunkFilterService junk(book.store().database());
  const auto all = junk.list();
  std::vector<std::string> ids;
  for (const auto& blocked : all) ids.push_back(blocked.id);
  const std::string wanted = match_id_prefix(id, ids, "黑名单条目");
  std::optional<safety::BlockedSender> entry;
  for (const auto& blocked : all)
    if (blocked.id == wanted) entry = blocked;
  if (!entry) throw Error("未找到黑名单条目: " + id);
  if (!junk.remove(entry->id)) throw Error("无法删除黑名单条目: " + id);
  std::cout << "已移出黑名单: " << entry->email << "\n";
}

void list_blocked() {
  AccountBook book;
  EmailJunkFilterService junk(book.store().database());
  const auto entries = junk.list();
  if (entries.empty()) {
    std::cout << "黑名单为空（用 kestrova block 添加）\n";
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
};

std::optional<store::SenderCategory> category_option(const std::string& text) {
  if (text == "none") return std::nullopt;
  if (auto category = store::from_raw<store::SenderCategory>(text)) return category;
  throw Error("未知的分类: " + text + "（可选 newsletter、paperTrail、vip、lowPriority、none）");
}

void print_profile(const safety::SenderProfile& p) {
  std::cout << p.email;
  if (p.displayName) std::cout << " (" << *p.displayName << ")";
  std::cout << "\n";
  std::cout << "分类: " << (p.category ? localized("sender.category." + std::string(store::raw_value(*p.category))) : "-")
            << (p.isVIP ? "，VIP" : "") << "\n";
  if (p.note) std::cout << "备注: " << *p.note << "\n";
  std::cout << "收到: " << p.totalReceived << " 封（近 30 天 " << p.receivedLast30Days << " 封），首次 "
            << date_text(p.firstSeen) << "，最近 " << date_text(p.lastReceived) << "\n";
  std::cout << "发出: " << p.totalSent << " 封，最近 " << date_text(p.lastSent) << "\n";
  if (p.frequencyRank) std::cout << "来信频率排名: 第 " << *p.frequencyRank << " 位\n";
  if (!p.recentMessages.empty()) {
    std::cout << "最近往来:\n";
    for (const auto& m : p.recentMessages)
      std::cout << "  " << iso8601_utc(m.date) << (m.isSent ? "  → " : "  ← ") << m.subject << "  "
                << short_id(m.id) << "\n";
  }
  if (!p.recentAttachments.empty()) {
    std::cout << "最近附件:\n";
    for (const auto& a : p.recentAttachments)
      std::cout << "  " << iso8601_utc(a.messageDate) << "  " << a.filename << "  " << a.size << " 字节  ("
                << a.messageSubject << ")\n";
  }
  if (!p.commonCoRecipients.empty()) {
    std::cout << "常一起收信的人:\n";
    for (const auto& r : p.commonCoRecipients)
      std::cout << "  " << (r.name ? *r.name + " <" + r.email + ">" : r.email) << "  ×" << r.count << "\n";
  }
}

void sender(const SenderOptions& o) {
  AccountBook book;
  const std::string address = store::ContactStore::normalized_address(o.address);
  if (address.empty()) throw Error("请给出发件人地址");
  if (!o.category.empty() || o.note) {
    store::ContactStore contacts(book.store().database());
    if (!o.category.empty()) {
      const auto category = category_option(o.category);
      if (!contacts.set_category(address, category)) throw Error("无法保存分类: " + address);
      std::cout << address << ": 分类 "
                << (category ? localized("sender.category." + std::string(store::raw_value(*category))) : "已清除")
                << "\n";
    }
    if (o.note) {
      if (!contacts.set_note(address, *o.note)) throw Error("无法保存备注: " + address);
      std::cout << address << ": " << (text::trim(*o.note).empty() ? "备注已清除" : "备注已保存") << "\n";
    }
    return;
  }
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
  root.add_subcommand("blocked", "List the blocked senders")->callback([] { list_blocked(); });
  {
    auto* command = root.add_subcommand("sender", "A sender's profile, or train its category or note");
    auto o = std::make_shared<SenderOptions>();
    command->add_option("ADDRESS", o->address, "Sender address")->required();
    command->add_option("--account", o->account, "Only this account's mail (id, address or name)");
    command->add_option("--category", o->category, "newsletter, paperTrail, vip, lowPriority or none")
        ->check(CLI::IsMember({"newsletter", "paperTrail", "vip", "lowPriority", "none"}));
    command->add_option("--note", o->note, "A note on the sender (empty clears it)");
    command->callback([o] { sender(*o); });
  }
}

}  // namespace kestrova::app
