#include "mail/server_change_replay.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "mail/email_message_conversion.h"
#include "mail/folder_reconciler.h"
#include "mail/libetpan_imap_session.h"
#include "store/email_folder.h"
#include "store/server_change_journal.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/time.h"

namespace kestrova::mail {

namespace {

using store::Connection;
using store::ServerChange;
using store::ServerChangeKind;

constexpr std::string_view kComponent = "ServerChangeReplay";

std::mutex& replayLock() {
  static std::mutex lock;
  return lock;
}

bool hasMessageId(const ServerChange& change) {
  return change.source.messageId && !comparableMessageId(*change.source.messageId).empty();
}

// A change and the UID the selected folder holds its message under.
struct Located {
  ServerChange change;
  uint32_t uid = 0;
};

// One account's round: one session, the entries' folders one after another.
class AccountReplay {
 public:
  AccountReplay(store::EmailDatabase& database, LibEtPanIMAPSession& session,
                const store::EmailAccount& account, ServerChangeReplayReport& report)
      : database_(database), session_(session), account_(account), report_(report) {}

  void run(const std::vector<ServerChange>& entries) {
    // Folders in the order their first entry was made.
    std::vector<std::string> order;
    std::map<std::string, std::vector<ServerChange>> byFolder;
    for (const auto& entry : entries) {
      auto& list = byFolder[entry.source.folderPath];
      if (list.empty()) order.push_back(entry.source.folderPath);
      list.push_back(entry);
    }
    std::vector<ServerChange> missing;
    for (const auto& path : order) replayFolder(path, byFolder[path], missing);
    for (const auto& change : missing) replayElsewhere(change);
  }

 private:
  void fail(const std::vector<ServerChange>& entries, const std::string& error) {
    if (entries.empty()) return;
    const double now = now_seconds();
    database_.write([&](Connection& c) {
      for (const auto& entry : entries)
        store::record_server_change_failure(c, entry.seq, error, now);
    });
    report_.failed += entries.size();
    log_line(log_kind::kFailure, kComponent,
             "回放失败 " + std::to_string(entries.size()) + " 项: " + error);
  }

  void fail(const std::vector<Located>& located, const std::string& error) {
    std::vector<ServerChange> entries;
    for (const auto& l : located) entries.push_back(l.change);
    fail(entries, error);
  }

  // The server confirmed: the entries go; a moved row forgets its old folder's UID (the
  // next sync of the target folder reads the new one).
  void complete(const std::vector<Located>& located) {
    if (located.empty()) return;
    database_.write([&](Connection& c) {
      for (const auto& l : located) {
        store::complete_server_change(c, l.change);
        if (l.change.kind != ServerChangeKind::move) continue;
        auto s = c.prepare("UPDATE email_messages SET uid = NULL WHERE id = ?");
        s.bind(1, l.change.messageRowId);
        s.run();
      }
    });
    report_.applied += located.size();
  }

  void started(const std::vector<Located>& located) {
    std::vector<int64_t> seqs;
    for (const auto& l : located) seqs.push_back(l.change.seq);
    database_.write(
        [&](Connection& c) { store::mark_server_changes_started(c, seqs, now_seconds()); });
  }

  bool select(const std::string& path, LibEtPanError& error) {
    ++report_.commands;
    return session_.selectFolder(path, &error);
  }

  std::optional<uint32_t> searchByMessageId(const ServerChange& change) {
    if (!hasMessageId(change)) return std::nullopt;
    ++report_.commands;
    const auto found =
        session_.searchUIDsWithMessageId(comparableMessageId(*change.source.messageId));
    if (!found || found->empty()) return std::nullopt;
    return found->front();
  }

  // Which entries the selected folder still holds under their UID (the Message-ID agreeing
  // when one was recorded), else under another UID found by Message-ID.
  std::vector<Located> locate(const std::vector<ServerChange>& entries,
                              std::vector<ServerChange>& missing, LibEtPanError& error, bool& ok) {
    std::vector<uint32_t> uids;
    for (const auto& entry : entries)
      if (entry.source.uid) uids.push_back(*entry.source.uid);
    // uid -> comparable Message-ID and content of the message the folder holds there
    std::unordered_map<uint32_t, std::pair<std::string, MessageContent>> held;
    ok = true;
    if (!uids.empty()) {
      ++report_.commands;
      const auto records = session_.fetchBatchMessageHeadersWithUIDs(uids, &error);
      if (!records) {
        ok = false;
        return {};
      }
      for (const auto& record : *records)
        held.emplace(record.uid,
                     std::pair{comparableMessageId(record.messageId.value_or("")),
                               messageContent(message_from_header_record(record, "", ""))});
    }
    std::vector<Located> located;
    for (const auto& entry : entries) {
      if (entry.source.uid) {
        auto it = held.find(*entry.source.uid);
        if (it != held.end() && hasMessageId(entry) &&
            it->second.first == comparableMessageId(*entry.source.messageId)) {
          located.push_back({entry, *entry.source.uid});
          continue;
        }
        if (it != held.end() && !hasMessageId(entry)) {
          // Nothing but the envelope tells this message apart: the UID is used only when the
          // message under it is the one the row describes.
          if (it->second.first.empty() &&
              contentOfRow(entry.messageRowId).matches(it->second.second))
            located.push_back({entry, *entry.source.uid});
          else
            refuse(entry);
          continue;
        }
      }
      if (auto uid = searchByMessageId(entry)) {
        located.push_back({entry, *uid});
        continue;
      }
      missing.push_back(entry);
    }
    return located;
  }

  void replayFolder(const std::string& path, std::vector<ServerChange> entries,
                    std::vector<ServerChange>& missing) {
    LibEtPanError error;
    FolderReconciler reconciler(database_, account_, folderAt(path));
    ++report_.commands;
    if (!reconciler.select(session_, &error)) return fail(entries, error.localizedDescription);
    report_.renumbered = report_.renumbered || reconciler.report().renumbered;
    report_.gone += reconciler.report().droppedChanges;
    // Read again whatever happened: another session (a body download, the prefetch) may
    // have renumbered the folder since the entries were read, giving them new UIDs.
    entries = stillWaiting(entries);
    bool ok = true;
    const auto located = locate(entries, missing, error, ok);
    if (!ok) return fail(entries, error.localizedDescription);

    // Flags first: a move carries the flags along, a flag after the move would miss.
    std::map<std::tuple<ServerChangeKind, bool>, std::vector<Located>> flags;
    std::map<std::string, std::vector<Located>> moves;  // by target
    std::vector<Located> removals;
    for (const auto& l : located) {
      switch (l.change.kind) {
        case ServerChangeKind::read:
        case ServerChangeKind::starred:
          flags[{l.change.kind, l.change.value}].push_back(l);
          break;
        case ServerChangeKind::move:
          moves[l.change.targetPath].push_back(l);
          break;
        case ServerChangeKind::remove:
          removals.push_back(l);
          break;
      }
    }
    for (const auto& [key, group] : flags) storeFlags(std::get<0>(key), std::get<1>(key), group);
    for (const auto& [target, group] : moves) move(path, target, group);
    if (!removals.empty()) {
      started(removals);
      LibEtPanError failure;
      report_.commands += 2;
      if (session_.deleteAndExpungeWithUIDs(uids_of(removals), &failure))
        complete(removals);
      else
        fail(removals, failure.localizedDescription);
    }
  }

  static std::vector<uint32_t> uids_of(const std::vector<Located>& located) {
    std::vector<uint32_t> uids;
    for (const auto& l : located) uids.push_back(l.uid);
    return uids;
  }

  void storeFlags(ServerChangeKind kind, bool value, const std::vector<Located>& group) {
    const char* flag = kind == ServerChangeKind::read ? "\\Seen" : "\\Flagged";
    LibEtPanError error;
    ++report_.commands;
    if (session_.storeFlagWithUIDs(uids_of(group), flag, value ? +1 : -1, &error))
      complete(group);
    else
      fail(group, error.localizedDescription);
  }

  void move(const std::string& source, const std::string& target, std::vector<Located> group) {
    if (!session_.hasCapability("MOVE")) group = settleInterruptedCopies(source, target, group);
    if (group.empty()) return;
    started(group);
    LibEtPanError error;
    ++report_.commands;
    bool moved = session_.moveMessagesWithUIDs(uids_of(group), target, &error);
    if (!moved) {
      // The target may not exist on the server yet (made locally, or deleted elsewhere).
      report_.commands += 2;
      session_.createFolder(target);
      moved = session_.moveMessagesWithUIDs(uids_of(group), target, &error);
    }
    if (moved)
      complete(group);
    else
      fail(group, error.localizedDescription);
  }

  // Without MOVE a move is COPY, then the source's removal: a replay stopped between the two
  // left the message in both folders. For entries a replay had started on, a copy already
  // in the target means only the source copy has to go; the rest are returned to be moved.
  std::vector<Located> settleInterruptedCopies(const std::string& source, const std::string& target,
                                               const std::vector<Located>& group) {
    std::vector<Located> interrupted, rest;
    for (const auto& l : group)
      (l.change.startedAt && hasMessageId(l.change) ? interrupted : rest).push_back(l);
    if (interrupted.empty()) return rest;
    LibEtPanError error;
    if (!select(target, error)) return group;  // the move itself will say what is wrong
    std::vector<Located> copied;
    for (const auto& l : interrupted) (searchByMessageId(l.change) ? copied : rest).push_back(l);
    // The group's UIDs hold only while the source keeps its numbering: selected again, it
    // is checked as any folder whose stored UIDs are used.
    ++report_.commands;
    FolderReconciler reconciler(database_, account_, folderAt(source));
    if (!reconciler.selectForUids(session_, &error)) {
      fail(group, error.localizedDescription);
      return {};
    }
    if (reconciler.report().renumbered) {
      report_.renumbered = true;
      fail(group, localized("mail.renumbered.retry"));
      return {};
    }
    if (copied.empty()) return rest;
    report_.commands += 2;
    if (session_.deleteAndExpungeWithUIDs(uids_of(copied), &error))
      complete(copied);
    else
      fail(copied, error.localizedDescription);
    return rest;
  }

  // The path of the folder the row is in now (where a flag may still find its message).
  std::optional<std::string> localFolderPath(const std::string& rowId) {
    return database_.read([&](Connection& c) -> std::optional<std::string> {
      auto s = c.prepare(
          "SELECT f.path FROM email_messages m JOIN email_folders f ON f.id = m.folder_id "
          "WHERE m.id = ?");
      s.bind(1, rowId);
      if (!s.step()) return std::nullopt;
      return s.text(0);
    });
  }

  // A message its folder no longer holds. A move or delete without a Message-ID is done
  // (UIDs are never given again within a folder, RFC 3501 §2.3.1.1); a move is done when the
  // target holds the message; a flag follows the message to where the row is now. A message
  // found nowhere was deleted on the server: there is nothing left to change, and keeping
  // the entry would keep the next syncs away from the row for good.
  void replayElsewhere(const ServerChange& change) {
    const bool flag =
        change.kind == ServerChangeKind::read || change.kind == ServerChangeKind::starred;
    if (change.kind == ServerChangeKind::remove || (!flag && !hasMessageId(change)))
      return complete({Located{change, 0}});
    std::optional<std::string> where =
        flag ? localFolderPath(change.messageRowId) : std::optional<std::string>(change.targetPath);
    if (!where || *where == change.source.folderPath || !hasMessageId(change)) return drop(change);
    LibEtPanError error;
    if (!select(*where, error))
      return fail(std::vector<ServerChange>{change}, error.localizedDescription);
    const auto uid = searchByMessageId(change);
    if (!uid) return drop(change);
    if (flag) return storeFlags(change.kind, change.value, {Located{change, *uid}});
    complete({Located{change, 0}});
  }

  // The stored folder with this server path (a folder unknown locally has no rows of its
  // own: only the journal's entries name messages in it).
  store::EmailFolder folderAt(const std::string& path) {
    auto folder = database_.read([&](Connection& c) -> std::optional<store::EmailFolder> {
      auto s = c.prepare("SELECT * FROM email_folders WHERE account_id = ? AND path = ?");
      s.bind_all(account_.id, path);
      if (!s.step()) return std::nullopt;
      return store::EmailFolder::from_row(s);
    });
    if (folder) return *folder;
    store::EmailFolder unknown;
    unknown.accountId = account_.id;
    unknown.path = path;
    unknown.name = path;
    return unknown;
  }

  // The entries as the journal holds them now (UIDs found again, some dropped).
  std::vector<ServerChange> stillWaiting(const std::vector<ServerChange>& entries) {
    std::set<int64_t> seqs;
    for (const auto& entry : entries) seqs.insert(entry.seq);
    std::vector<ServerChange> waiting;
    for (auto& change : database_.read([&](Connection& c) {
           return store::due_server_changes(c, account_.id, now_seconds());
         }))
      if (seqs.contains(change.seq)) waiting.push_back(std::move(change));
    return waiting;
  }

  MessageContent contentOfRow(const std::string& rowId) {
    return database_.read([&](Connection& c) -> MessageContent {
      auto s = c.prepare(
          "SELECT subject, from_email, date, rfc822_size FROM email_messages WHERE id = ?");
      s.bind(1, rowId);
      if (!s.step()) return {};
      MessageContent content{
          messageContentKey(s.text(0).value_or(""), s.text(1).value_or(""), s.real(2).value_or(0)),
          std::nullopt};
      if (auto size = s.integer(3); size && *size >= 0) content.size = static_cast<uint64_t>(*size);
      return content;
    });
  }

  // The UID names another message than the row describes: nothing is done to it, and the
  // entry goes (the next sync shows the message as the server has it).
  void refuse(const ServerChange& change) {
    database_.write([&](Connection& c) { store::remove_server_change(c, change.seq); });
    ++report_.refused;
    log_line(
        log_kind::kWarning, kComponent,
        "无法确认 UID 对应的邮件（没有 Message-ID，日期、发件人或主题不符），拒绝执行该更改 (" +
            std::string(store::server_change_kind_name(change.kind)) + ", " +
            change.source.folderPath + ", UID " +
            (change.source.uid ? std::to_string(*change.source.uid) : std::string("无")) + ")");
  }

  void drop(const ServerChange& change) {
    database_.write([&](Connection& c) { store::remove_server_change(c, change.seq); });
    ++report_.gone;
    log_line(log_kind::kWarning, kComponent,
             "服务器上已找不到这封邮件，放弃该更改 (" +
                 std::string(store::server_change_kind_name(change.kind)) + ", " +
                 change.source.folderPath + ", Message-ID " +
                 change.source.messageId.value_or("无") + ")");
  }

  store::EmailDatabase& database_;
  LibEtPanIMAPSession& session_;
  const store::EmailAccount& account_;
  ServerChangeReplayReport& report_;
};

}  // namespace

ServerChangeReplayReport replayServerChanges(store::EmailDatabase& database,
                                             const EmailService& service,
                                             const store::EmailAccount& account) {
  if (account.imapHost.empty()) return {};
  const bool due = database.read([&](Connection& c) {
    return !store::due_server_changes(c, account.id, now_seconds(), 1).empty();
  });
  if (!due) return {};
  std::optional<std::string> password;
  try {
    password = service.storedPassword(account);
  } catch (const std::exception& e) {
    // Without the credential the session fails below and records why.
    log_line(log_kind::kFailure, kComponent, account.emailAddress + ": " + e.what());
  }
  return replayServerChanges(database, service, account, password);
}

ServerChangeReplayReport replayServerChanges(store::EmailDatabase& database,
                                             const EmailService& service,
                                             const store::EmailAccount& account,
                                             const std::optional<std::string>& password) {
  ServerChangeReplayReport report;
  if (account.imapHost.empty()) return report;
  std::lock_guard lock(replayLock());
  const auto entries = database.read(
      [&](Connection& c) { return store::due_server_changes(c, account.id, now_seconds()); });
  if (entries.empty()) return report;
  std::unique_ptr<LibEtPanIMAPSession> session;
  try {
    report.commands += 2;
    session = service.openIMAPSession(account, password);
  } catch (const std::exception& e) {
    const double now = now_seconds();
    database.write([&](Connection& c) {
      for (const auto& entry : entries)
        store::record_server_change_failure(c, entry.seq, e.what(), now);
    });
    report.failed += entries.size();
    log_line(log_kind::kFailure, kComponent, account.emailAddress + ": " + e.what());
    return report;
  }
  // The replay needs each folder's UIDVALIDITY, not its expunges: without QRESYNC the
  // server keeps answering expunges with EXPUNGE, as the commands below expect.
  session->setResyncExtensionsDisabled(true);
  AccountReplay(database, *session, account, report).run(entries);
  ++report.commands;  // LOGOUT
  session->disconnect();
  log_line(report.failed == 0 ? log_kind::kSuccess : log_kind::kWarning, kComponent,
           account.emailAddress + ": 已同步到服务器 " + std::to_string(report.applied) +
               " 项, 失败 " + std::to_string(report.failed) + " 项, IMAP 命令 " +
               std::to_string(report.commands));
  return report;
}

ServerChangeReplayReport replayAllServerChanges(store::EmailDatabase& database,
                                                const EmailService& service) {
  ServerChangeReplayReport total;
  std::vector<store::EmailAccount> accounts;
  database.read([&](Connection& c) {
    for (const auto& id : store::accounts_with_due_server_changes(c, now_seconds())) {
      auto s = c.prepare("SELECT * FROM email_accounts WHERE id = ?");
      s.bind(1, id);
      if (s.step())
        if (auto account = store::EmailAccount::from_row(s))
          accounts.push_back(std::move(*account));
    }
  });
  for (const auto& account : accounts) {
    const auto report = replayServerChanges(database, service, account);
    total.applied += report.applied;
    total.failed += report.failed;
    total.gone += report.gone;
    total.refused += report.refused;
    total.renumbered = total.renumbered || report.renumbered;
    total.commands += report.commands;
  }
  return total;
}

}  // namespace kestrova::mail
