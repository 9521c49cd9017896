#include "mail/email_body_prefetcher.h"

#include <map>
#include <vector>

#include "mail/email_message_conversion.h"
#include "mail/email_service.h"
#include "store/database.h"
#include "store/downloaded_body.h"
#include "store/email_folder.h"
#include "store/folder_sync_state.h"
#include "util/log.h"
#include "util/time.h"

namespace kestrova::mail {

namespace {

using store::EmailFolder;

constexpr std::string_view kComponent = "EmailBodyPrefetcher";

// The messages of one folder whose bodies are wanted, newest first.
struct FolderWork {
  EmailFolder folder;
  std::vector<uint32_t> uids;
  std::map<uint32_t, std::string> ids;
  uint32_t uidValidity = 0;  // the numbering the UIDs were read under (0: unknown)
};

}  // namespace

EmailBodyPrefetcher::EmailBodyPrefetcher(store::EmailDatabase& database, EmailService& service)
    : database_(database), service_(service) {}

EmailBodyPrefetcher::Result EmailBodyPrefetcher::prefetch(
    const store::EmailAccount& account, const std::optional<std::string>& password,
    const Window& window, const std::atomic<bool>& stop, const Progress& progress) {
  Result result;
  if (window.days <= 0) return result;
  const double since = now_seconds() - static_cast<double>(window.days) * 86400.0;
  std::vector<FolderWork> work = database_.read([&](store::Connection& c) {
    std::map<std::string, EmailFolder> folders;
    auto f = c.prepare("SELECT * FROM email_folders WHERE account_id = ?");
    f.bind(1, account.id);
    while (f.step())
      if (auto folder = EmailFolder::from_row(f); folder && !folder->isLocalPseudoFolder())
        folders.emplace(folder->id, std::move(*folder));
    std::vector<FolderWork> out;
    std::map<std::string, size_t> position;
    auto m = c.prepare(
        "SELECT id, folder_id, uid FROM email_messages WHERE account_id = ? AND is_body_loaded = 0 "
        "AND uid IS NOT NULL AND is_deleted = 0 AND date >= ? ORDER BY date DESC");
    m.bind_all(account.id, since);
    while (m.step()) {
      auto id = m.text(0), folderId = m.text(1);
      const auto uid = m.integer(2);
      if (!id || !folderId || !uid || passedOver_.contains(*id)) continue;
      auto folder = folders.find(*folderId);
      if (folder == folders.end()) continue;
      auto [at, added] = position.emplace(*folderId, out.size());
      if (added) {
        const auto state = store::folder_sync_state(c, account.id, folder->second.path);
        out.push_back({folder->second, {}, {}, state ? state->uidValidity : 0});
      }
      auto& entry = out[at->second];
      entry.uids.push_back(static_cast<uint32_t>(*uid));
      entry.ids.emplace(static_cast<uint32_t>(*uid), std::move(*id));
    }
    return out;
  });
  for (const auto& folder : work) result.wanted += folder.uids.size();
  if (progress) progress(0, result.wanted);

  for (const auto& folder : work) {
    if (stop) break;
    auto deliver = [&](std::vector<EmailService::PrefetchedBody> bodies) {
      std::vector<store::EmailMessage> downloaded;
      downloaded.reserve(bodies.size());
      for (auto& body : bodies) {
        auto id = folder.ids.find(body.uid);
        if (id == folder.ids.end()) continue;
        auto& m = downloaded.emplace_back();
        m.id = id->second;
        set_body(m, body.content);
      }
      result.stored += store::save_downloaded_bodies(database_, downloaded, false);
      if (progress) progress(result.stored, result.wanted);
    };
    try {
      auto outcome = service_.prefetchBodies(account, password, folder.folder, folder.uids,
                                             window.maxBytes, deliver, stop, folder.uidValidity);
      result.bytes += outcome.bytes;
      for (const auto& list : {outcome.oversized, outcome.missing})
        for (uint32_t uid : list)
          if (auto id = folder.ids.find(uid); id != folder.ids.end())
            passedOver_.insert(id->second);
    } catch (const std::exception& e) {
      ++result.failedFolders;
      log_line(log_kind::kFailure, kComponent,
               "文件夹 " + folder.folder.name + " 正文预取失败: " + e.what());
    }
  }
  if (result.stored > 0)
    log_line(log_kind::kSuccess, kComponent,
             account.emailAddress + " 已预取正文 " + std::to_string(result.stored) + "/" +
                 std::to_string(result.wanted) + " 封");
  return result;
}

}  // namespace kestrova::mail
