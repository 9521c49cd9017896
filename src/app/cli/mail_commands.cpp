// The mail commands: `kestrova sync`, `folders`, `list`, `read`, `search`, `mark`, `move`,
// `delete`, `spam`, `attachment save` and `raw`. Local reads come from the mail store;
// reads that need the server go through EmailService with the account's stored password.
// Changes (`mark`, `move`, `delete`, `spam`) are made locally and journalled in one
// transaction; the servers follow through the replay of the journal.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/cli/command_line.h"
#include "app/cli/terminal_output.h"
#include "app/cli/undo_record.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/service/body_prefetch_worker.h"
#include "app/core/mailbox/folder_lookup.h"
#include "app/core/mailbox/id_prefix.h"
#include "app/core/service/incoming_mail_filter.h"
#include "app/core/mailbox/journalled_message_change.h"
#include "app/core/service/mail_service_runner.h"
#include "app/core/mailbox/message_context.h"
#include "app/core/mailbox/search_language.h"
#include "app/core/agent/tool_answer_json.h"
#include "app/core/user_preferences.h"
#include "mail/email_message_conversion.h"
#include "mail/email_service.h"
#include "mail/email_sync_flow.h"
#include "rules/email_rule_engine.h"
#include "store/contact_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "store/server_change_journal.h"
#include "util/display_width.h"
#include "util/error.h"
#include "util/html_text.h"
#include "util/json.h"
#include "util/localization.h"
#include "util/terminal_text.h"
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

const EmailFolder* folder_of_type(const std::vector<EmailFolder>& folders,
                                  store::EmailFolderType type) {
  for (const auto& folder : folders)
    if (folder.type == type && !folder.isLocalPseudoFolder()) return &folder;
  return nullptr;
}

// Names and addresses as the sender wrote them, shown on one line without control characters.
std::string contact_text(const store::EmailContact& contact) {
  if (contact.name && !contact.name->empty())
    return terminal_safe(*contact.name + " <" + contact.email + ">");
  return terminal_safe(contact.email);
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
  throw Error(localized_format("cli.date.unreadable", text));
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

// The address book learns from new mail: who wrote to the user, and whom the user wrote to
// (mail in the sent folder). Spam and the trash teach it nothing.
void learn_contacts(store::ContactStore& contacts, const EmailFolder& folder,
                    const std::vector<EmailMessage>& fresh) {
  using enum store::EmailFolderType;
  if (folder.type == spam || folder.type == trash || folder.type == drafts) return;
  for (const auto& message : fresh) {
    if (folder.type == sent)
      contacts.learn_from_sent(message);
    else
      contacts.learn_from_received(message);
  }
}

struct SyncOptions {
  std::string account, folder, since;
  uint64_t limit = 0;  // every message
  bool bodies = false;
};

// `sync --bodies`: the bodies of the account's recent messages, as the service downloads
// them (they stay unread), with a counter on a terminal.
void prefetch_bodies(const EmailAccount& account, const std::optional<std::string>& password,
                     store::EmailDatabase& database, ProgressLine& progress) {
  const auto window = body_prefetch_window(UserPreferences::shared());
  const std::atomic<bool> never{false};
  mail::EmailBodyPrefetcher prefetcher(database, mail::EmailService::shared());
  const auto result =
      prefetcher.prefetch(account, password, window, never, [&](size_t done, size_t total) {
        progress.show(localized_format("sync.bodies.progress", account.emailAddress, done, total));
      });
  progress.finish();
  std::cout << localized_format("sync.bodies.done", account.emailAddress, result.stored,
                                result.wanted)
            << "\n";
  if (result.failedFolders) throw Error(localized("sync.bodies.failed"));
}

void sync(const SyncOptions& o) {
  const std::optional<double> since = parse_since(o.since);
  AccountBook book;
  std::vector<EmailAccount> accounts;
  if (!o.account.empty()) {
    accounts.push_back(book.find(o.account));
    if (accounts.back().isLocalOnly())
      throw Error(localized_format("local_account.no_sync", accounts.back().emailAddress));
  } else {
    for (const auto& account : book.accounts())
      if (account.isEnabled && !account.isLocalOnly()) accounts.push_back(account);
    if (accounts.empty() && !book.accounts().empty())
      throw Error(localized("local_account.nothing_to_sync"));
    if (accounts.empty()) throw Error(localized("cli.accounts.none"));
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
  store::ContactStore contacts(book.store().database());
  // Every folder synced learns its count; the settings file is written once at the end.
  const auto countWrites = book.store().deferCountCacheWrites();
  int failures = 0;
  for (const auto& account : accounts) {
    try {
      const auto password = service.storedPassword(account);
      progress.show(localized_format("cli.sync.folder_list", account.emailAddress));
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
                progress.show(localized_format(
                    "cli.sync.progress", account.emailAddress, f.name,
                    std::to_string(done) + (total ? "/" + std::to_string(total) : std::string())));
              });
          progress.finish();
          learn_contacts(contacts, folder, result.newMessages);
          std::cout << localized_format("cli.sync.folder_done", account.emailAddress,
                                        terminal_safe(folder.name), result.fetched,
                                        result.newMessages.size())
                    << "\n";
        } catch (const std::exception& e) {
          progress.finish();
          ++failures;
          std::cerr << localized_format("cli.sync.folder_failed", account.emailAddress,
                                        terminal_safe(folder.name),
                                        terminal_safe(e.what(), TextShape::block))
                    << "\n";
        }
        incoming.startServerMoves();  // what the stored batches moved, also after a failure
      }
      flow.recordAccountSync(account);
      if (o.bodies) prefetch_bodies(account, password, book.store().database(), progress);
    } catch (const std::exception& e) {
      progress.finish();
      ++failures;
      std::cerr << localized_format("cli.sync.account_failed", account.emailAddress,
                                    terminal_safe(e.what(), TextShape::block))
                << "\n";
    }
  }
  if (!WorkGroup::shared().wait_for(kServerMoveWait))
    std::cerr << localized("cli.sync.moves_unfinished") << "\n";
  if (failures) throw CommandFailure{kExitPartial};
}

// ---- folders and lists ----

void list_folders(const std::string& accountName, bool refresh, bool json) {
  AccountBook book;
  const EmailAccount& account =
      accountName.empty() ? book.defaultAccount() : book.find(accountName);
  std::vector<EmailFolder> folders;
  if (refresh && !account.isLocalOnly()) {
    auto& service = mail::EmailService::shared();
    folders = mail::EmailSyncFlow(book.store(), service)
                  .syncFolders(account, service.storedPassword(account));
  } else {
    folders = folders_of(book, account);
  }
  if (json) {
    std::cout << terminal_safe_json(
                     book.store()
                         .database()
                         .read([&](store::Connection& c) { return folders_json(c, account.id); })
                         .dump())
              << "\n";
    return;
  }
  const auto countWrites = book.store().deferCountCacheWrites();
  for (const auto& folder : folders) {
    std::cout << short_id(folder.id) << "  " << store::raw_value(folder.type) << "  "
              << terminal_safe(folder.name);
    if (folder.path != folder.name) std::cout << "  (" << terminal_safe(folder.path) << ")";
    std::cout << "  "
              << localized_format("cli.folders.count", book.store().getFolderMessageCount(folder))
              << "\n";
  }
}

struct ListOptions {
  std::string account, folder;
  int limit = 50;
  int64_t offset = 0;  // messages skipped first
  int64_t page = 0;    // 1-based; a page is `limit` messages
  bool unread = false, json = false;
};

constexpr std::string_view kListLegend =
    "Each line: id (first 8 characters; any unique prefix of 4 or more works), date in the local\n"
    "time zone, flags (N unread, * starred, @ attachment), sender, subject. On a terminal unread\n"
    "lines are bold and starred ones yellow (not with NO_COLOR); lines are cut to its width.\n"
    "--json prints the tool server's message summaries: [{\"accountId\", \"date\", \"folderId\",\n"
    "\"from\": {\"email\", \"name\"}, \"id\", \"isDraft\", \"isRead\", \"isStarred\", "
    "\"preview\",\n"
    "\"subject\", \"to\": [...]}, ...]";

// One listing line, fitted to the terminal: the folder column only in search results.
void print_message_line(const EmailMessage& m, const std::string& folder = {}) {
  constexpr size_t kFromColumns = 20, kFolderColumns = 12;
  std::string line = short_id(m.id) + "  ";
  const std::string date = listing_date_text(m.date);
  line += date + std::string(date.size() < 11 ? 11 - date.size() : 0, ' ') + "  ";
  line += std::string(m.isRead ? " " : "N") + (m.isStarred ? "*" : " ") +
          (m.hasAttachments ? "@" : " ");
  line += "  ";
  if (!folder.empty()) {
    const std::string name = fit_to_width(terminal_safe(folder), kFolderColumns);
    line += name + std::string(kFolderColumns - display_width(name), ' ') + "  ";
  }
  const std::string from = fit_to_width(
      terminal_safe(m.from.name && !m.from.name->empty() ? *m.from.name : m.from.email),
      kFromColumns);
  line += from + std::string(kFromColumns - display_width(from), ' ') + "  ";
  line += m.subject.empty() ? localized("email.no.subject") : terminal_safe(m.subject);
  if (const size_t columns = output_columns()) line = fit_to_width(line, columns);
  if (!m.isRead) line = styled(line, TextStyle::Bold);
  if (m.isStarred) line = styled(line, TextStyle::Yellow);
  std::cout << line << "\n";
}

// The messages as the tool server summarises them: one JSON array.
void print_messages_json(store::EmailStore& store, const std::vector<EmailMessage>& messages) {
  std::string out = "[";
  store.database().read([&](store::Connection& c) {
    for (const auto& m : messages) {
      auto s = c.prepare("SELECT * FROM email_messages WHERE id = ?");
      s.bind(1, m.id);
      if (!s.step()) continue;
      if (out.size() > 1) out.push_back(',');
      append_message_summary(out, s);
    }
  });
  std::cout << terminal_safe_json(out) << "]\n";
}

void list_messages(const ListOptions& o) {
  AccountBook book;
  const EmailAccount& account = o.account.empty() ? book.defaultAccount() : book.find(o.account);
  const auto folders = folders_of(book, account);
  const EmailFolder* folder = nullptr;
  if (!o.folder.empty()) {
    folder = &find_folder(folders, o.folder, account);
  } else {
    folder = folder_of_type(folders, store::EmailFolderType::inbox);
    if (!folder) throw Error(localized("cli.list.no_inbox"));
  }
  // Without a filter the store skips the first messages itself; with one, the skipped ones
  // are those the filter lets through.
  const int64_t skipped = o.page > 0 ? (o.page - 1) * o.limit : o.offset;
  int64_t to_skip = o.unread ? skipped : 0;
  std::vector<EmailMessage> shown;
  for (int64_t offset = o.unread ? 0 : skipped; std::ssize(shown) < o.limit; offset += 200) {
    auto page = book.store().loadMessages(*folder, 200, static_cast<int>(offset));
    if (page.empty()) break;
    for (auto& m : page) {
      if (o.unread && m.isRead) continue;
      if (to_skip > 0) {
        --to_skip;
        continue;
      }
      shown.push_back(std::move(m));
      if (std::ssize(shown) == o.limit) break;
    }
    if (page.size() < 200) break;
  }
  if (o.json) return print_messages_json(book.store(), shown);
  for (const auto& m : shown) print_message_line(m);
  if (shown.empty()) std::cout << localized("cli.list.empty") << "\n";
}

// ---- reading ----

using Context = MessageContext;

// The message's tags: the AI's and the agent's first, then the user's own, each once.
std::vector<std::string> all_tags(const EmailMessage& m) {
  std::vector<std::string> tags = m.aiTags;
  for (const auto& tag : m.tags)
    if (std::find(tags.begin(), tags.end(), tag) == tags.end()) tags.push_back(tag);
  return tags;
}

// What the AI and the agent added to the message, as header-like lines (named in English,
// as the headers above them are).
std::string annotation_lines(const EmailMessage& m) {
  std::string out;
  auto line = [&](const std::string& name, const std::string& value) {
    out += styled(name + ": ", TextStyle::Bold) + value + "\n";
  };
  if (const auto tags = all_tags(m); !tags.empty()) {
    std::string joined;
    for (const auto& tag : tags) joined += (joined.empty() ? "" : ", ") + tag;
    line("Tags", terminal_safe(joined));
  }
  if (m.aiPriority) line("Priority", std::string(store::raw_value(*m.aiPriority)));
  if (m.aiSummary && !text::trim(*m.aiSummary).empty())
    line("Summary", terminal_safe(*m.aiSummary, TextShape::block));
  if (!m.aiActionItems.empty()) {
    out += styled("Action items:", TextStyle::Bold) + "\n";
    for (const auto& item : m.aiActionItems) out += "  - " + terminal_safe(item) + "\n";
  }
  return out;
}

// Marks the message read as the tool server's mark does: every copy, each with its journal
// entry (replayed to the server by the service), in one transaction.
void mark_read_through_journal(Context& c) {
  c.book.store().database().write(
      [&](store::Connection& db) { set_read_journalled(db, c.message.id, true); });
}

// A message read on a terminal is read once it has been on the screen for
// emailMarkAsReadDelaySeconds: time spent in the pager counts, and when the pager returns
// sooner the command waits for the rest (Ctrl-C in that wait leaves the message unread).
// Output to a pipe or a file is not reading; --no-mark keeps the message as it is.
void mark_after_reading(Context& c, std::chrono::steady_clock::time_point shown) {
  if (c.message.isRead) return;
  const int64_t delay = UserPreferences::shared().get(settings::emailMarkAsReadDelaySeconds);
  std::this_thread::sleep_until(shown + std::chrono::seconds(std::clamp<int64_t>(delay, 0, 3600)));
  mark_read_through_journal(c);
}

void read_message(const std::string& id, bool html, bool json, bool noMark) {
  auto c = context_for(id);
  // Downloading is not reading: the message is marked read below, when it was read.
  ensure_body(*c, BodyLoad::peek);
  const EmailMessage& m = c->message;
  if (json) {
    // The tool server's single-message form, with bodies, and what the AI and the agent
    // added.
    std::string out;
    c->book.store().database().read([&](store::Connection& db) {
      auto s = db.prepare("SELECT * FROM email_messages WHERE id = ?");
      s.bind(1, m.id);
      if (s.step()) append_message_summary(out, s, true);
    });
    if (out.empty()) return;
    Json document = Json::parse(out);
    document["tags"] = all_tags(m);
    document["aiSummary"] = m.aiSummary ? Json(*m.aiSummary) : Json();
    document["aiPriority"] =
        m.aiPriority ? Json(std::string(store::raw_value(*m.aiPriority))) : Json();
    document["aiActionItems"] = m.aiActionItems;
    std::cout << terminal_safe_json(document.dump()) << "\n";
    return;
  }
  std::string page = styled("From: ", TextStyle::Bold) + contact_text(m.from) + "\n";
  if (!m.to.empty()) page += styled("To: ", TextStyle::Bold) + contacts_text(m.to) + "\n";
  if (!m.cc.empty()) page += styled("Cc: ", TextStyle::Bold) + contacts_text(m.cc) + "\n";
  page += styled("Date: ", TextStyle::Bold) + local_date_text(m.date) + "\n";
  page += styled("Subject: ", TextStyle::Bold) + terminal_safe(m.subject) + "\n";
  for (const auto& a : m.attachments)
    if (!a.isInline)
      page += styled("Attachment: ", TextStyle::Bold) + terminal_safe(a.filename) + " (" +
              size_text(a.size) + ", " + terminal_safe(a.mimeType) + ")\n";
  page += annotation_lines(m);
  page += "\n";
  if (html) {
    if (!m.htmlBody) throw Error(localized("cli.read.no_html"));
    page += terminal_safe(*m.htmlBody, TextShape::block) + "\n";
  } else if (m.textBody && !text::trim(*m.textBody).empty()) {
    page += terminal_safe(*m.textBody, TextShape::block) + "\n";
  } else if (m.htmlBody) {
    page += terminal_safe(html_to_readable_text(*m.htmlBody), TextShape::block) + "\n";
  }
  const auto shown = std::chrono::steady_clock::now();
  show_paged(page);
  if (!noMark && output_is_terminal()) mark_after_reading(*c, shown);
}

// The bytes kept here for imported and local mail, else the server's copy (left unread).
void print_raw(const std::string& id) {
  auto c = context_for(id);
  const std::string raw = original_source(*c);
  std::cout.write(raw.data(), static_cast<std::streamsize>(raw.size()));
  std::cout.flush();
}

// ---- attachments ----

void list_attachments(const std::string& id) {
  auto c = context_for(id);
  ensure_body(*c);
  int shown = 0;
  for (const auto& a : c->message.attachments) {
    if (a.isInline) continue;
    std::cout << terminal_safe(a.filename) << "  " << size_text(a.size) << "  "
              << terminal_safe(a.mimeType) << "\n";
    ++shown;
  }
  if (shown == 0) std::cout << localized("cli.attachments.none") << "\n";
}

void save_attachment_file(const std::string& id, const std::string& name, const std::string& output,
                          bool force) {
  auto c = context_for(id);
  ensure_body(*c);
  const auto saved = save_attachment(*c, attachment_named(*c, name), output,
                                     force ? ExistingFile::replace : ExistingFile::refuse);
  std::cout << localized_format("cli.file.saved", saved.path.string(), saved.size) << "\n";
}

// ---- search ----

struct SearchOptions {
  std::string query, account, folder;
  int limit = 50;
  bool server = false, json = false, ids = false;
};

void print_found(store::EmailStore& store, const SearchOptions& o,
                 const std::vector<EmailMessage>& found) {
  if (o.json) return print_messages_json(store, found);
  if (o.ids) {
    for (const auto& m : found) std::cout << m.id << "\n";
    return;
  }
  store.loadFolders();
  for (const auto& m : found) {
    // The folder that lists the message: deleted mail is in the trash, spam in the spam
    // folder, wherever the row points.
    const auto& folders = store.foldersOf(m.accountId);
    const EmailFolder* listed = m.isDeleted ? folder_of_type(folders, store::EmailFolderType::trash)
                                : m.isSpam  ? folder_of_type(folders, store::EmailFolderType::spam)
                                            : nullptr;
    std::string folder = listed ? listed->displayName() : std::string();
    for (const auto& f : folders)
      if (folder.empty() && f.id == m.folderId) folder = f.displayName();
    print_message_line(m, folder.empty() ? "-" : folder);
  }
  if (found.empty()) std::cout << localized("cli.search.empty") << "\n";
}

void search(const SearchOptions& o) {
  AccountBook book;
  if (o.server) {
    const EmailAccount& account = o.account.empty() ? book.defaultAccount() : book.find(o.account);
    const auto folders = folders_of(book, account);
    const EmailFolder* folder = o.folder.empty()
                                    ? folder_of_type(folders, store::EmailFolderType::inbox)
                                    : &find_folder(folders, o.folder, account);
    if (!folder) throw Error(localized("cli.list.no_inbox"));
    auto& service = mail::EmailService::shared();
    auto found = service.searchMessages(account, service.storedPassword(account), *folder, o.query,
                                        static_cast<uint64_t>(o.limit));
    // Shown as stored when the store has them, so that their ids work with the other commands.
    const auto copies = book.store().storedCopies(found);
    std::vector<EmailMessage> shown;
    for (size_t i = 0; i < found.size(); ++i) shown.push_back(copies[i] ? *copies[i] : found[i]);
    return print_found(book.store(), o, shown);
  }
  const auto terms = parse_search_query(o.query);
  const double now = now_seconds();
  std::optional<std::string> accountId;
  if (!o.account.empty()) accountId = book.find(o.account).id;
  auto found = book.store().database().read([&](store::Connection& c) {
    std::vector<EmailMessage> messages;
    const auto ids = search_message_ids(c, terms, now, accountId, static_cast<int64_t>(o.limit));
    for (const auto& id : ids)
      if (auto m = store::read_listed_message(c, id)) messages.push_back(std::move(*m));
    return messages;
  });
  print_found(book.store(), o, found);
}

// ---- changes the servers follow ----

// How long a command that changed messages waits for the servers to follow before it
// leaves the rest to the service (each connection has its own, shorter time limits).
constexpr std::chrono::seconds kReplayWait{30};

// The messages a command changed: the local copy changes at once, in the transaction that
// journals the change for the server (app/core/mailbox/journalled_message_change.h), as the tool
// server's changes do. Local-only accounts journal nothing.
struct ChangedMessages {
  std::set<std::string> accounts, rows;
  UndoRecord undo;  // what `kestrova undo` takes back
  void add(const std::string& account, const std::vector<std::string>& changed) {
    accounts.insert(account);
    rows.insert(changed.begin(), changed.end());
  }
};

void mark(const std::string& what, const std::string& id, ChangedMessages& changed) {
  auto c = context_for(id);
  const auto& m = c->message;
  const bool on = what == "read" || what == "star";
  const bool flag_read = what == "read" || what == "unread";
  const auto copies = c->book.store().database().write([&](store::Connection& db) {
    return flag_read ? set_read_journalled(db, m.id, on) : set_starred_journalled(db, m.id, on);
  });
  changed.add(c->account.id, copies);
  changed.undo.flag(m.id, m.subject, flag_read ? UndoRecord::Flag::read : UndoRecord::Flag::starred,
                    flag_read ? m.isRead : m.isStarred);
  std::cout << localized_format("cli.mark.done", what, terminal_safe(m.subject)) << "\n";
}

// A local-only account's folder of `type`, created under `name` the first time it is needed.
const EmailFolder& local_folder_of_type(Context& c, store::EmailFolderType type,
                                        const std::string& name) {
  if (const EmailFolder* folder = folder_of_type(c.folders, type)) return *folder;
  auto folder = EmailFolder::make(
      {.id = new_uuid(), .accountId = c.account.id, .name = name, .type = type, .path = name});
  c.book.store().saveFolder(folder);
  c.folders.push_back(std::move(folder));
  return c.folders.back();
}

void move_to(Context& c, const EmailFolder& destination, MoveMark mark, ChangedMessages& changed) {
  c.book.store().database().write(
      [&](store::Connection& db) { move_journalled(db, c.message.id, destination.id, mark); });
  changed.add(c.account.id, {c.message.id});
  changed.undo.placement({c.message.id, c.message.folderId, c.message.isSpam}, c.message.subject);
}

void move(const std::string& id, const std::string& folderName, ChangedMessages& changed) {
  auto c = context_for(id);
  const EmailFolder& destination = find_folder(c->folders, folderName, c->account);
  if (c->message.folderId == destination.id)
    throw Error(localized_format("cli.move.already_there", destination.name));
  move_to(*c, destination, MoveMark::none, changed);
  std::cout << localized_format("cli.move.done", terminal_safe(destination.name),
                                terminal_safe(c->message.subject))
            << "\n";
}

void spam(const std::string& id, ChangedMessages& changed) {
  auto c = context_for(id);
  const EmailFolder* folder = c->account.isLocalOnly()
                                  ? &local_folder_of_type(*c, store::EmailFolderType::spam, "Junk")
                                  : folder_of_type(c->folders, store::EmailFolderType::spam);
  if (!folder) throw Error(localized_format("cli.spam.no_folder", c->account.emailAddress));
  move_to(*c, *folder, MoveMark::spam, changed);
  std::cout << localized_format("cli.spam.done", terminal_safe(c->message.subject)) << "\n";
}

// Into the account's trash folder; for good (after confirmation) with `permanent`, or when
// the message is in the trash already.
void remove_message(const std::string& id, bool permanent, ChangedMessages& changed) {
  auto c = context_for(id);
  const bool local = c->account.isLocalOnly();
  const EmailFolder* trash = local && !permanent
                                 ? &local_folder_of_type(*c, store::EmailFolderType::trash, "Trash")
                                 : folder_of_type(c->folders, store::EmailFolderType::trash);
  if (!permanent) {
    if (!trash) throw Error(localized_format("cli.delete.no_trash", c->account.emailAddress));
    if (c->message.folderId != trash->id) {
      move_to(*c, *trash, MoveMark::none, changed);
      std::cout << localized_format("cli.delete.to_trash", terminal_safe(trash->name),
                                    terminal_safe(c->message.subject))
                << "\n";
      return;
    }
  }
  changed.undo.irreversible();
  c->book.store().database().write([&](store::Connection& db) {
    if (!local) return changed.add(c->account.id, delete_journalled(db, c->message.id));
    // Kestrova holds the only copy: nothing is left to keep.
    auto s = db.prepare("DELETE FROM email_messages WHERE id = ?");
    s.bind(1, c->message.id);
    s.run();
  });
  std::cout << localized_format("cli.delete.done", terminal_safe(c->message.subject)) << "\n";
}

// The servers follow the changes: the running service replays them; without one the
// command replays them itself before it ends. What the servers did not take stays in the
// journal (status 3, with the count), never lost.
void send_changes_to_servers(const ChangedMessages& changed) {
  if (changed.rows.empty() || read_service_status().pid) return;
  auto& database = store::EmailDatabase::shared();
  const auto outcome = replay_before_exit(database, mail::EmailService::shared(), changed.accounts,
                                          changed.rows, kReplayWait);
  if (outcome.pending.count == 0) return;
  std::cerr << localized_format("cli.changes.pending", outcome.pending.count,
                                outcome.pending.lastError.value_or("-"))
            << "\n";
  if (!outcome.finished) {
    // The replay still runs on its thread: end without tearing down what it uses.
    std::fflush(nullptr);
    std::_Exit(kExitPartial);
  }
  throw CommandFailure{kExitPartial};
}

// `kestrova undo`: the last command's changes taken back, newest first, through the journal
// like any other change; a message gone meanwhile is named and skipped.
void undo_last_change() {
  const auto record = UndoRecord::take();
  if (!record || (record->steps().empty() && !record->isIrreversible())) {
    std::cout << localized("cli.undo.nothing") << "\n";
    return;
  }
  if (record->isIrreversible()) throw Error(localized("cli.undo.irreversible"));
  ChangedMessages changed;
  auto& database = store::EmailDatabase::shared();
  const auto& steps = record->steps();
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    const auto account =
        database.write([&](store::Connection& db) { return UndoRecord::undo(db, *step); });
    if (!account) {
      std::cerr << localized_format("cli.undo.gone", terminal_safe(step->subject)) << "\n";
      continue;
    }
    changed.add(*account, {step->messageId});
    std::cout << localized_format("cli.undo.done", terminal_safe(step->subject)) << "\n";
  }
  send_changes_to_servers(changed);
}

constexpr const char* kIdsHelp =
    "Message ids (unique prefixes work), or - to read them from standard input";

// Runs `action` on each id (after "-" is expanded), going on past a failing one, then sends
// the changes to the servers: the status is 1 when all failed, 3 when only some did or when
// changes still wait for a server.
void for_each_message(const std::vector<std::string>& arguments,
                      const std::function<void(const std::string&, ChangedMessages&)>& action) {
  const auto ids = expand_id_arguments(arguments);
  size_t failures = 0;
  ChangedMessages changed;
  for (const auto& id : ids) {
    try {
      action(id, changed);
    } catch (const CommandFailure&) {
      throw;
    } catch (const std::exception& e) {
      ++failures;
      std::cerr << localized_format("cli.error.item", id, terminal_safe(e.what(), TextShape::block))
                << "\n";
    }
  }
  changed.undo.save();
  send_changes_to_servers(changed);
  if (failures) throw CommandFailure{failures == ids.size() ? kExitFailure : kExitPartial};
}

}  // namespace

void add_mail_commands(CLI::App& root) {
  {
    auto* command =
        root.add_subcommand("sync", "Fetch folders and the newest messages from the servers");
    auto o = std::make_shared<SyncOptions>();
    command->add_option("--account", o->account,
                        "Account id, address or name (default: every enabled account)");
    command->add_option("--folder", o->folder, "Only this folder (id, path or name)");
    command->add_option("--since", o->since,
                        "Only messages since this date (2024-10-01, or ISO-8601)");
    command
        ->add_option("--limit", o->limit,
                     "Newest messages per folder (default: all; the first 1000 at once, the rest "
                     "in the background)")
        ->check(CLI::Range(uint64_t{1}, uint64_t{1000000}));
    command->add_flag(
        "--bodies", o->bodies,
        "Also download the bodies of recent messages (emailBodyPrefetchDays), leaving them unread");
    command->callback([o] { sync(*o); });
  }
  {
    auto* command = root.add_subcommand("folders", "List an account's folders");
    auto account = std::make_shared<std::string>();
    auto refresh = std::make_shared<bool>(false);
    auto json = std::make_shared<bool>(false);
    command->add_option("--account", *account,
                        "Account id, address or name (default: the default account)");
    command->add_flag("--refresh", *refresh, "Fetch the folder list from the server first");
    command->add_flag(
        "--json", *json,
        "Print [{\"id\", \"name\", \"type\", \"path\", \"unreadCount\", \"totalCount\"}, ...]");
    command->callback([=] { list_folders(*account, *refresh, *json); });
  }
  {
    auto* command =
        root.add_subcommand("list", "List the stored messages of a folder, newest first");
    auto o = std::make_shared<ListOptions>();
    command->add_option("--account", o->account,
                        "Account id, address or name (default: the default account)");
    command->add_option("--folder", o->folder, "Folder id, path or name (default: the inbox)");
    command->add_option("--limit", o->limit, "Most messages to list (default 50)")
        ->check(CLI::Range(1, 1000000));
    auto* offset = command->add_option("--offset", o->offset, "Skip this many messages first")
                       ->check(CLI::Range(int64_t{0}, int64_t{1} << 30));
    command->add_option("--page", o->page, "Show page N (of --limit messages each; 1 is the first)")
        ->check(CLI::Range(int64_t{1}, int64_t{1} << 24))
        ->excludes(offset);
    command->add_flag("--unread", o->unread, "Only unread messages");
    command->add_flag("--json", o->json, "Print the messages as JSON (see below)");
    command->footer(std::string(kListLegend));
    command->callback([o] { list_messages(*o); });
  }
  {
    auto* command =
        root.add_subcommand("read", "Show a message (its body is downloaded when not stored)");
    auto id = std::make_shared<std::string>();
    auto html = std::make_shared<bool>(false);
    auto json = std::make_shared<bool>(false);
    auto noMark = std::make_shared<bool>(false);
    command->add_option("ID", *id, "Message id (or a unique prefix)")->required();
    command->add_flag("--html", *html, "Print the raw HTML body");
    command->add_flag("--json", *json,
                      "Print the message as the tool server's get_message does: the summary "
                      "fields plus \"cc\", \"bcc\", \"textBody\" and \"htmlBody\", and "
                      "\"tags\", \"aiSummary\", \"aiPriority\" and \"aiActionItems\"");
    command->add_flag("--no-mark", *noMark, "Leave the message unread");
    command->footer(
        "An HTML-only message is shown as text, its links numbered as footnotes. Tags, the AI "
        "summary, priority and action items follow the headers.\n"
        "On a terminal the message opens in $PAGER (default less -FRX) and is marked read once "
        "it has been shown for emailMarkAsReadDelaySeconds (default 3; the command waits for "
        "the rest when the pager returns sooner). Output to a pipe never marks it.");
    command->callback([=] { read_message(*id, *html, *json, *noMark); });
  }
  {
    auto* command =
        root.add_subcommand("search", "Search messages (stored ones, or on the server)");
    auto o = std::make_shared<SearchOptions>();
    command->add_option("QUERY", o->query, "What to look for (see below)")->required();
    command->add_flag("--server", o->server, "Search the server's folder (IMAP TEXT search)");
    command->add_option("--account", o->account, "Account id, address or name");
    command->add_option("--folder", o->folder, "Folder for --server (default: the inbox)");
    command->add_option("--limit", o->limit, "Most results (default 50)")
        ->check(CLI::Range(1, 1000000));
    command->add_flag("--json", o->json, "Print the results as `kestrova list --json` does");
    command->add_flag("--ids", o->ids,
                      "Print only the full ids, one a line (for `kestrova mark read -`)");
    command->footer(
        "Query terms (all must match): from: to: cc: subject: body: has:attachment\n"
        "is:unread|read|starred folder:NAME account:ADDRESS tag:NAME before:/after:/since: DATE "
        "or 7d/2w/3m/1y;\n"
        "deleted mail is found too (in folder:trash).\n"
        "\"quoted phrases\"; -term negates; other words match subject, sender and body.\n"
        "Example: kestrova search 'from:becker is:unread -subject:newsletter since:7d' --json");
    command->callback([o] { search(*o); });
  }
  {
    auto* command = root.add_subcommand("mark", "Mark messages read, unread, starred or unstarred");
    auto what = std::make_shared<std::string>();
    auto ids = std::make_shared<std::vector<std::string>>();
    command->add_option("STATE", *what, "read, unread, star or unstar")
        ->required()
        ->check(CLI::IsMember({"read", "unread", "star", "unstar"}));
    command->add_option("IDS", *ids, kIdsHelp)->required();
    command->callback([what, ids] {
      for_each_message(
          *ids, [&](const std::string& id, ChangedMessages& changed) { mark(*what, id, changed); });
    });
  }
  {
    auto* command = root.add_subcommand("move", "Move messages to another folder on the server");
    // One list, its last word the destination: a list positional would take them all.
    auto words = std::make_shared<std::vector<std::string>>();
    command
        ->add_option("IDS FOLDER", *words, std::string(kIdsHelp) + "; then the destination folder")
        ->required()
        ->expected(2, -1);
    command->callback([words] {
      const std::string folder = words->back();
      words->pop_back();
      for_each_message(*words, [&](const std::string& id, ChangedMessages& changed) {
        move(id, folder, changed);
      });
    });
  }
  {
    auto* command =
        root.add_subcommand("delete", "Move messages to the trash (--permanent: delete for good)");
    auto ids = std::make_shared<std::vector<std::string>>();
    auto permanent = std::make_shared<bool>(false);
    auto yes = std::make_shared<bool>(false);
    command->add_option("IDS", *ids, kIdsHelp)->required();
    command->add_flag("--permanent", *permanent, "Delete on the server for good (asks first)");
    command->add_flag("-y,--yes", *yes, "Do not ask (needed when not on a terminal)");
    command->callback([=] {
      const auto all = expand_id_arguments(*ids);
      if (*permanent) confirm_or_stop(localized_format("cli.delete.confirm", all.size()), *yes);
      for_each_message(all, [&](const std::string& id, ChangedMessages& changed) {
        remove_message(id, *permanent, changed);
      });
    });
  }
  {
    auto* command = root.add_subcommand(
        "undo", "Take back the last mark, move, delete or spam (the servers follow)");
    command->callback([] { undo_last_change(); });
  }
  {
    auto* command = root.add_subcommand("spam", "Move messages to the account's spam folder");
    auto ids = std::make_shared<std::vector<std::string>>();
    command->add_option("IDS", *ids, kIdsHelp)->required();
    command->callback([ids] { for_each_message(*ids, spam); });
  }
  {
    auto* attachment = root.add_subcommand("attachment", "Attachments of a message");
    attachment->require_subcommand(1);
    auto* save = attachment->add_subcommand("save", "Save an attachment to a file");
    auto id = std::make_shared<std::string>();
    auto name = std::make_shared<std::string>();
    auto output = std::make_shared<std::string>();
    auto force = std::make_shared<bool>(false);
    save->add_option("ID", *id, "Message id")->required();
    save->add_option("NAME", *name, "The attachment's file name")->required();
    save->add_option("-o,--output", *output, "File to write (or an existing directory)")
        ->required();
    save->add_flag("--force", *force, "Replace an existing file");
    save->callback([=] { save_attachment_file(*id, *name, *output, *force); });
    auto* list =
        attachment->add_subcommand("list", "List a message's attachments with their sizes");
    auto listed = std::make_shared<std::string>();
    list->add_option("ID", *listed, "Message id")->required();
    list->callback([listed] { list_attachments(*listed); });
  }
  {
    auto* command = root.add_subcommand(
        "raw", "Print a message's raw source (kept here, else from the server)");
    auto id = std::make_shared<std::string>();
    command->add_option("ID", *id, "Message id")->required();
    command->callback([id] { print_raw(*id); });
  }
}

}  // namespace kestrova::app
