// The settings window driven as a person would, over a generated mailbox: what it stores is
// what the settings file, the store and the command line then hold, and the window follows.

#include "app/desktop/settings/settings_dialog.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTextBrowser>
#include <QStyle>
#include <QStyleFactory>
#include <QThread>
#include <QTreeWidget>
#include <chrono>
#include <fstream>

#include "ai/ai_test_server.h"
#include "app/core/user_preferences.h"
#include "app/desktop/main_window.h"
#include "app/desktop/reading_pane.h"
#include "app/desktop/settings/agent_page.h"
#include "app/desktop/settings/ai_page.h"
#include "app/desktop/settings/ai_settings.h"
#include "app/desktop/settings/safety_page.h"
#include "app/desktop/settings/setting_controls.h"
#include "generated_mailbox.h"
#include "platform/settings_store.h"
#include "safety/email_junk_filter_service.h"
#include "store/email_store.h"
#include "util/localization.h"

namespace kestrova::app::desktop {
namespace {

template <class F>
bool wait_for(F done) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done() && std::chrono::steady_clock::now() < until) {
    QApplication::processEvents();
    QThread::msleep(5);
  }
  return done();
}

// Chooses the entry whose stored value is `value` in the combo box bound to `key`.
void choose(QWidget& page, const char* key, const Json& value) {
  auto* box = page.findChild<QComboBox*>(key);
  ASSERT_NE(box, nullptr) << key;
  const int index = box->findData(QString::fromStdString(value.dump()));
  ASSERT_GE(index, 0) << key << " " << value.dump();
  box->setCurrentIndex(index);
}

class SettingsDialogTest : public ::testing::Test {
 protected:
  SettingsDialogTest()
      : file_(settingsDir_.path() / "settings.json"), settings_(file_), preferences_(settings_) {
    window_ = std::make_unique<MainWindow>(mailbox_.database(), preferences_);
    window_->show();
    QApplication::processEvents();
  }
  // The appearance settings change the whole application: put it back for the next tests.
  ~SettingsDialogTest() override {
    QApplication::setStyle(QStyleFactory::create(style_));
    QApplication::setPalette(palette_);
    QApplication::setFont(font_);
  }

  // What the settings file itself holds, read as another process would.
  Json stored(const std::string& key) const {
    std::ifstream in(file_);
    const Json all = Json::parse(in);
    return all.contains(key) ? all[key] : Json();
  }
  SettingsDialog& open(const char* page) {
    window_->action("settings")->trigger();  // the menu entry (Ctrl+,)
    SettingsDialog* dialog = window_->open_settings(page);
    EXPECT_EQ(dialog->current_page(), page);
    return *dialog;
  }

  const QString style_ = QApplication::style()->name();
  const QPalette palette_ = QApplication::palette();
  const QFont font_ = QApplication::font();
  testing::TempDir settingsDir_;
  std::filesystem::path file_;
  platform::SettingsStore settings_;
  UserPreferences preferences_;
  testing::GeneratedMailbox mailbox_;
  std::unique_ptr<MainWindow> window_;
};

TEST_F(SettingsDialogTest, ReadingChangesReachTheFileAndTheOpenMessageAtOnce) {
  ASSERT_TRUE(window_->current_message_id());
  SettingsDialog& dialog = open("reading");
  QWidget& page = *dialog.page("reading");
  auto* body = window_->reading_pane().findChild<QTextBrowser*>();
  ASSERT_NE(body, nullptr);

  struct Case {
    const char* key;
    Json value;
    std::function<bool()> paneFollows;
  };
  const Case cases[] = {
      {"emailReadingThemeMode", "dark",
       [&] { return body->palette().color(QPalette::Base) == QColor(0x1e, 0x1f, 0x22); }},
      {"emailReadingThemeMode", "warmPaper",
       [&] { return body->palette().color(QPalette::Base) == QColor(0xf6, 0xef, 0xdc); }},
      {"emailReadingFontSize", 20,
       [&] { return body->document()->defaultFont().pointSize() == 15; }},
      {"emailReadingLineSpacing", "relaxed",
       [&] { return body->document()->defaultStyleSheet().contains("170%"); }},
      {"appInterfaceFontScale", "large",
       [&] { return QApplication::font().pointSizeF() == 12.5; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    choose(page, c.key, c.value);
    EXPECT_EQ(stored(c.key), c.value);
    EXPECT_EQ(preferences_.value(c.key), c.value);
    EXPECT_TRUE(c.paneFollows());
  }
  EXPECT_TRUE(dialog.refusal_text().isEmpty());

  // A value the command line refuses is refused here with its words, and nothing is written.
  testing::KestrovaHome home;
  const auto cli = home({"settings", "set", "emailReadingLineSpacing", "tight"});
  ASSERT_NE(cli.exit_code, 0);
  SettingsEditor editor(preferences_);
  const auto refusal = editor.change("emailReadingLineSpacing", "tight");
  ASSERT_TRUE(refusal);
  EXPECT_NE(cli.err.find(*refusal), std::string::npos) << cli.err << " / " << *refusal;
  EXPECT_EQ(stored("emailReadingLineSpacing"), "relaxed");
}

TEST_F(SettingsDialogTest, AiProfileAddedWithAKeyAndTestedAgainstTheLocalProvider) {
  testing::AITestServer server;
  SettingsDialog& dialog = open("ai");
  auto& page = *static_cast<AiPage*>(dialog.page("ai"));
  const std::string key = "sk-settings-" + server.tag;

  struct Case {
    const char* behaviour;
    bool passes;
    std::string says;  // a piece of the result text
  };
  const Case cases[] = {
      {"ok", true, "Hello from gpt-4o-mini"},
      {"status401", false, localized("ai.action.test")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.behaviour);
    const size_t before = page.model().profiles().size();
    page.add_protocol().setCurrentIndex(page.add_protocol().findData(
        static_cast<int>(ai::AIProtocolType::openAI)));
    page.add_profile();
    ASSERT_EQ(page.model().profiles().size(), before + 1);
    const std::string id = page.selected_profile();
    page.endpoint_field().setText(QString::fromStdString(server.base(c.behaviour) + "/v1"));
    page.key_field().setText(QString::fromStdString(key));
    page.test_profile();
    ASSERT_TRUE(wait_for([&] { return !page.testing(); }));
    const std::string result = page.test_result().toStdString();
    EXPECT_EQ(result.rfind(c.passes ? "✓" : "✗", 0), 0u) << result;
    EXPECT_NE(result.find(c.says), std::string::npos) << result;
    EXPECT_EQ(result.find(key), std::string::npos) << "the key is never shown";
    EXPECT_EQ(server.last()["headers"]["authorization"], "Bearer " + key);
    // Stored where `kestrova ai` keeps profiles; the field never shows the key again.
    bool found = false;
    for (const Json& p : stored("aiServiceProfiles"))
      if (p["id"] == id) {
        found = true;
        EXPECT_EQ(p["apiKey"], key);
        EXPECT_EQ(p["endpoint"], server.base(c.behaviour) + "/v1");
      }
    EXPECT_TRUE(found);
    EXPECT_TRUE(page.key_field().text().isEmpty());
  }

  // A scenario bound to the new profile, then removed with it.
  const std::string id = page.selected_profile();
  auto* bind = page.findChild<QComboBox*>("bind_email_summary");
  ASSERT_NE(bind, nullptr);
  bind->setCurrentIndex(bind->findData(QString::fromStdString(id)));
  ASSERT_TRUE(page.model().binding(ai::AIScenario::emailSummary));
  EXPECT_EQ(page.model().binding(ai::AIScenario::emailSummary)->profileId, id);
  page.remove_profile();
  EXPECT_FALSE(page.model().profile(id));
  bool left = false;
  for (const Json& p : stored("aiServiceProfiles")) left = left || p["id"] == id;
  EXPECT_FALSE(left);
}

TEST_F(SettingsDialogTest, BlockedSendersGoToTheStoresListAndBack) {
  SettingsDialog& dialog = open("safety");
  auto& page = *static_cast<SafetyPage*>(dialog.page("safety"));
  safety::EmailJunkFilterService junk(mailbox_.database());
  store::EmailStore mail(mailbox_.database(), settings_);
  mail.loadAccounts();
  const size_t accounts = mail.accounts().size();
  ASSERT_GT(accounts, 1u);

  struct Case {
    QString typed;
    int account;  // 0: every account
    size_t added;
    std::string refusal;
  };
  const Case cases[] = {
      {"  Spam@Example.COM ", 0, accounts, ""},
      {"bulk@example.net", 2, 1, ""},
      {"   ", 0, 0, localized("cli.block.address_needed")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed.toStdString());
    const size_t before = junk.list().size();
    page.address_field().setText(c.typed);
    page.account_choice().setCurrentIndex(c.account);
    EXPECT_EQ(page.block(), c.refusal.empty());
    EXPECT_EQ(junk.list().size(), before + c.added);
    EXPECT_EQ(dialog.refusal_text().toStdString(), c.refusal);
    EXPECT_EQ(static_cast<size_t>(page.blocked_list().topLevelItemCount()), junk.list().size());
  }
  for (const auto& entry : junk.list()) EXPECT_NE(entry.email, "  spam@example.com ");
  const auto entries = junk.list();
  EXPECT_TRUE(junk.isBlocked("spam@example.com", mail.accounts()[0].id));
  EXPECT_TRUE(junk.isBlocked("bulk@example.net", mail.accounts()[1].id));
  EXPECT_FALSE(junk.isBlocked("bulk@example.net", mail.accounts()[0].id));

  page.unblock(0);  // the newest first, as `kestrova blocked` lists them
  EXPECT_EQ(junk.list().size(), entries.size() - 1);
  for (const auto& entry : junk.list()) EXPECT_NE(entry.id, entries.front().id);
}

TEST_F(SettingsDialogTest, AgentPageOffersWhatTheCommandLinePrintsAndStoresTheLevel) {
  SettingsDialog& dialog = open("agent");
  auto& page = *static_cast<AgentPage*>(dialog.page("agent"));
  for (const char* host : {"claude-desktop", "cursor", "vscode", "claude-code", "codex"}) {
    SCOPED_TRACE(host);
    const auto cli = testing::run_process(KESTROVA_BINARY, {"mcp", "config", "--host", host}, "");
    ASSERT_EQ(cli.exit_code, 0) << cli.err;
    EXPECT_EQ(page.snippet(host).toStdString() + "\n", cli.out);
  }
  choose(page, "mcpExposureLevel", "readonly");
  EXPECT_EQ(stored("mcpExposureLevel"), "readonly");
}

}  // namespace
}  // namespace kestrova::app::desktop
