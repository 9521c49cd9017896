// The Rules page standing alone over a generated mailbox: a rule written in its editor is
// previewed against the stored messages, saved, applied after a confirmation, reordered,
// switched off and deleted — all read back from the rule table and the messages.

#include "app/desktop/settings/rules_page.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include "app/core/user_preferences.h"
#include "generated_mailbox.h"
#include "platform/settings_store.h"
#include "rules/email_rule_service.h"

namespace kestrova::app::desktop {
namespace {

class RulesPageTest : public ::testing::Test {
 protected:
  RulesPageTest()
      : settings_(settingsDir_.path() / "settings.json"),
        preferences_(settings_),
        page_(mailbox_.database(), preferences_, nullptr),
        service_(mailbox_.database()) {
    page_.show();
    accountId_ = field<QComboBox>("account")->currentData().toString().toStdString();
  }

  template <class Widget>
  Widget* field(const char* name) {
    auto* widget = page_.findChild<Widget*>(name);
    EXPECT_TRUE(widget) << name;
    return widget;
  }
  // Messages of the account that the condition (SQL over email_messages) selects, as the
  // rule service's candidates are chosen.
  int64_t stored(const std::string& condition) {
    return mailbox_.database().read([&](store::Connection& c) {
      auto s = c.prepare(
          "SELECT COUNT(*) FROM email_messages WHERE account_id = ? AND is_deleted = 0 AND "
          "is_draft = 0 AND " +
          condition);
      s.bind(1, accountId_);
      s.step();
      return s.integer(0).value_or(-1);
    });
  }

  testing::GeneratedMailbox mailbox_;
  testing::TempDir settingsDir_;
  platform::SettingsStore settings_;
  UserPreferences preferences_;
  RulesPage page_;
  rules::EmailRuleService service_;
  std::string accountId_;
};

TEST_F(RulesPageTest, PreviewFollowsTheConditionsAsTheyAreEdited) {
  ASSERT_FALSE(accountId_.empty());
  page_.new_rule();
  // Each step adds a condition in the editor; the preview must list exactly the stored
  // messages of the account that satisfy all of them.
  struct Step {
    const char* what;
    std::function<void()> edit;
    std::string sql;
  };
  const std::vector<Step> steps = {
      {"subject, in other letter case",
       [&] { field<QLineEdit>("subjectContains")->setText("weekly REPORT"); },
       "subject LIKE '%weekly report%'"},
      {"unread", [&] { field<QComboBox>("isRead")->setCurrentIndex(2); },
       "subject LIKE '%weekly report%' AND is_read = 0"},
      {"with attachments", [&] { field<QComboBox>("hasAttachments")->setCurrentIndex(1); },
       "subject LIKE '%weekly report%' AND is_read = 0 AND has_attachments = 1"},
      {"subject cleared, sender name or address",
       [&] {
         field<QLineEdit>("subjectContains")->clear();
         field<QComboBox>("isRead")->setCurrentIndex(0);
         field<QComboBox>("hasAttachments")->setCurrentIndex(0);
         field<QLineEdit>("fromContains")->setText("Anderson");
       },
       "(from_email LIKE '%anderson%' OR from_name LIKE '%anderson%')"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    step.edit();
    page_.update_preview();
    const int64_t expected = stored(step.sql);
    EXPECT_EQ(page_.preview_count(), expected);
    EXPECT_EQ(page_.preview_subjects().size(),
              std::min<int64_t>(expected, RulesPage::kPreviewRows));
  }
  // Nothing was stored by previewing.
  EXPECT_TRUE(service_.rulesOf(accountId_).empty());
}

TEST_F(RulesPageTest, RuleIsSavedAppliedAfterConfirmationReorderedAndDeleted) {
  page_.new_rule();
  EXPECT_FALSE(page_.save());  // no name yet
  field<QLineEdit>("name")->setText("Reports");
  field<QLineEdit>("subjectContains")->setText("Weekly report");
  field<QLineEdit>("addTags")->setText("reports, reports , weekly");
  field<QCheckBox>("markAsImportant")->setChecked(true);
  page_.update_preview();
  const int matching = page_.preview_count();
  ASSERT_GT(matching, 0);
  for (const QString& subject : page_.preview_subjects())
    EXPECT_TRUE(subject.contains("Weekly report", Qt::CaseInsensitive)) << subject.toStdString();
  ASSERT_TRUE(page_.save());

  auto stored_rules = service_.rulesOf(accountId_);
  ASSERT_EQ(stored_rules.size(), 1u);
  const auto& rule = stored_rules.front();
  EXPECT_EQ(rule.name, "Reports");
  EXPECT_EQ(rule.conditions.subjectContains, "Weekly report");
  EXPECT_EQ(rule.actions.addTags, (std::vector<std::string>{"reports", "weekly"}));
  EXPECT_EQ(rule.actions.markAsImportant, true);
  EXPECT_FALSE(rule.actions.moveToFolder);
  EXPECT_TRUE(rule.isEnabled);

  // Apply: declined, nothing changes; accepted, the question named the count it changes.
  const auto tagged = [&] { return stored("tags LIKE '%\"reports\"%'"); };
  QString asked;
  page_.confirm = [&](const QString& question) {
    asked = question;
    return false;
  };
  EXPECT_FALSE(page_.apply_to_existing());
  EXPECT_EQ(tagged(), 0);
  page_.confirm = [&](const QString& question) {
    asked = question;
    return true;
  };
  const auto changed = page_.apply_to_existing();
  ASSERT_TRUE(changed);
  EXPECT_GT(*changed, 0u);
  EXPECT_LE(*changed, static_cast<size_t>(matching));
  EXPECT_TRUE(asked.contains(QString::number(*changed))) << asked.toStdString();
  EXPECT_EQ(tagged(), static_cast<int64_t>(*changed));
  EXPECT_EQ(stored("tags LIKE '%\"reports\"%' AND is_important = 1"),
            static_cast<int64_t>(*changed));
  // Applying again finds nothing left to change and asks nothing.
  asked.clear();
  EXPECT_EQ(page_.apply_to_existing(), 0u);
  EXPECT_TRUE(asked.isEmpty());

  // A second rule runs first (newest first) until it is moved down.
  page_.new_rule();
  field<QLineEdit>("name")->setText("Orders");
  field<QLineEdit>("subjectContains")->setText("order");
  ASSERT_TRUE(page_.save());
  const auto order = [&] {
    std::vector<std::string> names;
    for (const auto& r : service_.rulesForApplication(accountId_, true)) names.push_back(r.name);
    return names;
  };
  EXPECT_EQ(order(), (std::vector<std::string>{"Orders", "Reports"}));
  page_.move_rule(0, 1);
  EXPECT_EQ(order(), (std::vector<std::string>{"Reports", "Orders"}));
  EXPECT_EQ(page_.rule_ids().front(), rule.id);

  // Switched off, it leaves the enabled rules at once.
  page_.set_enabled(0, false);
  EXPECT_FALSE(service_.rule(rule.id)->isEnabled);
  EXPECT_EQ(service_.rulesForApplication(accountId_).size(), 1u);

  // Deleting asks first.
  page_.confirm = [](const QString&) { return false; };
  page_.delete_rule(0);
  EXPECT_TRUE(service_.rule(rule.id));
  page_.confirm = [](const QString&) { return true; };
  page_.delete_rule(0);
  EXPECT_FALSE(service_.rule(rule.id));
  EXPECT_EQ(page_.rule_ids().size(), 1u);
}

TEST_F(RulesPageTest, RuleWhoseStoredTextCannotBeReadIsNotAppliedAsEveryMessage) {
  // Conditions broken by another program, actions intact: shown with empty conditions.
  mailbox_.database().write([&](store::Connection& c) {
    c.prepare(
         "INSERT INTO email_rules (id, account_id, name, conditions, actions, is_enabled, "
         "created_at, updated_at) VALUES (?, ?, 'Broken', 'not json', ?, 1, 1, 1)")
        .bind_all("6F1C2D3E-4A5B-4C6D-8E9F-0A1B2C3D4E5F", accountId_, R"({"markAsRead":true})")
        .run();
  });
  page_.reload();
  ASSERT_EQ(page_.rule_ids().size(), 1u);
  page_.select_rule(0);
  const int64_t unread = stored("is_read = 0");
  ASSERT_GT(unread, 0);
  page_.confirm = [](const QString&) { return true; };
  EXPECT_FALSE(page_.apply_to_existing());
  EXPECT_EQ(stored("is_read = 0"), unread);
}

}  // namespace
}  // namespace kestrova::app::desktop
