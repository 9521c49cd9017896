// The mail commands: `kestrova sync`, `folders`, `list`, `read`, `search`, `mark`, `move`,
// `delete`, `spam`, `attachment save` and `raw`. Local reads come from the mail store;
// anything that needs the server goes through EmailService with the account's stored
// password, and the local copy is changed only after the server accepted the change.

#include <CLI/CLI.hpp>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/core/account_book.h"
#include "app/cli/command_line.h"
#include "app/core/folder_lookup.h"
#include "app/core/incoming_mail_filter.h"
#include "app/core/message_context.h"
#include "app/core/user_preferences.h"
#include "mail/email_service.h"
#include "mail/email_sync_flow.h"
#include "rules/email_rule_engine.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "util/error.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"
#include "util/work_group.h"

namespace kestrova::app {

namespace {

using store::EmailAccount;
using store::EmailFolder;
using store::EmailMessage;

// ---- naming things ----

const EmailFolder* folder_of_type(const std::vector<EmailFolder>& folders, store::EmailFolderType type) {
  for (const auto& folder : folders)
    if (folder.type == type && !folder.isLocalPseudoFolder()) return &folder;
  return nullptr;
}

std::string date_text(double seconds) { return seconds > 0 ? iso8601_utc(seconds) : "-"; }

std::string contact_text(const store::EmailContact& contact) {
  if (contact.name && !contact.name->empty()) return *contact.name + " <" + contact.email + ">";
  return contact.email;
}

std::string contacts_text(const std::vector<store::EmailContact>& contacts) {
  std::string out;
  for (const auto& contact : contacts) {
    if (!out.empty()) out += ", ";
    out += contact_text(contact);
  }
  return out;
}

std::optional<double> parse_since(const std::string& text) {
  if (text.empty()) return std::nullopt;
  if (auto date = parse_date_argument(text)) return date;
  if (auto date = parse_local_datetime(text + " 00:00:00")) return date;
  throw Error("无法识别的日期: " + text + "（例如 2024-10-01 或 2024-10-01T08:00:00Z）");
}

// ---- progress ----

// A one-line counter on a terminal's standard error; nothing when that is not a terminal.
class ProgressLine {
 public:
  ProgressLine() : enabled_(isatty(STDERR_FILENO) == 1) {}
  ~ProgressLine() { finish(); }
  void show(const std::string& text) {
    if (!enabled_) return;
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
    shown_ = true;
  }
  void finish() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
    shown_ = false;
  }

 private:
  bool enabled_;
  bool shown_ = false;
};

// ---- sync ----

// How long a sync waits at its end for the server moves its rules and junk filter started.
constexpr std::chrono::seconds kServerMoveWait{60};

struct SyncOptions {
  std::string account, folder, since;
  uint64_t limit = 200;
  bool verbose = false;
};

void sync(const SyncOptions& o) {
  set_log_target(o.verbose ? LogTarget::StandardError : LogTarget::Silent);
  const std::optional<double> since = parse_since(o.since);
  AccountBook book;
  std::vector<EmailAccount> accounts;
  if (!o.account.empty()) {
    accounts.push_back(book.find(o.account));
  } else {
    for (const auto& account : book.accounts())
      if (account.isEnabled) accounts.push_back(account);
    if (accounts.empty()) throw Error("还没有账户（用 kestrova account add 添加）");
  }

  auto& service = mail::EmailService::shared();
  mail::EmailSyncFlow flow(book.store(), service);
  // New mail goes through the account's enabled rules and the junk filter before it is
  // stored, and gets the trained sender categories as it is saved; what changed folder on
  // the way is moved on the server in the background once the folder's batch is stored.
  IncomingMailFilter incoming(book.store(), UserPreferences::shared());
  // Script rules: the rules directory gets its default file; without a script VM nothing
  // is loaded, so no script runs on the new mail.
  rules::EmailRuleEngine scripts;
  scripts.start();
  incoming.attachTo(flow);
  ProgressLine progress;
  // Every folder synced learns its count; the settings file is written once at the end.
  const auto countWrites = book.store().deferCountCacheWrites();
  int failures = 0;
  for (const auto& account : accounts) {
    try {
      const auto password = service.storedPassword(account);
      progress.show(account.emailAddress + ": 文件夹列表…");
      auto folders = flow.syncFolders(account, password);
      std::vector<EmailFolder> chosen;
      if (!o.folder.empty()) {
        chosen.push_back(find_folder(folders, o.folder, account));
      } else {
        for (const auto& folder : folders)
          if (!folder.isLocalPseudoFolder() && flow.isSelectable(folder)) chosen.push_back(folder);
      }
      for (const auto& folder : chosen) {
        try {
          auto result = flow.syncFolder(
              account, password, folder, since, o.limit, true,
              [&](const EmailFolder& f, size_t done, size_t total) {
                progress.show(account.emailAddress + " / " + f.name + ": " + std::to_string(done) +
                              (total ? "/" + std::to_string(total) : std::string()) + " 封");
              });
          progress.finish();
          std::cout << account.emailAddress << " / " << folder.name << ": " << result.fetched
                    << " 封, 新邮件 " << result.newMessages.size() << "\n";
        } catch (const std::exception& e) {
          progress.finish();
          ++failures;
          std::cerr << account.emailAddress << " / " << folder.name << ": 同步失败: " << e.what()
                    << "\n";
        }
        incoming.startServerMoves();  // what the stored batches moved, also after a failure
      }
      flow.recordAccountSync(account);
    } catch (const std::exception& e) {
      progress.finish();
      ++failures;
      std::cerr << account.emailAddress << ": 同步失败: " << e.what() << "\n";
    }
  }
  if (!WorkGroup::shared().wait_for(kServerMoveWait))
    std::cerr << "规则和垃圾邮件过滤触发的服务器移动 60 秒内未完成，已停止等待\n";
  if (failures) throw CommandFailure{1};
}

// ---- folders and lists ----

void list_folders(const std::string& accountName, bool refresh) {
  set_log_target(LogTarget::StandardError);
  AccountBook book;
  const EmailAccount& account = accountName.empty() ? book.defaultAccount() : book.find(accountName);
  std::vector<EmailFolder> folders;
  if (refresh) {
    auto& service = mail::EmailService::shared();
    folders = mail::EmailSyncFlow(book.store(), service).syncFolders(account, service.storedPassword(account));
  } else {
    folders = folders_of(book, account);
  }
  const auto countWrites = book.store().deferCountCacheWrites();
  for (const auto& folder : folders) {
    std::cout << folder.id << "  " << store::raw_value(folder.type) << "  " << folder.name;
    if (folder.path != folder.name) std::cout << "  (" << folder.path << ")";
    std::cout << "  " << book.store().getFolderMessageCount(folder) << " 封\n";
  }
}

struct ListOptions {
  std::string account, folder;
  int limit = 50;
  bool unread = false;
};

void print_message_line(const EmailMessage& m) {
  std::cout << m.id << "  " << date_text(m.date) << "  " << (m.isRead ? " " : "*")
            << (m.isStarred ? "★" : " ") << (m.hasAttachments ? "📎" : "  ") << "  "
            << contact_text(m.from) << "  " << (m.subject.empty() ? "(无主题)" : m.subject) << "\n";
}

void list_messages(const ListOptions& o) {
  set_log_target(LogTarget::StandardError);
  AccountBook book;
  const EmailAccount& account = o.account.empty() ? book.defaultAccount() : book.find(o.account);
  const auto folders = folders_of(book, account);
  const EmailFolder* folder = nullptr;
  if (!o.folder.empty()) {
    folder = &find_folder(folders, o.folder, account);
  } else {
    folder = folder_of_type(folders, store::EmailFolderType::inbox);
    if (!folder) throw Error("找不到收件箱（用 --folder 指定文件夹）");
  }
  int shown = 0;
  for (int offset = 0; shown < o.limit; offset += 200) {
    auto page = book.store().loadMessages(*folder, 200, offset);
    if (page.empty()) break;
    for (const auto& m : page) {
      if (o.unread && m.isRead) continue;
      print_message_line(m);
      if (++shown == o.limit) break;
    }
    if (page.size() < 200) break;
  }
  if (shown == 0) std::cout << "(没有邮件)\n";
}

// ---- reading ----

using Context = MessageContext;

void read_message(const std::string& id, bool html) {
  set_log_target(LogTarget::StandardError);
  auto c = context_for(id);
  ensure_body(*c);
  const EmailMessage& m = c->message;
  std::cout << "From: " << contact_text(m.from) << "\n";
  if (!m.to.empty()) std::cout << "To: " << contacts_text(m.to) << "\n";
  if (!m.cc.empty()) std::cout << "Cc: " << contacts_text(m.cc) << "\n";
  std::cout << "Date: " << date_text(m.date) << "\n";
  std::cout << "Subject: " << m.subject << "\n";
  for (const auto& a : m.attachments)
    std::cout << "Attachment: " << a.filename << " (" << a.mimeType << ", " << a.size << " bytes"
              << (a.isInline ? ", inline" : "") << ")\n";
  std::cout << "\n";
  if (html) {
    if (!m.htmlBody) throw Error("这封邮件没有 HTML 正文");
    std::cout << *m.htmlBody << "\n";
  } else if (m.textBody) {
    std::cout << *m.textBody << "\n";
  } else if (m.htmlBody) {
    std::cout << "(只有 HTML 正文，用 --html 查看)\n";
  }
}

void print_raw(const std::string& id) {
  set_log_target(LogTarget::StandardError);
  auto c = context_for(id);
  const std::string raw =
      mail::EmailService::shared().fetchRawMessage(c->account, password_of(*c), c->message, c->folders);
  std::cout.write(raw.data(), static_cast<std::streamsize>(raw.size()));
  std::cout.flush();
}

// ---- attachments ----

void save_attachment(const std::string& id, const std::string& name, const std::string& output) {
  set_log_target(LogTarget::StandardError);
  auto c = context_for(id);
  ensure_body(*c);
  const store::EmailAttachment* found = nullptr;
  for (const auto& a : c->message.attachments)
    if (a.filename == name) found = &a;
  if (!found)
    for (const auto& a : c->message.attachments)
      if (text::equals_ci(a.filename, name)) found = &a;
  if (!found) {
    std::string names;
    for (const auto& a : c->message.attachments) names += "\n  " + a.filename;
    throw Error("邮件中没有附件: " + name + (names.empty() ? "（这封邮件没有附件）" : "。附件有:" + names));
  }
  const std::string bytes = download_attachment(*c, *found);

  // The given path is the file to write; an existing directory receives the attachment
  // under its own (cleaned) name. Written beside the target first, then renamed.
  std::filesystem::path target(output);
  std::error_code ec;
  if (std::filesystem::is_directory(target, ec)) target /= safe_file_name(found->filename);
  std::filesystem::path temporary = target;
  temporary += ".part-" + new_uuid().substr(0, 8);
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::filesystem::remove(temporary, ec);
      throw Error("无法写入文件: " + target.string());
    }
  }
  std::filesystem::rename(temporary, target, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    throw Error("无法写入文件: " + target.string());
  }
  std::cout << "已保存: " << target.string() << " (" << bytes.size() << " bytes)\n";
}

// ---- search ----

void search(const std::string& query, bool server, const std::string& accountName,
            const std::string& folderName, int limit) {
  set_log_target(LogTarget::StandardError);
  AccountBook book;
  if (server) {
    const EmailAccount& account = accountName.empty() ? book.defaultAccount() : book.find(accountName);
    const auto folders = folders_of(book, account);
    const EmailFolder* folder = folderName.empty()
                                    ? folder_of_type(folders, store::EmailFolderType::inbox)
                                    : &find_folder(folders, folderName, account);
    if (!folder) throw Error("找不到收件箱（用 --folder 指定文件夹）");
    auto& service = mail::EmailService::shared();
    auto found = service.searchMessages(account, service.storedPassword(account), *folder, query,
                                        static_cast<uint64_t>(limit));
    // Shown as stored when the store has them, so that their ids work with the other commands.
    const auto copies = book.store().storedCopies(found);
    for (size_t i = 0; i < found.size(); ++i) print_message_line(copies[i] ? *copies[i] : found[i]);
    if (found.empty()) std::cout << "(没有找到)\n";
    return;
  }
  // Local: subject, sender, preview and text body, "%" and "_" taken literally.
  std::string pattern = "%";
  for (char ch : query) {
    if (ch == '%' || ch == '_' || ch == '\\') pattern += '\\';
    pattern += ch;
  }
  pattern += "%";
  std::optional<std::string> accountId;
  if (!accountName.empty()) accountId = book.find(accountName).id;
  auto found = book.store().database().read([&](store::Connection& c) {
    auto s = c.prepare(
        "SELECT id FROM email_messages WHERE is_deleted = 0 AND (?1 IS NULL OR account_id = ?1) "
        "AND (subject LIKE ?2 ESCAPE '\\' OR from_email LIKE ?2 ESCAPE '\\' OR from_name LIKE ?2 "
        "ESCAPE '\\' OR preview LIKE ?2 ESCAPE '\\' OR text_body LIKE ?2 ESCAPE '\\') "
        "ORDER BY date DESC LIMIT ?3");
    s.bind_all(accountId, pattern, static_cast<int64_t>(limit));
    std::vector<EmailMessage> messages;
    std::vector<std::string> ids;
    while (s.step()) ids.push_back(s.text(0).value_or(""));
    for (const auto& id : ids)
      if (auto m = store::read_stored_message(c, id)) messages.push_back(std::move(*m));
    return messages;
  });
  for (const auto& m : found) print_message_line(m);
  if (found.empty()) std::cout << "(没有找到)\n";
}

// ---- server-side actions ----

// How often the local copy is tried again after the server accepted a change; each try
// already waits up to the database's busy timeout for another process's lock.
constexpr int kLocalWriteAttempts = 3;

// The server has made the change; the local copy follows it. The command has done what was
// asked, so a local write that still fails after a few tries (another process holding the
// database for long) is a warning, not the command's failure: the next sync brings the
// local copy up to date.
void follow_locally(const std::function<void()>& write) {
  for (int attempt = 1;; ++attempt) {
    try {
      write();
      return;
    } catch (const std::exception& e) {
      if (attempt < kLocalWriteAttempts) continue;
      std::cerr << "警告: 服务器上已完成，但本地副本暂未更新（" << e.what()
                << "），下次同步时会更新\n";
      return;
    }
  }
}

void mark(const std::string& what, const std::string& id) {
  set_log_target(LogTarget::StandardError);
  auto c = context_for(id);
  auto& service = mail::EmailService::shared();
  auto& m = c->message;
  if (what == "read" || what == "unread") {
    const bool read = what == "read";
    if (read)
      service.markAsRead(c->account, password_of(*c), m, c->folders);
    else
      service.markAsUnread(c->account, password_of(*c), m, c->folders);
    follow_locally([&] { c->book.store().markRead(m, read); });
  } else {
    const bool starred = what == "star";
    service.toggleStar(c->account, password_of(*c), m, starred, c->folders);
    follow_locally([&] { c->book.store().markStarred(m, starred); });
  }
  std::cout << "已标记: " << what << "  " << m.subject << "\n";
}

// The server kept the source copy, flagged \Deleted, rather than expunge other messages.
void report_flagged_only(mail::ImapSourceRemoval removal) {
  if (removal == mail::ImapSourceRemoval::flaggedOnly)
    std::cerr << "注意: " << mail::EmailService::kFlaggedOnlyNotice << "\n";
}

// After a move the server gives the message a new UID in its new folder, which the next
// sync of that folder brings in; until then the local copy has none.
void record_move(Context& c, const EmailFolder& destination, bool spam) {
  follow_locally([&] { c.book.store().recordServerMove(c.message.id, destination.id, spam); });
}

void move(const std::string& id, const std::string& folderName) {
  set_log_target(LogTarget::StandardError);
  auto c = context_for(id);
  const EmailFolder& destination = find_folder(c->folders, folderName, c->account);
  if (c->message.folderId == destination.id) throw Error("邮件已在文件夹 " + destination.name + " 中");
  const auto removal = mail::EmailService::shared().moveMessage(
      c->account, password_of(*c), c->message, destination, c->folders);
  record_move(*c, destination, false);
  std::cout << "已移动到 " << destination.name << ": " << c->message.subject << "\n";
  report_flagged_only(removal);
}

void spam(const std::string& id) {
  set_log_target(LogTarget::StandardError);
  auto c = context_for(id);
  const auto removal =
      mail::EmailService::shared().moveToSpam(c->account, password_of(*c), c->message, c->folders);
  record_move(*c, *folder_of_type(c->folders, store::EmailFolderType::spam), true);
  std::cout << "已移到垃圾邮件: " << c->message.subject << "\n";
  report_flagged_only(removal);
}

void remove_message(const std::string& id) {
  set_log_target(LogTarget::StandardError);
  auto c = context_for(id);
  const auto removal = mail::EmailService::shared().deleteMessage(c->account, password_of(*c),
                                                                  c->message, c->folders);
  follow_locally([&] {
    c->book.store().database().write([&](store::Connection& db) {
      auto s = db.prepare("DELETE FROM email_messages WHERE id = ?");
      s.bind(1, c->message.id);
      s.run();
    });
  });
  std::cout << "已删除: " << c->message.subject << "\n";
  report_flagged_only(removal);
}

}  // namespace

void add_mail_commands(CLI::App& root) {
  {
    auto* command = root.add_subcommand("sync", "Fetch folders and the newest messages from the servers");
    auto o = std::make_shared<SyncOptions>();
    command->add_option("--account", o->account, "Account id, address or name (default: every enabled account)");
    command->add_option("--folder", o->folder, "Only this folder (id, path or name)");
    command->add_option("--since", o->since, "Only messages since this date (2024-10-01, or ISO-8601)");
    command->add_option("--limit", o->limit, "Newest messages per folder (default 200)")
        ->check(CLI::Range(uint64_t{1}, uint64_t{1000000}));
    command->add_flag("--verbose", o->verbose, "Print the diagnostic log on standard error");
    command->callback([o] { sync(*o); });
  }
  {
    auto* command = root.add_subcommand("folders", "List an account's folders");
    auto account = std::make_shared<std::string>();
    auto refresh = std::make_shared<bool>(false);
    command->add_option("--account", *account, "Account id, address or name (default: the default account)");
    command->add_flag("--refresh", *refresh, "Fetch the folder list from the server first");
    command->callback([account, refresh] { list_folders(*account, *refresh); });
  }
  {
    auto* command = root.add_subcommand("list", "List the stored messages of a folder, newest first");
    auto o = std::make_shared<ListOptions>();
    command->add_option("--account", o->account, "Account id, address or name (default: the default account)");
    command->add_option("--folder", o->folder, "Folder id, path or name (default: the inbox)");
    command->add_option("--limit", o->limit, "Most messages to list (default 50)")->check(CLI::PositiveNumber);
    command->add_flag("--unread", o->unread, "Only unread messages");
    command->callback([o] { list_messages(*o); });
  }
  {
    auto* command = root.add_subcommand("read", "Show a message (its body is downloaded when not stored)");
    auto id = std::make_shared<std::string>();
    auto html = std::make_shared<bool>(false);
    command->add_option("ID", *id, "Message id")->required();
    command->add_flag("--html", *html, "Print the HTML body");
    command->callback([id, html] { read_message(*id, *html); });
  }
  {
    auto* command = root.add_subcommand("search", "Search messages (stored ones, or on the server)");
    auto query = std::make_shared<std::string>();
    auto server = std::make_shared<bool>(false);
    auto account = std::make_shared<std::string>();
    auto folder = std::make_shared<std::string>();
    auto limit = std::make_shared<int>(50);
    command->add_option("QUERY", *query, "Text to look for")->required();
    command->add_flag("--server", *server, "Search the server's folder (IMAP TEXT search)");
    command->add_option("--account", *account, "Account id, address or name");
    command->add_option("--folder", *folder, "Folder for --server (default: the inbox)");
    command->add_option("--limit", *limit, "Most results (default 50)")->check(CLI::PositiveNumber);
    command->callback([=] { search(*query, *server, *account, *folder, *limit); });
  }
  {
    auto* command = root.add_subcommand("mark", "Mark a message read, unread, starred or unstarred");
    auto what = std::make_shared<std::string>();
    auto id = std::make_shared<std::string>();
    command->add_option("STATE", *what, "read, unread, star or unstar")
        ->required()
        ->check(CLI::IsMember({"read", "unread", "star", "unstar"}));
    command->add_option("ID", *id, "Message id")->required();
    command->callback([what, id] { mark(*what, *id); });
  }
  {
    auto* command = root.add_subcommand("move", "Move a message to another folder on the server");
    auto id = std::make_shared<std::string>();
    auto folder = std::make_shared<std::string>();
    command->add_option("ID", *id, "Message id")->required();
    command->add_option("FOLDER", *folder, "Destination folder (id, path or name)")->required();
    command->callback([id, folder] { move(*id, *folder); });
  }
  {
    auto* command = root.add_subcommand("delete", "Delete a message on the server for good (and here)");
    auto id = std::make_shared<std::string>();
    command->add_option("ID", *id, "Message id")->required();
    command->callback([id] { remove_message(*id); });
  }
  {
    auto* command = root.add_subcommand("spam", "Move a message to the account's spam folder");
    auto id = std::make_shared<std::string>();
    command->add_option("ID", *id, "Message id")->required();
    command->callback([id] { spam(*id); });
  }
  {
    auto* attachment = root.add_subcommand("attachment", "Attachments of a message");
    attachment->require_subcommand(1);
    auto* save = attachment->add_subcommand("save", "Save an attachment to a file");
    auto id = std::make_shared<std::string>();
    auto name = std::make_shared<std::string>();
    auto output = std::make_shared<std::string>();
    save->add_option("ID", *id, "Message id")->required();
    save->add_option("NAME", *name, "The attachment's file name")->required();
    save->add_option("-o,--output", *output, "File to write (or an existing directory)")->required();
    save->callback([id, name, output] { save_attachment(*id, *name, *output); });
  }
  {
    auto* command = root.add_subcommand("raw", "Print a message's raw source from the server");
    auto id = std::make_shared<std::string>();
    command->add_option("ID", *id, "Message id")->required();
    command->callback([id] { print_raw(*id); });
  }
}

}  // namespace kestrova::app
