#include "util/localization.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrova {
namespace {

TEST(Localization, FormatFillsPlaceholdersInOrder) {
  EXPECT_EQ(localized_format("followup.notify.waiting.body", "周报", 3), "「周报」已经等 3 天");
  EXPECT_EQ(localized_format("action.notify.wake.body", std::string("签合同")),
            "「签合同」需要继续处理");
  EXPECT_EQ(localized_format("followup.notify.reply_later.body", "Re: 预算"),
            "「Re: 预算」到了你设的回复时间");
  // An argument that itself looks like a placeholder is inserted, never expanded again.
  EXPECT_EQ(localized_format("followup.notify.waiting.body", "50%@ off %d", -2),
            "「50%@ off %d」已经等 -2 天");
}

TEST(Localization, FormatIsSafeWithMissingOrSurplusArguments) {
  EXPECT_EQ(localized_format("followup.notify.waiting.body"), "「%@」已经等 %d 天");
  EXPECT_EQ(localized_format("followup.notify.waiting.body", "周报"), "「周报」已经等 %d 天");
  EXPECT_EQ(localized_format("action.notify.wake.body", "a", "b", 3), "「a」需要继续处理");
  const std::vector<std::string> one{"x"};
  EXPECT_EQ(format_placeholders("100%% %s %@ 50%", one), "100% %s x 50%");
  EXPECT_EQ(format_placeholders("%", one), "%");
}

TEST(Localization, KeysReadTheirTextAndUnknownKeysThemselves) {
  EXPECT_EQ(localized("action.notify.wake.title"), "行动项到时间了");
  EXPECT_EQ(localized("notification.new_mail.generic"), "收到一封新邮件");
  EXPECT_EQ(localized("email.folder.drafts"), "草稿箱");
  EXPECT_EQ(localized("no.such.key"), "no.such.key");
  EXPECT_EQ(localized_format("no.such.key", 1), "no.such.key");

  // Bodies that name the message carry exactly the placeholder their callers fill.
  EXPECT_NE(localized("snooze.expired.body").find("%@"), std::string::npos);
}

}  // namespace
}  // namespace kestrova
