#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/main_queue.h"
#include "platform/settings_store.h"
#include "store/email_message.h"
#include "store/email_store.h"
#include "store/local_notification_poster.h"
#include "store_test_support.h"
#include "util/uuid.h"

namespace kestrova::testing {

// A mail database in a temporary directory holding one account with an inbox, plus a
// clock the test moves by hand and a notification poster that records what it is given.
class SmallStoreTest : public StoreTest {
 protected:
  static constexpr double kStart = 1'700'000'000;  // 2023-11-14 22:13:20 UTC

  SmallStoreTest() : account_id_(new_uuid()), inbox_id_(new_uuid()) {
    db_->write([&](store::Connection& c) {
      c.prepare(
           "INSERT INTO email_accounts (id, email_address, display_name, service_type, "
           "imap_host, imap_port, imap_encryption, smtp_host, smtp_port, smtp_encryption, "
           "created_at, updated_at) VALUES (?, 'me@example.org', 'Me', '自定义', '', 993, "
           "'ssl', '', 587, 'startTLS', ?, ?)")
          .bind_all(account_id_, kStart, kStart)
          .run();
      c.prepare(
           "INSERT INTO email_folders (id, account_id, name, type, path) VALUES (?, ?, "
           "'INBOX', 'inbox', 'INBOX')")
          .bind_all(inbox_id_, account_id_)
          .run();
    });
  }

  std::function<double()> clock() {
    return [this] { return now_; };
  }
  store::LocalNotificationPoster poster() {
    return [this](const store::LocalNotification& n) { posted_.push_back(n); };
  }

  // An inbox message written as a row; `change` fills in what the test is about.
  store::EmailMessage add_message(
      const std::string& subject,
      const std::function<void(store::EmailMessage&)>& change = [](store::EmailMessage&) {}) {
    store::EmailMessage m;
    m.id = new_uuid();
    m.accountId = account_id_;
    m.folderId = inbox_id_;
    m.messageId = "<" + m.id + "@example.org>";
    m.subject = subject;
    m.from = {std::string("Sender"), "sender@example.org"};
    m.date = m.syncedAt = m.updatedAt = now_ - 3600;
    change(m);
    db_->write([&](store::Connection& c) {
      c.prepare(
           "INSERT INTO email_messages (id, account_id, folder_id, message_id, subject, "
           "from_name, from_email, date, synced_at, updated_at, is_deleted, snoozed_until, "
           "reply_later_until, waiting_since, internal_note) VALUES (?, ?, ?, ?, ?, ?, ?, ?, "
           "?, ?, ?, ?, ?, ?, ?)")
          .bind_all(m.id, m.accountId, m.folderId, m.messageId, m.subject, m.from.name,
                    m.from.email, m.date, m.syncedAt, m.updatedAt, m.isDeleted, m.snoozedUntil,
                    m.replyLaterUntil, m.waitingSince, m.internalNote)
          .run();
    });
    return m;
  }

  // One REAL column of a message row (NULL as nothing).
  std::optional<double> real_column(const std::string& id, const std::string& column) {
    return db_->read([&](store::Connection& c) {
      auto s = c.prepare("SELECT " + column + " FROM email_messages WHERE id = ?");
      s.bind(1, id);
      return s.step() ? s.real(0) : std::nullopt;
    });
  }

  int64_t count(const std::string& sql) {
    return db_->read([&](store::Connection& c) {
      auto s = c.prepare(sql);
      s.step();
      return s.integer(0).value_or(-1);
    });
  }

  double now_ = kStart;
  std::vector<store::LocalNotification> posted_;
  const std::string account_id_;
  const std::string inbox_id_;
};

// The same with a settings file and a mail store over the database, for the services that
// write through the mail store.
class MailTest : public SmallStoreTest {
 protected:
  MailTest() : settings_(dir_.path() / "settings.json"), mail_(*db_, settings_) {
    mail_.loadFolders();
  }

  // Loads the inbox into the mail store's memory.
  const std::vector<store::EmailMessage>& load_inbox() {
    auto inbox = mail_.folder(inbox_id_);
    EXPECT_TRUE(inbox.has_value());
    if (inbox) mail_.loadFolderMessages(*inbox).wait();
    platform::MainQueue::drain();
    return mail_.messagesIn(inbox_id_);
  }

  platform::SettingsStore settings_;
  store::EmailStore mail_;
};

}  // namespace kestrova::testing
