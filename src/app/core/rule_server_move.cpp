#include "app/core/rule_server_move.h"

#include <memory>
#include <thread>

#include "mail/email_service.h"
#include "store/email_account.h"
#include "store/email_folder.h"
#include "util/log.h"
#include "util/work_group.h"

namespace kestrova::app {

namespace {

constexpr std::string_view kComponent = "EmailRuleService";

void run_move(store::EmailDatabase& database, const rules::PendingRuleServerMove& move) {
  std::optional<store::EmailAccount> account;
  std::vector<store::EmailFolder> folders;
  database.read([&](store::Connection& c) {
    auto a = c.prepare("SELECT * FROM email_accounts WHERE id = ?");
    a.bind(1, move.accountId);
    if (a.step()) account = store::EmailAccount::from_row(a);
    auto f = c.prepare("SELECT * FROM email_folders WHERE account_id = ?");
    f.bind(1, move.accountId);
    while (f.step())
      if (auto folder = store::EmailFolder::from_row(f)) folders.push_back(std::move(*folder));
  });
  if (!account) throw Error("账户不存在: " + move.accountId);
  const store::EmailFolder* target = nullptr;
  for (const auto& folder : folders)
    if (folder.id == move.targetFolderId) target = &folder;
  if (!target) throw Error("目标文件夹不存在: " + move.targetFolderId);

  auto& service = mail::EmailService::shared();
  const auto password = service.storedPassword(*account);
  size_t moved = 0;
  for (const auto& message : move.messages) {
    try {
      service.moveMessage(*account, password, message, *target, folders);
      ++moved;
    } catch (const std::exception& e) {
      log_line(log_kind::kFailure, kComponent,
               "服务器移动失败 (" + message.id + " → " + target->path + "): " + e.what());
    }
  }
  log_line(moved == move.messages.size() ? log_kind::kSuccess : log_kind::kWarning, kComponent,
           "已在服务器上移动 " + std::to_string(moved) + "/" + std::to_string(move.messages.size()) +
               " 封邮件到 " + target->path);
}

}  // namespace

void start_rule_server_move(store::EmailDatabase& database, rules::PendingRuleServerMove move) {
  if (move.messages.empty()) return;
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
