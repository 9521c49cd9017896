#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "mail/email_service.h"
#include "mail/email_sync_flow.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/uuid.h"

namespace kestrova::bench {

// A fresh mail database (and settings file beside it) with one account on a plain-text IMAP
// server, and the store, service and sync flow a benchmark works with. Not thread-safe.
struct BenchMailAccount {
  BenchMailAccount(const std::filesystem::path& dbFile, const std::string& host, int port,
                   const std::string& user)
      : db(store::EmailDatabase::open(dbFile)),
        settings(dbFile.parent_path() / "settings.json"),
        store(*db, settings),
        flow(store, service) {
    service.setDatabase(db.get());
    account.id = new_uuid();
    account.emailAddress = user;
    account.imapHost = host;
    account.imapPort = port;
    account.imapEncryption = store::EmailEncryption::none;
    store.saveAccount(account);
  }

  std::unique_ptr<store::EmailDatabase> db;
  platform::SettingsStore settings;
  store::EmailStore store;
  mail::EmailService service;
  mail::EmailSyncFlow flow;
  store::EmailAccount account;
};

}  // namespace kestrova::bench
