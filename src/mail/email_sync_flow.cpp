#include "mail/email_sync_flow.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <unordered_map>

#include "mail/email_deduplication_service.h"
#include "mail/email_service.h"
#include "mail/folder_reconciler.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/email_thread_service.h"
#include "store/folder_sync_state.h"
#include "store/folder_views.h"
#include "util/log.h"
#include "util/time.h"

namespace kestrova::mail {

namespace {

using store::EmailAccount;
using store::EmailFolder;
using store::EmailMessage;

constexpr std::string_view kComponent = "EmailSyncFlow";

}  // namespace

EmailSyncFlow::EmailSyncFlow(store::EmailStore& store, EmailService& service)
    : store_(store), service_(service) {}

std::vector<EmailFolder> EmailSyncFlow::syncFolders(const EmailAccount& account,
                                                    const std::optional<std::string>& password) {
  const auto listing = service_.fetchFolderListing(account, password);
  {
    std::lock_guard lock(unselectableLock_);
    std::erase_if(unselectable_, [&](const auto& entry) { return entry.first == account.id; });
    for (const auto& listed : listing)
      if (!listed.selectable) unselectable_.emplace(account.id, listed.folder.path);
  }
  std::vector<std::string> views;
  for (const auto& listed : listing)
    if (std::any_of(listed.flags.begin(), listed.flags.end(), store::is_view_attribute))
      views.push_back(listed.folder.path);
  store_.database().write(
      [&](store::Connection& c) { store::replace_folder_views(c, account.id, views); });
  store_.loadFolders();
  std::unordered_map<std::string, const EmailFolder*> byPath;
  for (const auto& existing : store_.foldersOf(account.id))
    byPath.emplace(existing.path, &existing);
  std::vector<EmailFolder> changed;
  for (const auto& listed : listing) {
    const EmailFolder& folder = listed.folder;
    auto it = byPath.find(folder.path);
    if (it == byPath.end()) {
      changed.push_back(folder);
      continue;
    }
    // The name and type follow the server's; the row keeps its id and counts.
    const EmailFolder& existing = *it->second;
    if (existing.name == folder.name && existing.type == folder.type) continue;
    EmailFolder updated = existing;
    updated.name = folder.name;
    updated.type = folder.type;
    changed.push_back(std::move(updated));
  }
  store_.saveFolders(changed);
  store_.loadFolders();
  return store_.foldersOf(account.id);
}

std::vector<EmailMessage> EmailSyncFlow::storeBatch(
    const EmailAccount& account, const EmailFolder& folder, std::vector<EmailMessage> batch,
    size_t& stored, const std::function<void(store::Connection&)>& alongside) {
  batch = EmailDeduplicationService::deduplicate(std::move(batch));
  if (folder.type == store::EmailFolderType::inbox)
    batch = store_.excludeMessagesStoredInOtherFolders(account.id, folder.id, std::move(batch));
  if (batch.empty()) return {};

  // Only messages seen for the first time go through the hooks. Stored copies keep what the
  // user, the rules and other processes did to them: the save writes only the server's
  // columns into their rows, deciding again inside its transaction which rows exist.
  const auto copies = store_.hasStoredCopies(batch);
  std::vector<EmailMessage> fresh;
  std::vector<EmailMessage> toSave;
  for (size_t i = 0; i < batch.size(); ++i)
    (copies[i] ? toSave : fresh).push_back(std::move(batch[i]));
  for (const auto& hook : incomingHooks)
    if (hook && !fresh.empty()) hook(account, fresh);
  toSave.insert(toSave.end(), fresh.begin(), fresh.end());
  if (toSave.empty()) return {};
  std::set<std::string> threads;
  for (const auto& message : toSave)
    if (message.threadId) threads.insert(*message.threadId);
  const std::vector<std::string> threadKeys(threads.begin(), threads.end());
  // One transaction for the batch and what follows from it: a file never holds the messages
  // without their conversations, and a rollback journal pays its syncs once, not three times.
  auto followers = [&](store::Connection& c) {
    // A message moved by another client arrives here under its new folder: it takes the
    // local state its old row left when the old folder's sync found it gone.
    store::restore_moved_state(c, account.id);
    // Joins the save's transaction (same thread, a write inside a write).
    store::EmailThreadService(store_.database()).refreshThreads(account.id, threadKeys);
    if (alongside) alongside(c);
  };
  stored += store_.saveSyncedMessagesInBackground(std::move(toSave), followers).get();
  return fresh;
}

EmailSyncFlow::FolderResult EmailSyncFlow::syncFolder(const EmailAccount& account,
                                                      const std::optional<std::string>& password,
                                                      const EmailFolder& folder,
                                                      std::optional<double> since, uint64_t limit,
                                                      bool waitForBackground,
                                                      const Progress& progress) {
  FolderResult result;
  result.folder = folder;
  if (progress) progress(folder, 0, 0);

  // Background chunks arrive on the loader's thread while the first load is stored here;
  // one lock keeps the result and the store writes in order.
  std::mutex resultLock;
  size_t total = 0;
  auto deliver = [&](std::vector<EmailMessage> chunk) {
    std::lock_guard lock(resultLock);
    result.fetched += chunk.size();
    auto added = storeBatch(account, folder, std::move(chunk), result.stored);
    result.newMessages.insert(result.newMessages.end(), added.begin(), added.end());
    if (progress) progress(folder, result.fetched, std::max(total, result.fetched));
  };
  // Without waiting the loader may outlive this call, so its batches are stored through a
  // flow of their own that holds nothing of this frame.
  EmailService::BackgroundDelivery background;
  if (waitForBackground) {
    background = deliver;
  } else {
    background = [this, account, folder](std::vector<EmailMessage> chunk) {
      size_t ignored = 0;
      storeBatch(account, folder, std::move(chunk), ignored);
    };
  }

  FolderReconciler reconciler(store_.database(), account, folder);
  reconciler.deferFirstState();
  auto first = service_.syncMessages(account, password, folder, since, limit, false, background, {},
                                     reconcile ? &reconciler : nullptr);
  result.removed = reconciler.report().removed;
  result.renumbered = reconciler.report().renumbered;
  {
    std::lock_guard lock(resultLock);
    total = first.size() + service_.backgroundTotal(account.id);
  }
  const bool more = service_.hasBackgroundTask(account.id);
  if (more && progress) progress(folder, 0, total);
  // Without a background part the first load is the last save: the folder's count and last
  // sync date are written in its transaction.
  std::optional<EmailFolder> savedFolder;
  {
    std::lock_guard lock(resultLock);
    result.fetched += first.size();
    auto alongside = [&](store::Connection& c) {
      reconciler.writeFirstState(c);
      if (more) return;
      EmailFolder updated = folder;
      updated.lastSyncDate = now_seconds();
      savedFolder = store_.saveFolderWithCountLocked(c, updated);
    };
    auto added = storeBatch(account, folder, std::move(first), result.stored, alongside);
    result.newMessages.insert(result.newMessages.begin(), added.begin(), added.end());
    if (progress) progress(folder, result.fetched, std::max(total, result.fetched));
  }
  // Nothing was stored (an empty folder, or only mail archived elsewhere): the state is
  // written on its own.
  if (reconciler.firstStateWaiting())
    store_.database().write([&](store::Connection& c) { reconciler.writeFirstState(c); });
  if (more && waitForBackground) service_.waitForBackgroundTasks(account.id);

  EmailFolder updated = folder;
  if (savedFolder) {
    updated = *savedFolder;
    store_.publishFolderWithCount(updated);
  } else {
    updated.lastSyncDate = now_seconds();
    updated.totalCount = store_.getFolderMessageCount(folder);
    store_.saveFolder(updated);
  }
  result.folder = updated;
  log_line(log_kind::kSuccess, kComponent,
           "文件夹 " + folder.name + " 同步完成: " + std::to_string(result.fetched) + " 封, 新邮件 " +
               std::to_string(result.newMessages.size()));
  return result;
}

bool EmailSyncFlow::isSelectable(const EmailFolder& folder) const {
  std::lock_guard lock(unselectableLock_);
  return !unselectable_.contains({folder.accountId, folder.path});
}

void EmailSyncFlow::recordAccountSync(const EmailAccount& account) {
  store_.recordAccountSync(account.id, now_seconds());
}

}  // namespace kestrova::mail
