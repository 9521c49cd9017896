#include "util/localization.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "util/localization_tables.h"

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

// The placeholders of a text in order ("@" or "d"): a translation must take the same
// arguments in the same order, or a caller would fill a number into a text slot.
std::string placeholder_kinds(std::string_view text) {
  std::string kinds;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != '%') continue;
    if (text[i + 1] == '@' || text[i + 1] == 'd') kinds.push_back(text[i + 1]);
    ++i;
  }
  return kinds;
}

TEST(Localization, EveryKeyHasBothLanguagesWithTheSamePlaceholders) {
  const auto& chinese = detail::chinese_texts();
  const auto& english = detail::english_texts();
  for (const auto& [key, text] : chinese) {
    auto it = english.find(key);
    if (it == english.end()) {
      ADD_FAILURE() << "no English text for " << key;
      continue;
    }
    // One language may use more of the trailing arguments than the other (an English text
    // that names the profile again in the command that fixes it); where both use an
    // argument, it is of the same kind.
    const std::string zh = placeholder_kinds(text), en = placeholder_kinds(it->second);
    const size_t shared = std::min(zh.size(), en.size());
    EXPECT_EQ(zh.substr(0, shared), en.substr(0, shared)) << key;
  }
  for (const auto& [key, text] : english)
    EXPECT_TRUE(chinese.contains(key)) << "no Chinese text for " << key;

  set_text_language("en-GB");
  EXPECT_EQ(localized_format("followup.notify.waiting.body", "Report", 3),
            "\"Report\" has been waiting for 3 days");
  set_text_language("zh-Hans");
  EXPECT_EQ(localized("email.folder.drafts"), "草稿箱");
}

}  // namespace
}  // namespace kestrova
