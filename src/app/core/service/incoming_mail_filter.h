#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "rules/email_rule_service.h"
#include "safety/email_junk_filter_service.h"
#include "safety/sender_category_service.h"
#include "store/email_account.h"
#include "store/email_message.h"

namespace kestrova::store {
class EmailStore;
}

namespace kestrova::mail {
class EmailSyncFlow;
}

namespace kestrova::app {

class UserPreferences;

// The junk-filter settings as the user chose them (with the application's defaults).
safety::JunkFilterSettings junk_filter_settings(const UserPreferences& preferences);

// What happens to newly fetched mail on its way into the store: the account's enabled
// rules, then the junk decision (blocked senders and the junk score), in place on the
// batch; the store's background save then applies the trained sender categories. A message
// whose folder changed on the way (a rule's target folder, the spam folder) is moved on the
// server once the batch is stored, by one move from the folder the server has it in to the
// folder it ended in. Batches may arrive on the background loader's thread.
class IncomingMailFilter {
 public:
  // Borrows the store and the preferences; installs the trained-category step on the
  // store's background save for the filter's lifetime.
  IncomingMailFilter(store::EmailStore& store, const UserPreferences& preferences);
  ~IncomingMailFilter();
  IncomingMailFilter(const IncomingMailFilter&) = delete;
  IncomingMailFilter& operator=(const IncomingMailFilter&) = delete;

  // Installs process() as an incoming-mail hook of `flow` (which must not outlive the filter).
  void attachTo(mail::EmailSyncFlow& flow);
  // The incoming-mail hook of the synchronisation.
  void process(const store::EmailAccount& account, std::vector<store::EmailMessage>& batch);
  // Starts the server moves collected since the last call (each on its own thread inside
  // the process-wide work group).
  void startServerMoves();

 private:
  void journalReadMarks(const store::EmailAccount& account,
                        const std::vector<store::EmailMessage>& fetched,
                        const std::vector<store::EmailMessage>& batch);
  store::EmailStore& store_;
  const UserPreferences& preferences_;
  rules::EmailRuleService rules_;
  safety::EmailJunkFilterService junk_;
  safety::SenderCategoryService categories_;
  std::mutex lock_;  // guards pending_ and fresh_
  std::vector<rules::PendingRuleServerMove> pending_;
  // Messages seen here and not stored yet: the only ones the trained categories act on (a
  // batch also carries stored copies refreshed from the server, which keep what the user
  // did to them).
  std::set<std::string> fresh_;
};

}  // namespace kestrova::app
