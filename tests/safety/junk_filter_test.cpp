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
    other_account_ = new_uuid();
    spam_folder_ = new_uuid();
    db_->write([&](store::Connection& c) {
      c.prepare("INSERT INTO email_accounts (id, email_address, display_name, service_type, imap_host, imap_port, "
                "imap_encryption, smtp_host, smtp_port, smtp_encryption, created_at, updated_at) VALUES (?, "
                "'other@example.org', 'Other', '自定义', '', 993, 'ssl', '', 587, 'startTLS', 1, 1)")
          .bind_all(other_account_)
          .run();
    });
    folders_.push_back(folder(inbox_id_, "INBOX", store::EmailFolderType::inbox));
  }
  store::EmailFolder folder(const std::string& id, const std::string& name, store::EmailFolderType type) {
    store::EmailFolder f;
    f.id = id;
    f.accountId = account_id_;
    f.name = f.path = name;
    f.type = type;
    return f;
  }
  store::EmailMessage incoming(const std::string& from, const std::string& subject = "Hello") {
    auto m = mail(subject, "Just checking in.", from);
    m.accountId = account_id_;
    m.folderId = inbox_id_;
    return m;
  }

  EmailJunkFilterService service_;
  std::string other_account_, spam_folder_;
  std::vector<store::EmailFolder> folders_;
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

TEST_F(JunkFilterService, ReAddingUpdatesTheNoteAndKeepsTheEntry) {
  const auto first = service_.add(account_id_, "Ann@Example.org", std::string("first"));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->email, "ann@example.org");
  EXPECT_EQ(first->createdAt, now_);
  now_ += 100;
  const auto again = service_.add(account_id_, "ann@example.org", std::string("second"));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->id, first->id);
  EXPECT_EQ(again->createdAt, first->createdAt);
  EXPECT_EQ(again->updatedAt, now_);
  EXPECT_EQ(again->note, "second");
  EXPECT_EQ(count("SELECT COUNT(*) FROM email_blocked_senders"), 1);

  now_ += 100;
  const auto newer = service_.add(account_id_, "bob@example.org", std::nullopt);
  const auto listed = service_.list();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].id, newer->id);  // newest change first
  EXPECT_EQ(listed[1], *again);

  EXPECT_TRUE(service_.remove(first->id));
  EXPECT_TRUE(service_.remove(first->id));  // already gone: nothing to do
  EXPECT_EQ(service_.list().size(), 1u);
  EXPECT_FALSE(service_.add(account_id_, "   ", std::nullopt));
  // An unknown account is refused by the database; the list stays as it was.
  EXPECT_FALSE(service_.add(new_uuid(), "x@example.org", std::nullopt));
  EXPECT_EQ(service_.list().size(), 1u);
}

TEST_F(JunkFilterService, DecisionAndItsActions) {
  service_.add(account_id_, "@bad.example", std::nullopt);
  JunkFilterSettings settings;  // everything off
  auto plain = incoming("a@bad.example");
  EXPECT_FALSE(service_.evaluate(plain, folders_, settings).action);
  EXPECT_FALSE(plain.isSpam);

  // A blocked sender alone reaches the threshold, with the junk filter off; the blocked
  // action applies, and without a spam folder the message is marked instead of moved.
  settings.blockedSenderFilterEnabled = true;
  settings.blockedSenderAction = EmailJunkFilterAction::moveToSpam;
  auto blocked = incoming("a@bad.example");
  auto decision = service_.evaluate(blocked, folders_, settings);
  EXPECT_EQ(decision.score.score, 10);
  EXPECT_EQ(decision.score.reasons, (std::vector<std::string>{"blocked-sender"}));
  EXPECT_EQ(decision.action, EmailJunkFilterAction::moveToSpam);
  EXPECT_FALSE(decision.spamFolderId);
  EXPECT_TRUE(blocked.isSpam);
  EXPECT_EQ(blocked.folderId, inbox_id_);

  folders_.push_back(folder(spam_folder_, "Junk", store::EmailFolderType::spam));
  auto moved = incoming("a@bad.example", "limited offer 中奖");
  settings.junkFilterEnabled = true;
  decision = service_.evaluate(moved, folders_, settings);
  EXPECT_EQ(decision.score.reasons, (std::vector<std::string>{"blocked-sender", "spam-words"}));
  EXPECT_NEAR(decision.score.score, 11.8, 1e-9);
  EXPECT_EQ(decision.spamFolderId, spam_folder_);
  EXPECT_EQ(moved.folderId, spam_folder_);
  EXPECT_FALSE(moved.isSpam);

  // Junk by score uses the junk action: marked, kept in its folder.
  settings.junkFilterAction = EmailJunkFilterAction::markSpam;
  auto junk = incoming("promo@deals.click", "中奖 返利 贷款");
  decision = service_.evaluate(junk, folders_, settings);
  EXPECT_EQ(decision.action, EmailJunkFilterAction::markSpam);
  EXPECT_TRUE(junk.isSpam);
  EXPECT_EQ(junk.folderId, inbox_id_);
  // Just below the threshold: delivered as it came.
  auto almost = incoming("promo@deals.example", "中奖 返利 贷款");
  const auto before = almost;
  EXPECT_FALSE(service_.evaluate(almost, folders_, settings).action);
  EXPECT_EQ(almost, before);
}

}  // namespace
}  // namespace kestrova::safety
