#include "store/email_follow_up_service.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "mail_test_fixture.h"

namespace kestrova::store {
namespace {

constexpr double kHour = 3600;
constexpr double kDay = 86400;

using EmailFollowUpServiceTest = testing::MailTest;

TEST_F(EmailFollowUpServiceTest, PastReplyLaterFiresOnceAndIsCleared) {
  const auto message =
      add_message("Budget", [&](EmailMessage& m) { m.replyLaterUntil = now_ - kHour; });
  add_message("  ", [&](EmailMessage& m) { m.replyLaterUntil = now_ - 2 * kHour; });
  add_message("Future", [&](EmailMessage& m) { m.replyLaterUntil = now_ + kHour; });
  ASSERT_EQ(load_inbox().size(), 3u);

  EmailFollowUpService service(*db_, mail_, settings_, {clock(), poster()});
  service.start();
  EXPECT_EQ(service.counts().replyLaterDueCount, 2);
  service.tick();
  ASSERT_EQ(posted_.size(), 2u);
  std::vector<std::string> bodies{posted_[0].body, posted_[1].body};
  std::sort(bodies.begin(), bodies.end());
  EXPECT_EQ(bodies, (std::vector<std::string>{"「Budget」到了你设的回复时间",
                                              "「（无主题）」到了你设的回复时间"}));
  EXPECT_EQ(posted_[0].title, "该回复邮件了");
  EXPECT_EQ(real_column(message.id, "reply_later_until"), std::nullopt);
  EXPECT_EQ(real_column(message.id, "updated_at"), now_);
  for (const auto& m : mail_.messagesIn(inbox_id_)) {
    if (m.id != message.id) continue;
    EXPECT_EQ(m.replyLaterUntil, std::nullopt);
    EXPECT_EQ(m.updatedAt, now_);
  }
  EXPECT_EQ(service.counts().replyLaterDueCount, 0);
  EXPECT_EQ(service.counts().replyLaterPendingCount, 1);

  now_ += 60;
  service.tick();
  EXPECT_EQ(posted_.size(), 2u);
}

TEST_F(EmailFollowUpServiceTest, OverdueWaitingIsAnnouncedOncePerDayWithTheDaysWaited) {
  const auto message =
      add_message("Offer", [&](EmailMessage& m) { m.waitingSince = now_ - 6.5 * kDay; });
  EmailFollowUpService service(*db_, mail_, settings_, {clock(), poster()});

  EXPECT_EQ(service.scan_waiting(), 1);
  ASSERT_EQ(posted_.size(), 1u);
  EXPECT_EQ(posted_[0].title, "仍在等待回复");
  EXPECT_EQ(posted_[0].body, "「Offer」已经等 6 天");
  const std::string key = "followup.waiting.notified." + message.id;
  EXPECT_EQ(platform::SettingsStore(settings_.path()).real(key), now_);

  now_ += kDay - 1;
  EXPECT_EQ(service.scan_waiting(), 0);
  now_ += 1;
  EXPECT_EQ(service.scan_waiting(), 1);
  ASSERT_EQ(posted_.size(), 2u);
  EXPECT_EQ(posted_[1].body, "「Offer」已经等 7 天");
  EXPECT_EQ(real_column(message.id, "waiting_since"), kStart - 6.5 * kDay);  // the mark stays
}

TEST_F(EmailFollowUpServiceTest, ScansWaitWhileFollowUpNotificationsAreOff) {
  const auto message = add_message("Held", [&](EmailMessage& m) {
    m.replyLaterUntil = now_ - kHour;
    m.waitingSince = now_ - 10 * kDay;
  });
  settings_.set("followUpNotifyEnabled", false);
  EmailFollowUpService service(*db_, mail_, settings_, {clock(), poster()});
  service.tick();
  EXPECT_TRUE(posted_.empty());
  EXPECT_EQ(real_column(message.id, "reply_later_until"), now_ - kHour);
  EXPECT_EQ(service.counts().replyLaterDueCount, 1);

  settings_.set("followUpNotifyEnabled", true);
  service.tick();
  EXPECT_EQ(posted_.size(), 2u);
}

}  // namespace
}  // namespace kestrova::store
