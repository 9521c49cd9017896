#include "safety/email_junk_filter_service.h"

#include <gtest/gtest.h>

#include "store/mail_test_fixture.h"

namespace kestrova::safety {
namespace {

store::EmailMessage mail(const std::string& subject, const std::string& body = "",
                         const std::string& from = "someone@example.org") {
  store::EmailMessage m;
  m.id = new_uuid();
  m.subject = subject;
  m.textBody = body;
  m.from.email = from;
  return m;
}

std::vector<std::string> reasons(const store::EmailMessage& m) { return EmailJunkFilterService::junkScore(m).reasons; }

TEST(JunkScore, SignalsAndTheirWeights) {
  // Three phrases stay below the threshold; a risky domain on top reaches it.
  auto phrases = mail("中奖 and 返利", "Click Here now");
  EXPECT_NEAR(EmailJunkFilterService::junkScore(phrases).score, 2.7, 1e-9);
  EXPECT_EQ(reasons(phrases), (std::vector<std::string>{"spam-words"}));
  phrases.from.email = " Promo@Deals.TOP ";
  const auto with_domain = EmailJunkFilterService::junkScore(phrases);
  EXPECT_NEAR(with_domain.score, 3.5, 1e-9);
  EXPECT_EQ(with_domain.reasons, (std::vector<std::string>{"spam-words", "risky-domain"}));
  // Each phrase counts once, however often it occurs.
  EXPECT_NEAR(EmailJunkFilterService::junkScore(mail("发票 发票", "发票")).score, 0.9, 1e-9);

  // Two "http" are not many links; three are.
  EXPECT_TRUE(reasons(mail("a", "http://a http://b")).empty());
  EXPECT_EQ(reasons(mail("a", "http://a http://b https://c")), (std::vector<std::string>{"many-links"}));
  // Without a text body the HTML is the body.
  auto html = mail("a");
  html.textBody.reset();
  html.htmlBody = "<a href='http://a'>1</a><a href='http://b'>2</a><a href='http://c'>3</a> limited offer";
  EXPECT_EQ(reasons(html), (std::vector<std::string>{"spam-words", "many-links"}));

  // 2 of 10 characters are symbols (20 %) → symbol-heavy; 1 of 10 (10 %) is not.
  EXPECT_EQ(reasons(mail("Sale now!!")), (std::vector<std::string>{"symbol-heavy-subject"}));
  EXPECT_TRUE(reasons(mail("Sale now !")).empty());
  // Characters, not bytes: five full-width symbols in a 20-character subject are 25 %.
  EXPECT_EQ(reasons(mail("★★￥￥☆一二三四五六七八九十一二三四五")), (std::vector<std::string>{"symbol-heavy-subject"}));

  auto tracker = mail("Hi");
  tracker.containsRemoteResources = true;
  EXPECT_EQ(reasons(tracker), (std::vector<std::string>{"remote-tracker"}));
  tracker.hasAttachments = true;
  EXPECT_TRUE(reasons(tracker).empty());
}

TEST(JunkScore, IsolationOutliersNeedTwoFlags) {
  const std::string long_local = std::string(29, 'x') + "@example.org";
  // One flag alone (a long local part) gives nothing.
  EXPECT_TRUE(reasons(mail("Hello", "A normal body of some length here.", long_local)).empty());
  // Long local part + a short body with a link: two flags, 1.3.
  const auto two = EmailJunkFilterService::junkScore(mail("Hello", " http://x.io ", long_local));
  EXPECT_EQ(two.reasons, (std::vector<std::string>{"isolation-outlier"}));
  EXPECT_NEAR(two.score, 1.3, 1e-9);
  // A 91-character subject and a short text with 19 digits: three flags (the body is too
  // long now to count as short).
  const std::string subject(91, 's');
  const auto three = EmailJunkFilterService::junkScore(mail(subject, "http 1234567890123456789", long_local));
  EXPECT_NEAR(three.score, 3 * 0.65, 1e-9);
  // Digits count only in a text under 500 characters; a 90-character subject is not long.
  const auto none = EmailJunkFilterService::junkScore(
      mail(std::string(90, 's'), "1234567890123456789" + std::string(500, ' ') + "end", long_local));
  EXPECT_TRUE(none.reasons.empty());
  // A 28-character local part is not long.
  EXPECT_TRUE(reasons(mail("Hello", " http://x.io ", std::string(28, 'x') + "@example.org")).empty());
}

class JunkFilterService : public testing::SmallStoreTest {
 protected:
  JunkFilterService() : service_(*db_, clock()) {
    db_->write([&](store::Connection& c) {
      c.prepare("INSERT INTO email_accounts (id, email_address, display_name, service_type, imap_host, imap_port, "
                "imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, updated_at) VALUES (?, "
                "'other@example.org', 'Other', '自定义', '', 993, 'ssl', '', 587, 'startTLS', 1, 1)")
          .bind_all(other_account_)
          .run();
    });
  }

  EmailJunkFilterService service_;
  const std::string other_account_ = new_uuid();
};

TEST_F(JunkFilterService, BlockedEntriesMatchPerAccount) {
  ASSERT_TRUE(service_.add(account_id_, " @Bad.Example ", std::nullopt));
  ASSERT_TRUE(service_.add(account_id_, "spam.example", std::string("whole domain")));
  ASSERT_TRUE(service_.add(other_account_, "one@elsewhere.example", std::nullopt));

  EXPECT_TRUE(service_.isBlocked("Anyone@BAD.example", account_id_));
  EXPECT_FALSE(service_.isBlocked("anyone@bad.example", other_account_));  // that account only
  EXPECT_TRUE(service_.isBlocked(" x@spam.example ", account_id_));
  EXPECT_FALSE(service_.isBlocked("x@sub.spam.example", account_id_));  // exact domain only
  EXPECT_TRUE(service_.isBlocked("one@elsewhere.example", other_account_));
  EXPECT_FALSE(service_.isBlocked("two@elsewhere.example", other_account_));
  EXPECT_FALSE(service_.isBlocked("", account_id_));
}

}  // namespace
}  // namespace kestrova::safety
