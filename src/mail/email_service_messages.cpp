// The folder and message operations of the account service: listings, envelopes, bodies,
// attachments and the user's server-side actions.

#include <libetpan/libetpan.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <map>
#include <stdexcept>
#include <utility>

#include "mail/email_message_conversion.h"
#include "mail/email_service.h"
#include "mail/folder_reconciler.h"
#include "mail/special_use_folders.h"
#include "store/database.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::mail {

namespace {

using store::EmailAccount;
using store::EmailFolder;
using store::EmailFolderType;
using store::EmailMessage;

void log(std::string_view emoji, std::string_view message) {
  log_line(emoji, EmailService::kComponent, message);
}

// A failure described by the service itself, thrown as a network error.
EmailServiceError failure(const std::string& text) {
  return EmailServiceError::networkError(std::runtime_error(text));
}

// A session that is disconnected, with the log line naming the operation, however the
// operation ends.
class ScopedSession {
 public:
  ScopedSession(std::unique_ptr<LibEtPanIMAPSession> session, std::string operation)
      : session_(std::move(session)), operation_(std::move(operation)) {}
  ~ScopedSession() {
    if (!session_) return;
    session_->disconnect();
    log("🔌", "断开 IMAP 连接 (" + operation_ + ")");
  }
  ScopedSession(const ScopedSession&) = delete;
  ScopedSession& operator=(const ScopedSession&) = delete;
  LibEtPanIMAPSession* operator->() const { return session_.get(); }
  LibEtPanIMAPSession& operator*() const { return *session_; }

 private:
  std::unique_ptr<LibEtPanIMAPSession> session_;
  std::string operation_;
};

void selectOrThrow(LibEtPanIMAPSession& session, const std::string& path) {
  LibEtPanError error;
  if (!session.selectFolder(path, &error))
    throw failure(localized_format("mail.error.select", error.localizedDescription));
}

std::vector<uint32_t> uidsOf(const std::vector<ImapUidEntry>& entries) {
  std::vector<uint32_t> uids;
  uids.reserve(entries.size());
  for (const auto& entry : entries) uids.push_back(entry.uid);
  return uids;
}

// The headers of `uids` in one batch; when the batch fails, one UID at a time, skipping
// those that give nothing.
std::vector<ImapHeaderRecord> fetchHeaders(LibEtPanIMAPSession& session,
                                           const std::vector<uint32_t>& uids) {
  if (uids.empty()) return {};
  LibEtPanError error;
  if (auto records = session.fetchBatchMessageHeadersWithUIDs(uids, &error)) return *records;
  // An answer libetpan could not parse ended the connection; a message it cannot read costs
  // one new connection, and the others are still listed.
  if (error.code == MAILIMAP_ERROR_PARSE && !session.reconnect(&error))
    throw EmailServiceError::networkError(error);
  log(log_kind::kFailure, "批量获取失败，降级为逐个获取");
  std::vector<ImapHeaderRecord> records;
  for (uint32_t uid : uids) {
    LibEtPanError one;
    if (auto record = session.fetchMessageHeadersWithUID(uid, &one)) {
      records.push_back(*record);
    } else if (one.code == MAILIMAP_ERROR_STREAM ||
               (one.code == MAILIMAP_ERROR_PARSE && !session.reconnect(&one))) {
      // The connection is gone: what was fetched so far is not a listing of the folder.
      throw EmailServiceError::networkError(one);
    }
  }
  return records;
}

// Records in the order of `uids` (newest first), whatever order the server answered in.
std::vector<ImapHeaderRecord> inUidOrder(std::vector<ImapHeaderRecord> records,
                                         const std::vector<uint32_t>& uids) {
  std::map<uint32_t, size_t> position;
  for (size_t i = 0; i < uids.size(); ++i) position.emplace(uids[i], i);
  std::stable_sort(records.begin(), records.end(), [&](const auto& a, const auto& b) {
    const auto pa = position.find(a.uid), pb = position.find(b.uid);
    const size_t ia = pa == position.end() ? uids.size() : pa->second;
    const size_t ib = pb == position.end() ? uids.size() : pb->second;
    return ia < ib;
  });
  return records;
}

std::string seconds2(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", seconds);
  return text;
}

const EmailFolder& folderOf(const EmailMessage& message, const std::vector<EmailFolder>& folders,
                            const char* missingKey = "mail.error.no_message_folder") {
  for (const auto& folder : folders)
    if (message.folderId && folder.id == *message.folderId) return folder;
  throw EmailServiceError::invalidConfiguration(localized(missingKey));
}

const EmailFolder* folderOfType(EmailFolderType type, const std::vector<EmailFolder>& folders) {
  for (const auto& folder : folders)
    if (folder.type == type && !folder.isLocalPseudoFolder()) return &folder;
  return nullptr;
}

uint32_t uidOrThrow(const EmailMessage& message) {
  if (!message.uid) throw EmailServiceError::invalidConfiguration(localized("mail.error.no_uid"));
  return *message.uid;
}

// What the SELECT before a command naming stored UIDs found.
struct Numbering {
  uint32_t uidValidity = 0;
  bool renumbered = false;  // the folder was renumbered: every UID read before is void
};

// Every command that names a UID the store holds goes to a folder selected here. With a
// store, the folder's UIDVALIDITY from this SELECT is checked against the stored one and a
// renumbered folder is brought in line before anything else is sent.
Numbering selectNumbered(LibEtPanIMAPSession& session, store::EmailDatabase* database,
                         const EmailAccount& account, const EmailFolder& folder) {
  if (!database) {
    selectOrThrow(session, folder.path);
    const auto selected = session.selectedFolder();
    return {selected ? selected->uidValidity : 0, false};
  }
  FolderReconciler reconciler(*database, account, folder);
  LibEtPanError error;
  const auto selected = reconciler.selectForUids(session, &error);
  if (!selected) throw failure(localized_format("mail.error.select", error.localizedDescription));
  return {selected->uidValidity, reconciler.report().renumbered};
}

EmailServiceError renumberedFolder(const EmailFolder& folder) {
  return EmailServiceError::messageMismatch(
      localized_format("mail.renumbered.message_unknown", folder.name));
}

// Selects the message's folder and returns the UID the message has there now: the one the
// store holds after the check (a renumbering, here or by another session after the caller
// read the row, gave the row another UID or none). A message the store does not hold keeps
// the UID it came with, unless the folder was renumbered just now.
uint32_t selectMessage(LibEtPanIMAPSession& session, store::EmailDatabase* database,
                       const EmailAccount& account, const EmailFolder& folder,
                       const EmailMessage& message) {
  const uint32_t given = uidOrThrow(message);
  const Numbering numbering = selectNumbered(session, database, account, folder);
  if (!database) return given;
  const auto stored = database->read([&](store::Connection& c) {
    std::optional<std::optional<uint32_t>> uid;
    auto s = c.prepare("SELECT uid FROM email_messages WHERE id = ?");
    s.bind(1, message.id);
    if (s.step()) {
      const auto value = s.integer(0);
      uid.emplace(value ? std::optional(static_cast<uint32_t>(*value)) : std::nullopt);
    }
    return uid;
  });
  if (!stored) {
    if (numbering.renumbered) throw renumberedFolder(folder);
    return given;
  }
  if (!*stored) throw renumberedFolder(folder);
  if (**stored != given)
    log(log_kind::kSync, "文件夹 " + folder.path + " 已重新编号: UID " + std::to_string(given) +
                             " → " + std::to_string(**stored));
  return **stored;
}

// Runs `work` on a thread of its own and waits at most `limit`. When the limit passes, the
// session's socket is shut down so that the blocked call returns, and timedOut is thrown.
template <typename Result>
Result withTimeLimit(std::chrono::seconds limit, LibEtPanIMAPSession& session,
                     const std::function<Result()>& work, const std::string& timeoutText) {
  auto task = std::packaged_task<Result()>(work);
  auto result = task.get_future();
  std::thread worker(std::move(task));
  if (result.wait_for(limit) != std::future_status::ready) {
    const int fd = session.idleFd();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    worker.join();
    throw EmailServiceError::timedOut(timeoutText);
  }
  worker.join();
  return result.get();
}

std::optional<std::string> fetchWholeMessage(
    LibEtPanIMAPSession& session, store::EmailDatabase* database, const EmailAccount& account,
    const EmailFolder& folder, const EmailMessage& message, std::string_view operation,
    std::string_view selectedText, std::string_view receivedText) {
  uint32_t uid = 0;
  try {
    uid = selectMessage(session, database, account, folder, message);
  } catch (const EmailServiceError& e) {
    log(log_kind::kFailure, std::string(operation) + ": " + e.what());
    throw;
  }
  log(log_kind::kMail, std::string(operation) + ": " + std::string(selectedText));
  LibEtPanError error;
  auto raw = session.fetchMessageBodyWithUID(uid, &error);
  log(log_kind::kMail, std::string(operation) + ": " + std::string(receivedText) +
                           std::to_string(raw ? raw->size() : 0));
  return raw;
}

// Tells the reconciler which UIDs the server holds in the range the listing covers. The
// listing from UIDNEXT fetches every UID of its range; a date search does not (a message
// copied in keeps its old date under a new UID), so its range is listed again by UID, unless
// QRESYNC already reported every expunge of the folder.
void reconcileListing(LibEtPanIMAPSession& session, FolderReconciler& reconciler,
                      const std::vector<uint32_t>& listed, bool byDate, uint64_t limit) {
  if (byDate) {
    if (reconciler.resynchronised() || listed.empty()) return;
    const uint32_t low = *std::min_element(listed.begin(), listed.end());
    LibEtPanError error;
    const auto range = session.fetchMessagesFromUID(low, 0, &error);
    if (!range) throw EmailServiceError::networkError(error);
    reconciler.listed(low, UINT32_MAX, uidsOf(*range));
    return;
  }
  // Under QRESYNC the SELECT already told every expunge of the folder.
  if (reconciler.resynchronised()) return;
  const auto selected = session.selectedFolder();
  if (!selected) return;
  const uint32_t uidNext = selected->uidNext;
  const uint32_t low = limit != 0 && limit < uidNext ? static_cast<uint32_t>(uidNext - limit) : 1;
  const uint32_t high = uidNext != 0 ? uidNext - 1 : UINT32_MAX;
  reconciler.listed(low, high, listed);
}

}  // namespace

EmailService::~EmailService() { cancelAllBackgroundTasks(); }

// ---- folders ----

std::vector<EmailFolder> EmailService::fetchFolders(
    const EmailAccount& account, const std::optional<std::string>& password) const {
  std::vector<EmailFolder> folders;
  for (auto& listed : fetchFolderListing(account, password))
    folders.push_back(std::move(listed.folder));
  return folders;
}

std::vector<EmailService::ListedFolder> EmailService::fetchFolderListing(
    const EmailAccount& account, const std::optional<std::string>& password) const {
  ScopedSession session(openIMAPSession(account, password), "fetchFolders");
  LibEtPanError error;
  auto listed = session->fetchFoldersWithFlagsWithError(&error);
  if (!listed) throw failure(localized_format("mail.error.list", error.localizedDescription));
  const auto types = listed_folder_types(*listed);
  std::vector<ListedFolder> folders;
  folders.reserve(listed->size());
  for (size_t i = 0; i < listed->size(); ++i) {
    auto& entry = (*listed)[i];
    EmailFolder folder;
    folder.id = new_uuid();
    folder.accountId = account.id;
    folder.name = entry.name;
    folder.path = entry.name;
    folder.type = types[i];
    const bool selectable = entry.selectable();
    folders.push_back({EmailFolder::make(std::move(folder)), std::move(entry.flags), selectable});
  }
  return folders;
}

// ---- message sync ----

std::vector<EmailMessage> EmailService::syncMessages(
    const EmailAccount& account, const std::optional<std::string>& password,
    const EmailFolder& folder, std::optional<double> since, uint64_t limit, bool preferDateSearch,
    BackgroundDelivery deliver, BackgroundCompletion completed, FolderReconciler* reconciler) {
  std::vector<uint32_t> uids;
  std::vector<EmailMessage> messages;
  {
    ScopedSession session(openIMAPSession(account, password), "syncMessages");
    LibEtPanError error;
    if (!reconciler) {
      selectOrThrow(*session, folder.path);
    } else if (!reconciler->select(*session, &error)) {
      throw failure(localized_format("mail.error.select", error.localizedDescription));
    }

    std::optional<std::vector<ImapUidEntry>> listed;
    const bool byDate = since && (limit == 0 || limit > 200 || preferDateSearch);
    if (byDate) {
      if (preferDateSearch) limit = 200;
      const auto date = std::chrono::system_clock::time_point(
          std::chrono::duration_cast<std::chrono::system_clock::duration>(
              std::chrono::duration<double>(*since)));
      log(log_kind::kSearch, "使用日期搜索，since: " + iso8601_utc(*since));
      listed = session->fetchMessagesSinceDate(date, limit, &error);
    } else {
      log("⚡️", "使用快速方法获取最新 " + std::to_string(limit) + " 封邮件");
      listed = session->fetchLatestMessagesWithLimit(limit, &error);
    }
    if (!listed) throw EmailServiceError::networkError(error);
    uids = uidsOf(*listed);
    if (reconciler) reconcileListing(*session, *reconciler, uids, byDate, limit);

    std::vector<uint32_t> remaining;
    if (uids.size() > kInitialLoadLimit) {
      log(log_kind::kStatistics, "邮件数量(" + std::to_string(uids.size()) + ")超过限制,先加载前" +
                                     std::to_string(kInitialLoadLimit) + "封,剩余将在后台同步");
      remaining.assign(uids.begin() + kInitialLoadLimit, uids.end());
      uids.resize(kInitialLoadLimit);
    }

    log("📦", "批量获取 " + std::to_string(uids.size()) + " 封邮件头...");
    const auto started = std::chrono::steady_clock::now();
    auto records = inUidOrder(fetchHeaders(*session, uids), uids);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
    log(log_kind::kStatistics, "邮件头获取耗时: " + seconds2(elapsed.count()) + " 秒");

    messages.reserve(records.size());
    for (const auto& record : records) {
      messages.push_back(message_from_header_record(record, account.id, folder.id));
      if (messages.size() % 100 == 0)
        log(log_kind::kMail, "已解析 " + std::to_string(messages.size()));
    }
    log(log_kind::kSuccess, "初始加载完成: " + std::to_string(messages.size()));

    if (!remaining.empty()) {
      const auto selected = session->selectedFolder();
      startBackgroundLoad(account, password, folder, std::move(remaining),
                          selected ? selected->uidValidity : 0, std::move(deliver),
                          std::move(completed));
    }
  }
  return messages;
}

void EmailService::startBackgroundLoad(const EmailAccount& account,
                                       const std::optional<std::string>& password,
                                       const EmailFolder& folder, std::vector<uint32_t> uids,
                                       uint32_t uidValidity, BackgroundDelivery deliver,
                                       BackgroundCompletion completed) {
  cancelBackgroundTasks(account.id);
  waitForBackgroundTasks(account.id);
  auto task = std::make_shared<BackgroundTask>();
  task->total = uids.size();
  std::shared_ptr<BackgroundTask> replaced;  // a loader another caller started meanwhile
  {
    // The thread is assigned under the lock that waitForBackgroundTasks and
    // cancelAllBackgroundTasks take before they read it to join.
    std::lock_guard lock(backgroundSyncTasksLock_);
    task->thread = std::thread([this, task, account, password, folder, uids = std::move(uids),
                                uidValidity, deliver = std::move(deliver),
                                completed = std::move(completed)] {
      runBackgroundLoad(*task, account, password, folder, uids, uidValidity, deliver, completed);
    });
    replaced = std::exchange(backgroundSyncTasks_[account.id], task);
  }
  if (replaced) {
    replaced->cancelled = true;
    if (replaced->thread.joinable()) replaced->thread.join();
  }
}

void EmailService::runBackgroundLoad(BackgroundTask& task, const EmailAccount& account,
                                     const std::optional<std::string>& password,
                                     const EmailFolder& folder, const std::vector<uint32_t>& uids,
                                     uint32_t uidValidity, const BackgroundDelivery& deliver,
                                     const BackgroundCompletion& completed) const {
  log(log_kind::kSync, "开始后台同步剩余 " + std::to_string(uids.size()));
  try {
    ScopedSession session(openIMAPSession(account, password), "backgroundSync");
    size_t done = 0, delivered = 0;
    for (size_t start = 0; start < uids.size(); start += kBackgroundChunkSize) {
      if (task.cancelled) return;
      const size_t end = std::min(uids.size(), start + kBackgroundChunkSize);
      const std::vector<uint32_t> chunk(uids.begin() + start, uids.begin() + end);
      const Numbering numbering = selectNumbered(*session, database(), account, folder);
      if (numbering.renumbered || (uidValidity != 0 && numbering.uidValidity != uidValidity)) {
        // The UIDs left were listed under the old numbering: the next sync lists again.
        log(log_kind::kWarning, "文件夹 " + folder.path +
                                    " 已在服务器上重新编号，后台同步停止，剩余 " +
                                    std::to_string(uids.size() - start) + " 封留待下次同步");
        return;
      }
      auto records = inUidOrder(fetchHeaders(*session, chunk), chunk);
      std::vector<EmailMessage> messages;
      messages.reserve(records.size());
      for (const auto& record : records) {
        if (task.cancelled) return;
        messages.push_back(message_from_header_record(record, account.id, folder.id));
      }
      if (task.cancelled) return;
      delivered += messages.size();
      if (deliver) deliver(std::move(messages));
      done = end;
      if (done % 100 < 50)
        log(log_kind::kSync, "后台已同步 " + std::to_string(done) + "/" +
                                 std::to_string(uids.size()) + " 封邮件");
      std::this_thread::sleep_for(std::chrono::milliseconds(kBackgroundPauseMilliseconds));
    }
    log(log_kind::kSuccess, "后台同步完成: " + std::to_string(delivered));
    if (completed) completed(delivered);
  } catch (const std::exception& e) {
    log(log_kind::kFailure, std::string("后台同步失败: ") + e.what());
  }
}

void EmailService::cancelBackgroundTasks(const std::string& accountId) {
  std::lock_guard lock(backgroundSyncTasksLock_);
  auto it = backgroundSyncTasks_.find(accountId);
  if (it == backgroundSyncTasks_.end()) return;
  it->second->cancelled = true;
  log("🧹", "已清理账户后台任务");
}

void EmailService::cancelAllBackgroundTasks() {
  std::map<std::string, std::shared_ptr<BackgroundTask>> tasks;
  {
    std::lock_guard lock(backgroundSyncTasksLock_);
    tasks.swap(backgroundSyncTasks_);
  }
  for (auto& [id, task] : tasks) task->cancelled = true;
  for (auto& [id, task] : tasks)
    if (task->thread.joinable()) task->thread.join();
  if (!tasks.empty()) log("🧹", "已清理所有后台任务（含 IDLE）");
}

void EmailService::waitForBackgroundTasks(const std::string& accountId) {
  std::shared_ptr<BackgroundTask> task;
  {
    std::lock_guard lock(backgroundSyncTasksLock_);
    auto it = backgroundSyncTasks_.find(accountId);
    if (it == backgroundSyncTasks_.end()) return;
    task = it->second;
    backgroundSyncTasks_.erase(it);
  }
  if (task->thread.joinable()) task->thread.join();
}

size_t EmailService::backgroundTotal(const std::string& accountId) {
  std::lock_guard lock(backgroundSyncTasksLock_);
  auto it = backgroundSyncTasks_.find(accountId);
  return it == backgroundSyncTasks_.end() ? 0 : it->second->total;
}

bool EmailService::hasBackgroundTask(const std::string& accountId) {
  std::lock_guard lock(backgroundSyncTasksLock_);
  return backgroundSyncTasks_.count(accountId) > 0;
}

// ---- bodies, raw messages, attachments ----

EmailBodyContent EmailService::fetchMessageBody(const EmailAccount& account,
                                                const std::optional<std::string>& password,
                                                const EmailMessage& message,
                                                const std::vector<EmailFolder>& folders) const {
  const EmailFolder& folder = folderOf(message, folders);
  if (folder.isLocalPseudoFolder())
    throw EmailServiceError::invalidConfiguration(localized("mail.error.local_no_body"));
  const uint32_t uid = uidOrThrow(message);
  log(log_kind::kMail, "fetchMessageBody: 开始获取正文, folder=" + folder.path +
                           ", uid=" + std::to_string(uid));

  ScopedSession session(openIMAPSession(account, password), "fetchMessageBody");
  const std::function<std::optional<std::string>()> work = [&] {
    return fetchWholeMessage(*session, database(), account, folder, message, "fetchMessageBody",
                             "文件夹选择成功", "获取到数据 ");
  };
  auto raw = withTimeLimit(std::chrono::seconds(kBodyTimeLimitSeconds), *session, work,
                           localized("mail.error.body_timeout"));
  if (!raw || raw->empty()) {
    log(log_kind::kFailure, "fetchMessageBody: 邮件正文为空");
    throw EmailServiceError::parseError(localized("mail.error.no_body"));
  }
  if (raw->size() > kBodyDecodeLimit)
    log(log_kind::kWarning, "fetchMessageBody: 邮件大小 " + std::to_string(raw->size()) +
                                " 字节超过阈值 " + std::to_string(kBodyDecodeLimit) +
                                "，将截断后解析");
  EmailBodyContent content = decodeRawMessage(std::move(*raw));
  const bool truncated = content.wasTruncated;
  log(log_kind::kMail,
      "fetchMessageBody: 解析完成, textBody=" +
          std::to_string(content.textBody ? text::character_count(*content.textBody) : 0) +
          "字符, htmlBody=" +
          std::to_string(content.htmlBody ? text::character_count(*content.htmlBody) : 0) +
          ", truncated=" + (truncated ? "true" : "false") +
          ", attachments=" + std::to_string(content.attachments.size()));
  return content;
}

EmailBodyContent EmailService::decodeRawMessage(std::string raw) {
  const size_t originalSize = raw.size();
  const bool truncated = originalSize > kBodyDecodeLimit;
  if (truncated) raw.resize(kBodyDecodeLimit);
  EmailBodyContent content = EmailContentDecoder::decode(raw);
  content.originalSize = static_cast<int64_t>(originalSize);
  content.wasTruncated = truncated;
  return content;
}

EmailService::PrefetchOutcome EmailService::prefetchBodies(
    const EmailAccount& account, const std::optional<std::string>& password,
    const EmailFolder& folder, const std::vector<uint32_t>& uids, uint64_t maxBytes,
    const std::function<void(std::vector<PrefetchedBody>)>& deliver, const std::atomic<bool>& stop,
    uint32_t uidValidity) const {
  if (folder.isLocalPseudoFolder())
    throw EmailServiceError::invalidConfiguration(localized("mail.error.local_no_body"));
  PrefetchOutcome outcome;
  if (uids.empty() || stop) return outcome;
  ScopedSession session(openIMAPSession(account, password), "prefetchBodies");
  const Numbering numbering = selectNumbered(*session, database(), account, folder);
  if (numbering.renumbered || (uidValidity != 0 && numbering.uidValidity != uidValidity))
    throw renumberedFolder(folder);
  LibEtPanError error;
  auto sizes = session->fetchMessageSizesWithUIDs(uids, &error);
  if (!sizes) throw EmailServiceError::networkError(error);
  std::map<uint32_t, uint64_t> sizeOf(sizes->begin(), sizes->end());

  // Batches in the caller's order (newest first), each within the message and byte bounds.
  std::vector<std::vector<uint32_t>> batches(1);
  uint64_t batchBytes = 0;
  for (uint32_t uid : uids) {
    const auto size = sizeOf.find(uid);
    if (size == sizeOf.end()) {
      outcome.missing.push_back(uid);
      continue;
    }
    if (size->second > maxBytes) {
      outcome.oversized.push_back(uid);
      continue;
    }
    if (!batches.back().empty() && (batches.back().size() >= kPrefetchBatchMessages ||
                                    batchBytes + size->second > kPrefetchBatchBytes)) {
      batches.emplace_back();
      batchBytes = 0;
    }
    batches.back().push_back(uid);
    batchBytes += size->second;
  }
  for (const auto& batch : batches) {
    if (stop) break;
    if (batch.empty()) continue;
    auto raw = session->peekRawMessagesWithUIDs(batch, &error);
    if (!raw) throw EmailServiceError::networkError(error);
    std::vector<PrefetchedBody> bodies;
    bodies.reserve(raw->size());
    for (auto& [uid, bytes] : *raw) {
      outcome.bytes += bytes.size();
      bodies.push_back({uid, decodeRawMessage(std::exchange(bytes, {}))});
    }
    raw.reset();
    outcome.downloaded += bodies.size();
    if (deliver) deliver(std::move(bodies));
  }
  log(log_kind::kMail, "prefetchBodies: " + folder.path + " 已下载 " +
                           std::to_string(outcome.downloaded) + " 封正文, " +
                           std::to_string(outcome.bytes) + " 字节");
  return outcome;
}

namespace {

// The raw bytes of a server message: RFC822 (which sets \Seen), or with `peek` BODY.PEEK[],
// which leaves the flags alone and tells a UID the folder no longer holds (messageMismatch).
std::string rawMessage(const EmailService& service, const EmailAccount& account,
                       const std::optional<std::string>& password, const EmailMessage& message,
                       const std::vector<EmailFolder>& folders, bool peek) {
  const EmailFolder& folder = folderOf(message, folders);
  if (folder.isLocalPseudoFolder())
    throw EmailServiceError::invalidConfiguration(localized("mail.error.local_no_source"));
  uidOrThrow(message);
  ScopedSession session(service.openIMAPSession(account, password), "fetchRawMessage");
  std::optional<std::string> raw;
  if (peek) {
    const uint32_t uid = selectMessage(*session, service.database(), account, folder, message);
    LibEtPanError error;
    auto peeked = session->peekRawMessagesWithUIDs({uid}, &error);
    if (!peeked) throw EmailServiceError::networkError(error);
    if (peeked->empty() || peeked->front().first != uid)
      throw EmailServiceError::messageMismatch(
          localized_format("mail.error.uid_gone", folder.name, uid));
    raw = std::move(peeked->front().second);
    log(log_kind::kMail, "fetchRawMessage: 获取到原始邮件数据 " + std::to_string(raw->size()));
  } else {
    raw = fetchWholeMessage(*session, service.database(), account, folder, message,
                            "fetchRawMessage", "文件夹选择成功", "获取到原始邮件数据 ");
  }
  if (!raw || raw->empty()) {
    log(log_kind::kFailure, "fetchRawMessage: 原始邮件数据为空");
    throw EmailServiceError::parseError(localized("mail.error.no_source"));
  }
  return std::move(*raw);
}

}  // namespace

std::string EmailService::fetchRawMessage(const EmailAccount& account,
                                          const std::optional<std::string>& password,
                                          const EmailMessage& message,
                                          const std::vector<EmailFolder>& folders) const {
  return rawMessage(*this, account, password, message, folders, false);
}

std::string EmailService::peekRawMessage(const EmailAccount& account,
                                         const std::optional<std::string>& password,
                                         const EmailMessage& message,
                                         const std::vector<EmailFolder>& folders) const {
  return rawMessage(*this, account, password, message, folders, true);
}

std::string EmailService::downloadAttachment(const EmailAccount& account,
                                             const std::optional<std::string>& password,
                                             const EmailMessage& message,
                                             const EmailAttachmentMeta& attachment,
                                             const std::vector<EmailFolder>& folders) const {
  const EmailFolder& folder = folderOf(message, folders);
  if (folder.isLocalPseudoFolder())
    throw EmailServiceError::invalidConfiguration(localized("mail.error.local_no_attachment"));
  uidOrThrow(message);
  ScopedSession session(openIMAPSession(account, password), "downloadAttachment");
  const uint32_t uid = selectMessage(*session, database(), account, folder, message);
  LibEtPanError error;
  if (!attachment.partPath.empty()) {
    if (auto part = session->fetchMessagePartWithUID(uid, attachment.partPath, &error);
        part && !part->empty()) {
      std::string bytes = attachment.encoding
                              ? EmailContentDecoder::decodeTransferEncoding(*part, *attachment.encoding)
                              : std::move(*part);
      log("📎", "附件下载完成: mime=" + attachment.mimeType + ", partPath=" + attachment.partPath +
                    ", bytes=" + std::to_string(bytes.size()));
      return bytes;
    }
  }
  auto raw = session->fetchMessageBodyWithUID(uid, &error);
  if (raw && !raw->empty()) {
    if (auto bytes = EmailContentDecoder::attachmentData(*raw, attachment)) {
      log("📎", "附件下载完成 (回退路径): mime=" + attachment.mimeType + ", partPath=" +
                    attachment.partPath + ", bytes=" + std::to_string(bytes->size()));
      return std::move(*bytes);
    }
  }
  throw EmailServiceError::parseError(
      localized_format("mail.error.no_attachment", attachment.filename));
}

// ---- search ----

std::vector<EmailMessage> EmailService::searchMessages(const EmailAccount& account,
                                                       const std::optional<std::string>& password,
                                                       const EmailFolder& folder,
                                                       std::string_view query,
                                                       uint64_t limit) const {
  log(log_kind::kSearch, "开始搜索邮件，查询: " + std::string(query));
  ScopedSession session(openIMAPSession(account, password), "searchMessages");
  selectOrThrow(*session, folder.path);
  LibEtPanError error;
  auto hits = session->searchMessagesWithQuery(query, limit, &error);
  if (!hits) throw EmailServiceError::networkError(error);
  const auto uids = uidsOf(*hits);
  std::vector<EmailMessage> messages;
  for (const auto& record : inUidOrder(fetchHeaders(*session, uids), uids))
    messages.push_back(message_from_header_record(record, account.id, folder.id));
  log(log_kind::kSuccess, "搜索完成，找到 " + std::to_string(messages.size()));
  return messages;
}

// ---- server-side actions ----

namespace {

// A UID names a message only within one folder and only until it is expunged: a row whose
// folder changed locally, or that a sync has not refreshed, may name another message. Before
// anything destructive the selected folder must hold the UID and, when the row has a
// Message-ID, the UID's Message-ID must be the same. Otherwise throws messageMismatch,
// having changed nothing.
void confirmIdentity(LibEtPanIMAPSession& session, const EmailFolder& folder, uint32_t uid,
                     const EmailMessage& message) {
  LibEtPanError error;
  const auto identity = session.fetchMessageIdentityWithUID(uid, &error);
  if (!identity) throw EmailServiceError::networkError(error);
  const std::string unchanged = localized("mail.error.unchanged");
  if (!identity->exists) {
    log(log_kind::kFailure,
        "服务器上没有该 UID: folder=" + folder.path + ", uid=" + std::to_string(uid));
    throw EmailServiceError::messageMismatch(
        localized_format("mail.error.uid_gone", folder.name, uid) + unchanged);
  }
  const std::string expected = message.messageId ? comparableMessageId(*message.messageId) : "";
  if (expected.empty()) {
    // Without a Message-ID only the envelope tells the message apart: its date, sender,
    // subject and (where the row knows it) size must be those of the row.
    const auto records = session.fetchBatchMessageHeadersWithUIDs({uid}, &error);
    if (!records) throw EmailServiceError::networkError(error);
    for (const auto& record : *records)
      if (record.uid == uid && !record.messageId &&
          messageContent(message_from_header_record(record, message.accountId, folder.id))
              .matches(messageContent(message)))
        return;
    log(log_kind::kFailure, "无法确认 UID 对应的邮件: folder=" + folder.path +
                                ", uid=" + std::to_string(uid) + ", 本地主题=" + message.subject);
    throw EmailServiceError::messageMismatch(
        localized_format("mail.error.envelope_differs", folder.name, uid) + unchanged);
  }
  if (!identity->messageId || comparableMessageId(*identity->messageId) != expected) {
    log(log_kind::kFailure, "UID 对应的邮件与本地记录不符: folder=" + folder.path + ", uid=" +
                                std::to_string(uid) + ", 本地 Message-ID=" + *message.messageId +
                                ", 服务器 Message-ID=" + identity->messageId.value_or("(无)"));
    throw EmailServiceError::messageMismatch(
        localized_format("mail.error.message_id_differs", folder.name, uid) + unchanged);
  }
}

enum class Confirm { no, identity };

template <typename Action>
void actOnMessage(const EmailService& service, const EmailAccount& account,
                  const std::optional<std::string>& password, const EmailMessage& message,
                  const std::vector<EmailFolder>& folders, const std::string& name, Action&& action,
                  const char* missingFolderKey = "mail.error.no_message_folder",
                  Confirm confirm = Confirm::no) {
  const EmailFolder& folder = folderOf(message, folders, missingFolderKey);
  uidOrThrow(message);
  ScopedSession session(service.openIMAPSession(account, password), name);
  const uint32_t uid = selectMessage(*session, service.database(), account, folder, message);
  if (confirm == Confirm::identity) confirmIdentity(*session, folder, uid, message);
  LibEtPanError error;
  if (!action(*session, uid, &error)) throw EmailServiceError::networkError(error);
}

ImapSourceRemoval reported(ImapSourceRemoval removal) {
  if (removal == ImapSourceRemoval::flaggedOnly)
    log(log_kind::kWarning, std::string(EmailService::kFlaggedOnlyNotice));
  return removal;
}

}  // namespace

std::string comparableMessageId(std::string_view raw) {
  std::string id = text::trim(raw);
  const size_t open = id.find('<');
  const size_t close = open == std::string::npos ? open : id.find('>', open);
  if (close != std::string::npos)
    id = text::trim(std::string_view(id).substr(open + 1, close - open - 1));
  if (const size_t at = id.rfind('@'); at != std::string::npos)
    id = id.substr(0, at) + text::lower(std::string_view(id).substr(at));
  return id;
}

void EmailService::markAsRead(const EmailAccount& account, const std::optional<std::string>& password,
                              const EmailMessage& message,
                              const std::vector<EmailFolder>& folders) const {
  actOnMessage(*this, account, password, message, folders, "markAsRead",
               [](LibEtPanIMAPSession& s, uint32_t uid, LibEtPanError* e) {
                 return s.markAsReadWithUID(uid, e);
               });
}

void EmailService::markAsUnread(const EmailAccount& account,
                                const std::optional<std::string>& password,
                                const EmailMessage& message,
                                const std::vector<EmailFolder>& folders) const {
  actOnMessage(*this, account, password, message, folders, "markAsUnread",
               [](LibEtPanIMAPSession& s, uint32_t uid, LibEtPanError* e) {
                 return s.markAsUnreadWithUID(uid, e);
               });
}

void EmailService::toggleStar(const EmailAccount& account, const std::optional<std::string>& password,
                              const EmailMessage& message, bool starred,
                              const std::vector<EmailFolder>& folders) const {
  actOnMessage(*this, account, password, message, folders, "toggleStar",
               [starred](LibEtPanIMAPSession& s, uint32_t uid, LibEtPanError* e) {
                 return starred ? s.addFlaggedWithUID(uid, e) : s.removeFlaggedWithUID(uid, e);
               });
}

ImapSourceRemoval EmailService::deleteMessage(const EmailAccount& account,
                                              const std::optional<std::string>& password,
                                              const EmailMessage& message,
                                              const std::vector<EmailFolder>& folders) const {
  ImapSourceRemoval removal = ImapSourceRemoval::removed;
  actOnMessage(
      *this, account, password, message, folders, "deleteMessage",
      [&](LibEtPanIMAPSession& s, uint32_t uid, LibEtPanError* e) {
        return s.deleteAndExpungeWithUID(uid, e, &removal);
      },
      "mail.error.no_message_folder", Confirm::identity);
  return reported(removal);
}

ImapSourceRemoval EmailService::moveMessage(const EmailAccount& account,
                                            const std::optional<std::string>& password,
                                            const EmailMessage& message,
                                            const EmailFolder& destination,
                                            const std::vector<EmailFolder>& folders) const {
  ImapSourceRemoval removal = ImapSourceRemoval::removed;
  actOnMessage(
      *this, account, password, message, folders, "moveMessage",
      [&](LibEtPanIMAPSession& s, uint32_t uid, LibEtPanError* e) {
        if (s.moveMessageWithUID(uid, destination.path, e, &removal)) return true;
        log("ℹ️", "MOVE 失败，尝试在服务器创建目标 mailbox「" + destination.path + "」后重试");
        s.createFolder(destination.path);
        return s.moveMessageWithUID(uid, destination.path, e, &removal);
      },
      "mail.error.no_source_folder", Confirm::identity);
  return reported(removal);
}

bool EmailService::isAutomaticMessage(const EmailAccount& account,
                                      const std::optional<std::string>& password,
                                      const EmailMessage& message,
                                      const std::vector<EmailFolder>& folders) const {
  const EmailFolder& folder = folderOf(message, folders);
  uidOrThrow(message);
  ScopedSession session(openIMAPSession(account, password), "isAutomaticMessage");
  const uint32_t uid = selectMessage(*session, database(), account, folder, message);
  LibEtPanError error;
  const auto identity = session->fetchMessageIdentityWithUID(uid, &error);
  if (!identity) throw EmailServiceError::networkError(error);
  return isAutomaticMail(identity->headerFields);
}

ImapSourceRemoval EmailService::moveToSpam(const EmailAccount& account,
                                           const std::optional<std::string>& password,
                                           const EmailMessage& message,
                                           const std::vector<EmailFolder>& folders) const {
  const EmailFolder* spam = folderOfType(EmailFolderType::spam, folders);
  if (!spam) throw EmailServiceError::invalidConfiguration(localized("mail.error.no_spam_folder"));
  return moveMessage(account, password, message, *spam, folders);
}

ImapSourceRemoval EmailService::moveToInbox(const EmailAccount& account,
                                            const std::optional<std::string>& password,
                                            const EmailMessage& message,
                                            const std::vector<EmailFolder>& folders) const {
  const EmailFolder* inbox = folderOfType(EmailFolderType::inbox, folders);
  if (!inbox) throw EmailServiceError::invalidConfiguration(localized("mail.error.no_inbox"));
  return moveMessage(account, password, message, *inbox, folders);
}

}  // namespace kestrova::mail
