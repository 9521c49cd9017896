#include "app/core/service/rule_server_move.h"

#include <memory>
#include <thread>

#include "mail/email_service.h"
#include "mail/server_change_replay.h"
#include "store/email_account.h"
#include "store/email_folder.h"
#include "store/server_change_journal.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/work_group.h"

namespace kestrova::app {

namespace {

constexpr std::string_view kComponent = "EmailRuleService";

// Journals the moves in one transaction before anything is sent: a process stopped
// half-way (an MCP host ends the tool server about two seconds after closing its input)
// leaves entries that the service completes, and the next sync leaves these messages where
// the rule put them.
size_t journal_move(store::EmailDatabase& database, const rules::PendingRuleServerMove& move) {
  return database.write([&](store::Connection& c) {
    auto s = c.prepare("SELECT path FROM email_folders WHERE id = ? AND account_id = ?");
    s.bind_all(move.targetFolderId, move.accountId);
    if (!s.step()) throw Error(localized_format("rules.error.no_target", move.targetFolderId));
    const std::string target = s.text(0).value_or("");
    size_t journalled = 0;
    for (const auto& message : move.messages) {
      auto f = c.prepare("SELECT path FROM email_folders WHERE id = ?");
      f.bind(1, message.folderId.value_or(""));
      if (!f.step()) continue;
      const store::ServerLocation from{f.text(0).value_or(""), message.uid, message.messageId};
      if (store::record_server_change_at(c, move.accountId, message.id, from,
                                         store::ServerChangeKind::move, false, target))
        ++journalled;
    }
    return journalled;
  });
}

void run_move(store::EmailDatabase& database, const rules::PendingRuleServerMove& move) {
  std::optional<store::EmailAccount> account;
  database.read([&](store::Connection& c) {
    auto a = c.prepare("SELECT * FROM email_accounts WHERE id = ?");
    a.bind(1, move.accountId);
    if (a.step()) account = store::EmailAccount::from_row(a);
  });
  if (!account) throw Error(localized_format("rules.error.no_account", move.accountId));
  const auto report = mail::replayServerChanges(database, mail::EmailService::shared(), *account);
  log_line(report.failed == 0 ? log_kind::kSuccess : log_kind::kWarning, kComponent,
           "已在服务器上移动 " + std::to_string(report.applied) + "/" +
               std::to_string(report.applied + report.failed) + " 项");
}

}  // namespace

void start_rule_server_move(store::EmailDatabase& database, rules::PendingRuleServerMove move) {
  if (move.messages.empty()) return;
  try {
    if (journal_move(database, move) == 0) return;
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kComponent, std::string("服务器移动失败: ") + e.what());
    return;
  }
  auto guard = std::make_shared<WorkGroupGuard>(WorkGroup::shared());
  std::thread([&database, move = std::move(move), guard]() {
    try {
      run_move(database, move);
    } catch (const std::exception& e) {
      log_line(log_kind::kFailure, kComponent, std::string("服务器移动失败: ") + e.what());
    }
  }).detach();
}

}  // namespace kestrova::app
