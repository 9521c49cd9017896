// The automatic-reply service driven directly, against the loopback servers: what it sends
// is judged by the SMTP spool.

#include <gtest/gtest.h>

#include "app/core/email_auto_reply_service.h"
#include "app/core/user_preferences.h"
#include "cli_fixture.h"
#include "mail/outgoing_message.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/time.h"

namespace kestrova::app {
namespace {

class WritingServicesTest : public testing::CliTest {
 protected:
  void SetUp() override {
    add_account();
    store_.loadAccounts();
  }
  std::vector<testing::MailServers::ReceivedMail> sent() const {
    return servers_.received_from(user_);
  }

  store::EmailDatabase& db_ = store::EmailDatabase::shared();
  store::EmailStore store_{db_, platform::SettingsStore::shared()};
};

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
