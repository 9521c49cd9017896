// The scheduled-send and automatic-reply services driven directly, against the loopback
// servers: what they send is judged by the SMTP spool, what they record by the database.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/core/email_auto_reply_service.h"
#include "app/core/email_scheduled_send_service.h"
#include "app/core/user_preferences.h"
#include "cli_fixture.h"
#include "mail/outgoing_message.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/scheduled_message.h"
#include "util/time.h"

namespace kestrova::app {
namespace {

using store::ScheduledMessage;

ComposedMessage composed(std::string to, std::string subject) {
  ComposedMessage m;
  m.to = {std::move(to)};
  m.subject = std::move(subject);
  m.body = "b";
  return m;
}

class WritingServicesTest : public testing::CliTest {
 protected:
  void SetUp() override {
    add_account();
    store_.loadAccounts();
    account_ = store_.accounts().at(0).id;
  }
  std::vector<testing::MailServers::ReceivedMail> sent() const {
    return servers_.received_from(user_);
  }

  store::EmailDatabase& db_ = store::EmailDatabase::shared();
  store::EmailStore store_{db_, platform::SettingsStore::shared()};
  std::string account_;
};

TEST_F(WritingServicesTest, ScheduledMessagesGoOutWhenDueAfterARestartAndFailForAGoneAccount) {
  const double now = now_seconds();
  ComposedMessage due = composed("ann@example.net", "Later");
  due.attachments.push_back({"attached", "../../a.txt", "text/plain"});
  const auto row = EmailScheduledSendService::schedule(db_, account_, due, now - 60);
  const auto directory = EmailScheduledSendService::attachmentDirectory(row.id);
  struct stat info {};
  ASSERT_EQ(stat(directory.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  // A run that stopped in the middle of the send left it "sending".
  store::ScheduledMessageStore table(db_);
  table.setStatus(row.id, ScheduledMessage::Status::sending, std::nullopt);
  const auto cancelled =
      EmailScheduledSendService::schedule(db_, account_, composed("x@example.net", "No"), now - 60);
  EXPECT_TRUE(EmailScheduledSendService::cancel(db_, cancelled.id));
  EmailScheduledSendService::schedule(db_, account_, composed("y@example.net", "Tomorrow"),
                                      now + 86400);

  std::vector<store::LocalNotification> notes;
  double clock = now;
  EmailScheduledSendService service(
      db_, store_, [&](const auto& n) { notes.push_back(n); }, {}, [&] { return clock; });
  service.start();
  auto mails = sent();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_NE(mails[0].data.find("Subject: Later\r\n"), std::string::npos);
  EXPECT_NE(mails[0].data.find("filename=\"../../a.txt\""),
            std::string::npos);  // a header value, never a path
  EXPECT_EQ(table.get(row.id)->status, ScheduledMessage::Status::sent);
  EXPECT_FALSE(std::filesystem::exists(directory));
  EXPECT_FALSE(table.get(cancelled.id));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].title, "定时邮件已发送");
  ASSERT_EQ(service.scheduledMessages().size(), 1u);

  store_.deleteAccount(account_);
  clock = now + 2 * 86400;
  service.tick();
  EXPECT_EQ(sent().size(), 1u);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[1].body, "“Tomorrow” 发送失败: Account not found");
  EXPECT_TRUE(service.scheduledMessages().empty());
}

TEST_F(WritingServicesTest, AutomaticRepliesGoOnceToEachRealSenderAndNeverToAutomaticMail) {
  UserPreferences preferences(platform::SettingsStore::shared());
  const double started = now_seconds();
  EmailAutoReplyService::setEnabled(preferences, true, started);
  // Stored before the switch was on: never answered.
  servers_.deliver(
      user_, "INBOX",
      "From: old@example.net\r\nSubject: Old\r\nMessage-ID: <old@example.net>\r\n\r\nx\r\n");
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  preferences.set(settings::emailAutoReplyTemplate, "I am away.");
  EmailAutoReplyService service(store_, preferences, {}, {}, [&] { return started; });
  service.start();

  const auto mail = [&](const std::string& from, const std::string& subject,
                        const std::string& extra = "") {
    static int n = 0;
    servers_.deliver(user_, "INBOX",
                     "From: " + from + "\r\nTo: " + user_ + "\r\nSubject: " + subject + "\r\n" +
                         extra + "Date: " + mail::format_message_date(now_seconds()) +
                         "\r\nMessage-ID: <m" + std::to_string(++n) +
                         "@example.net>\r\n\r\nbody\r\n");
  };
  mail("Ann <ann@example.net>", "Hello");
  mail("ann@example.net", "Again");
  mail(user_, "Note to self");
  mail("list@example.net", "Digest", "Auto-Submitted: auto-generated\r\n");
  mail("news@example.net", "News", "Precedence: bulk\r\n");
  mail("noreply@example.net", "Receipt");
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  service.process("poll");
  service.process("poll");

  auto mails = sent();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"ann@example.net"});
  EXPECT_NE(mails[0].data.find("Auto-Submitted: auto-replied\r\n"), std::string::npos)
      << mails[0].data;
  EXPECT_NE(mails[0].data.find("In-Reply-To: <m"), std::string::npos);
  EXPECT_NE(mails[0].data.find("I am away."), std::string::npos);

  preferences.set(settings::emailSuperPrivacyMode, true);
  mail("bob@example.net", "Hi");
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  service.process("poll");
  EXPECT_EQ(sent().size(), 1u);
}

}  // namespace
}  // namespace kestrova::app
