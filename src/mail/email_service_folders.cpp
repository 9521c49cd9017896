// EmailService's folder management (create, rename, delete) and the server copies of drafts.

#include <algorithm>

#include "mail/email_service.h"
#include "mail/special_use_folders.h"
#include "util/log.h"

namespace kestrova::mail {

namespace {

// Runs `operation` on a fresh session; a false result becomes the session's error.
template <typename Operation>
void with_session(const EmailService& service, const store::EmailAccount& account,
                  const std::optional<std::string>& password, Operation operation) {
  auto session = service.openIMAPSession(account, password);
  LibEtPanError error;
  const bool done = operation(*session, error);
  session->disconnect();
  if (!done) throw EmailServiceError::networkError(error);
}

}  // namespace

void EmailService::createFolder(const store::EmailAccount& account,
                                const std::optional<std::string>& password,
                                std::string_view path) const {
  with_session(*this, account, password, [&](LibEtPanIMAPSession& s, LibEtPanError& error) {
    return s.createFolder(path, &error);
  });
}

void EmailService::renameFolder(const store::EmailAccount& account,
                                const std::optional<std::string>& password, std::string_view from,
                                std::string_view to) const {
  with_session(*this, account, password, [&](LibEtPanIMAPSession& s, LibEtPanError& error) {
    return s.renameFolder(from, to, &error);
  });
}

void EmailService::deleteFolder(const store::EmailAccount& account,
                                const std::optional<std::string>& password,
                                std::string_view path) const {
  with_session(*this, account, password, [&](LibEtPanIMAPSession& s, LibEtPanError& error) {
    return s.deleteFolder(path, &error);
  });
}

std::string EmailService::replaceDraftCopy(const store::EmailAccount& account,
                                           const std::optional<std::string>& password,
                                           std::string_view messageId,
                                           const std::optional<std::string>& message) const {
  std::string folderPath;
  with_session(*this, account, password, [&](LibEtPanIMAPSession& s, LibEtPanError& error) {
    // The folder is looked up on every pass: a draft written before the first sync, or
    // before the server's folders changed, still goes where the server keeps drafts.
    auto listing = s.fetchFoldersWithFlagsWithError(&error);
    if (!listing) return false;
    folderPath = drafts_folder_path(*listing).value_or(std::string(kDefaultDraftsFolder));
    // A folder that is not there yet (a new account's first draft) is created; without a
    // new copy to file there is nothing to remove either.
    if (!s.selectFolder(folderPath, &error)) {
      if (!message || !s.createFolder(folderPath, &error) || !s.selectFolder(folderPath, &error))
        return !message;
    }
    // The copies already there (older versions, or one filed just before an interruption)
    // are found by Message-ID, so that a retry never leaves two.
    auto old = s.searchUIDsWithMessageId(messageId, &error);
    if (!old) return false;
    if (message) {
      auto uid = s.appendMessage(folderPath, *message, {"\\Seen", "\\Draft"}, &error);
      if (!uid) return false;
      std::erase(*old, *uid);
    }
    for (uint32_t stale : *old) {
      ImapSourceRemoval removal = ImapSourceRemoval::removed;
      if (!s.deleteAndExpungeWithUID(stale, &error, &removal)) return false;
      if (removal == ImapSourceRemoval::flaggedOnly)
        log_line(log_kind::kWarning, kComponent,
                 "旧草稿只标记为删除: " + folderPath + " UID " + std::to_string(stale));
    }
    return true;
  });
  return folderPath;
}

}  // namespace kestrova::mail
