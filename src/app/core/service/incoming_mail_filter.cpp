#include "app/core/service/incoming_mail_filter.h"

#include <map>

#include "app/core/service/rule_server_move.h"
#include "app/core/user_preferences.h"
#include "mail/email_sync_flow.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/server_change_journal.h"
#include "util/log.h"

namespace kestrova::app {

safety::JunkFilterSettings junk_filter_settings(const UserPreferences& preferences) {
  namespace s = settings;
  return {preferences.get(s::emailJunkFilterEnabled), preferences.get(s::emailJunkFilterAction),
          preferences.get(s::emailBlockedSenderFilterEnabled), preferences.get(s::emailBlockedSenderAction)};
}

IncomingMailFilter::IncomingMailFilter(store::EmailStore& store, const UserPreferences& preferences)
    : store_(store),
      preferences_(preferences),
      rules_(store.database()),
      junk_(store.database()),
      categories_(store.database(), preferences.defaults()) {
  store_.applyTrainedSenderCategories = [this](std::vector<store::EmailMessage>& batch) {
    std::vector<store::EmailMessage*> fresh;
    {
      std::lock_guard lock(lock_);
      for (auto& message : batch)
        if (fresh_.erase(message.id)) fresh.push_back(&message);
    }
    for (auto* message : fresh) categories_.apply(*message);
  };
}

IncomingMailFilter::~IncomingMailFilter() { store_.applyTrainedSenderCategories = nullptr; }

void IncomingMailFilter::attachTo(mail::EmailSyncFlow& flow) {
  flow.incomingHooks.push_back(
      [this](const store::EmailAccount& account, std::vector<store::EmailMessage>& batch) {
        process(account, batch);
      });
}

void IncomingMailFilter::process(const store::EmailAccount& account,
                                 std::vector<store::EmailMessage>& batch) {
  if (batch.empty()) return;
  const std::vector<store::EmailMessage> fetched = batch;
  // The rules' own move list is not used: a message a rule moved may still go to the spam
  // folder below, and the server needs only the one move to where it ended.
  rules_.applyToIncoming(account, batch);

  const auto settings = junk_filter_settings(preferences_);
  const std::vector<store::EmailFolder> folders = store_.foldersOf(account.id);
  for (auto& message : batch) {
    const auto decision = junk_.evaluate(message, folders, settings);
    if (!decision.action) continue;
    std::string reasons;
    for (const auto& reason : decision.score.reasons) reasons += (reasons.empty() ? "" : ",") + reason;
    log_line(log_kind::kWarning, "IncomingMail",
             "垃圾邮件判定 (" + std::string(safety::raw_value(*decision.action)) + ", " + reasons +
                 "): " + message.subject);
  }

  journalReadMarks(account, fetched, batch);
  std::map<std::string, rules::PendingRuleServerMove> moves;  // by target folder
  for (size_t i = 0; i < batch.size(); ++i) {
    if (!batch[i].folderId || batch[i].folderId == fetched[i].folderId || !fetched[i].uid) continue;
    auto& move = moves[*batch[i].folderId];
    move.accountId = account.id;
    move.targetFolderId = *batch[i].folderId;
    move.messages.push_back(fetched[i]);
  }
  std::lock_guard lock(lock_);
  for (auto& [folder, move] : moves) pending_.push_back(std::move(move));
  for (const auto& message : batch) fresh_.insert(message.id);
}

// A rule that marks new mail read changes only the row it is about to store; the journal
// takes the mark to the server, and until then the next sync leaves the row read.
void IncomingMailFilter::journalReadMarks(const store::EmailAccount& account,
                                          const std::vector<store::EmailMessage>& fetched,
                                          const std::vector<store::EmailMessage>& batch) {
  std::map<std::string, std::string> paths;  // folder id -> path
  for (const auto& folder : store_.foldersOf(account.id)) paths.emplace(folder.id, folder.path);
  try {
    store_.database().write([&](store::Connection& c) {
      for (size_t i = 0; i < batch.size(); ++i) {
        if (!batch[i].isRead || fetched[i].isRead || !fetched[i].folderId) continue;
        const auto path = paths.find(*fetched[i].folderId);
        if (path == paths.end()) continue;
        store::record_server_change_at(c, account.id, batch[i].id,
                                       {path->second, fetched[i].uid, fetched[i].messageId},
                                       store::ServerChangeKind::read, true, {});
      }
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, "IncomingMail", std::string("记录已读标记失败: ") + e.what());
  }
}

void IncomingMailFilter::startServerMoves() {
  std::lock_guard lock(lock_);
  for (auto& move : pending_) start_rule_server_move(store_.database(), std::move(move));
  pending_.clear();
}

}  // namespace kestrova::app
