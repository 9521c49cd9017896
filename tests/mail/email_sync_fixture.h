#pragma once

// A mail account on the loopback Dovecot (a fresh user) with a mail database in a temporary
// home, and the account service and sync flow over them: the set-up of the tests that sync
// real mailboxes.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "mail/email_service.h"
#include "mail/email_sync_flow.h"
#include "mail/libetpan_imap_session.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "support/mail_servers.h"
#include "support/test_support.h"
#include "util/uuid.h"

namespace kestrova::mail {

class EmailSyncFixture : public ::testing::Test {
 protected:
  EmailSyncFixture() {
    account_.id = new_uuid();
    account_.emailAddress = user_;
    account_.imapHost = servers_.host;
    account_.imapPort = servers_.imap_plain;
    account_.imapEncryption = store::EmailEncryption::none;
    account_.smtpHost = servers_.host;
    account_.smtpPort = servers_.smtp_no_tls;
    store_.saveAccount(account_);
  }

  std::vector<store::EmailFolder> syncFolders() { return flow_.syncFolders(account_, password_); }

  store::EmailFolder folderAt(const std::string& path) {
    for (const auto& f : syncFolders())
      if (f.path == path) return f;
    ADD_FAILURE() << "no folder " << path;
    return {};
  }

  std::vector<store::EmailMessage> stored(const store::EmailFolder& folder) {
    return store_.loadMessages(folder, 100000);
  }

  std::unique_ptr<LibEtPanIMAPSession> imap() {
    auto session = LibEtPanIMAPSession::initWithHost(servers_.host, servers_.imap_plain, "none",
                                                     user_, servers_.password);
    LibEtPanError error;
    EXPECT_TRUE(session->connectWithError(&error) && session->loginWithError(&error))
        << error.localizedDescription;
    return session;
  }

  std::vector<uint32_t> serverUids(const std::string& folder) {
    auto session = imap();
    if (!session->selectFolder(folder)) return {};
    std::vector<uint32_t> uids;
    if (auto listed = session->fetchMessagesFromUID(1, 0))
      for (const auto& e : *listed) uids.push_back(e.uid);
    std::sort(uids.begin(), uids.end());
    return uids;
  }

  testing::TempDir dir_;
  testing::ScopedHome home_{dir_.path()};
  const testing::MailServers& servers_ = testing::MailServers::shared();
  const std::string user_ = servers_.fresh_user();
  const std::optional<std::string> password_ = servers_.password;
  std::unique_ptr<store::EmailDatabase> db_ = store::EmailDatabase::open(dir_.path() / "email.db");
  platform::SettingsStore settings_{dir_.path() / "settings.json"};
  store::EmailStore store_{*db_, settings_};
  EmailService service_;
  EmailSyncFlow flow_{store_, service_};
  store::EmailAccount account_;
};

}  // namespace kestrova::mail
