// The settings window driven as a person would, over a generated mailbox: what it stores is
// what the settings file, the store and the command line then hold, and the window follows.

#include "app/desktop/settings/settings_dialog.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QStyle>
#include <QStyleFactory>
#include <QTest>
#include <QTextBrowser>
#include <QThread>
#include <QTreeWidget>
#include <algorithm>
#include <chrono>
#include <fstream>

#include "ai/ai_test_server.h"
#include "app/core/user_preferences.h"
#include "app/core/writing/email_signature_templates.h"
#include "app/desktop/main_window.h"
#include "app/desktop/reading_pane.h"
#include "app/desktop/settings/agent_page.h"
#include "app/desktop/settings/ai_page.h"
#include "app/desktop/settings/ai_settings.h"
#include "app/desktop/settings/notifications_page.h"
#include "app/desktop/settings/safety_page.h"
#include "app/desktop/settings/setting_controls.h"
#include "app/desktop/settings/signatures_page.h"
#include "generated_mailbox.h"
#include "platform/settings_store.h"
#include "safety/email_junk_filter_service.h"
#include "store/email_store.h"
#include "util/localization.h"
#include "wait_for.h"

namespace kestrova::app::desktop {
namespace {

using testing::wait_for;

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
    if (!window_->findChild<SettingsDialog*>()) {
      QApplication::setActiveWindow(window_.get());  // shortcuts go to the active window
      QTest::keyClick(&window_->list_view(), Qt::Key_Comma, Qt::ControlModifier);
      EXPECT_NE(window_->findChild<SettingsDialog*>(), nullptr) << "Ctrl+, opens the settings";
    }
    SettingsDialog* dialog = window_->open_settings(page);
    EXPECT_EQ(window_->findChildren<SettingsDialog*>().size(), 1) << "one settings window";
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
      {"appInterfaceFontScale", "large", [&] { return QApplication::font().pointSizeF() == 12.5; }},
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
  // A chatty model's answer shows as its first line, shortened.
  server.reply_with({"OK, ready. " + std::string(600, 'x') + "\n\nAnything else?"});
  const Case cases[] = {
      {"ok", true, "Hello from gpt-4o-mini"},
      {"status401", false, localized("ai.action.test")},
      {"canned", true, "OK, ready."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.behaviour);
    const size_t before = page.model().profiles().size();
    page.add_protocol().setCurrentIndex(
        page.add_protocol().findData(static_cast<int>(ai::AIProtocolType::openAI)));
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
    EXPECT_EQ(result.find('\n'), std::string::npos) << result;
    EXPECT_LT(result.size(), 400u) << result;
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

// Every page fits the width of the settings window as it opens: no form keeps its fields or
// its Save button behind a sideways scroll.
TEST_F(SettingsDialogTest, EveryPageFitsTheWindowsWidthInBothLanguages) {
  const bool english = text_language() == TextLanguage::english;
  for (const char* language : {"zh-Hans", "en"}) {
    SCOPED_TRACE(language);
    set_text_language(language);
    SettingsDialog& dialog = open("ai");
    auto* pages = dialog.findChild<QListWidget*>("settingsPages");
    ASSERT_NE(pages, nullptr);
    for (int i = 0; i < pages->count(); ++i) {
      const QString id = pages->item(i)->data(Qt::UserRole + 1).toString();
      SCOPED_TRACE(id.toStdString());
      ASSERT_TRUE(dialog.show_page(id));
      QApplication::processEvents();
      auto* scroll = dialog.findChild<QScrollArea*>("page_" + id);
      ASSERT_NE(scroll, nullptr);
      EXPECT_LE(scroll->widget()->minimumSizeHint().width(), scroll->viewport()->width());
      EXPECT_EQ(scroll->horizontalScrollBar()->maximum(), 0);
    }
    dialog.close();  // deleted on close: the next one is made in the next language
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  set_text_language(english ? "en" : "zh-Hans");
}

// File ▸ Add account… is the road to a new account from the window: the Accounts page, its
// form open.
TEST_F(SettingsDialogTest, AddAccountInTheFileMenuOpensTheAccountsForm) {
  QAction* add = window_->action("addAccount");
  ASSERT_NE(add, nullptr);
  EXPECT_FALSE(add->associatedObjects().isEmpty()) << "in a menu";
  add->trigger();
  auto* dialog = window_->findChild<SettingsDialog*>();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(dialog->current_page(), "accounts");
  auto* address = dialog->findChild<QLineEdit*>("address");
  ASSERT_NE(address, nullptr);
  EXPECT_TRUE(address->isVisible());
}

TEST_F(SettingsDialogTest, PagesOfOtherPartsTakeTheirPlaceInTheList) {
  SettingsDialog& dialog = open("reading");
  auto* pages = dialog.findChild<QListWidget*>("settingsPages");
  ASSERT_NE(pages, nullptr);
  auto order = [&] {
    std::string ids;
    for (int i = 0; i < pages->count(); ++i)
      ids += (ids.empty() ? "" : " ") +
             pages->item(i)->data(Qt::UserRole + 1).toString().toStdString();
    return ids;
  };
  // The window adds the Accounts and Rules pages to the dialog's own.
  const std::string all = "accounts ai rules notifications signatures safety reading agent";
  EXPECT_EQ(order(), all);
  dialog.add_page("rules", "Rules", new QLabel("rules"));
  dialog.add_page("rules", "Rules", new QLabel("rules again"));  // replaces the first
  EXPECT_EQ(order(), all);
  EXPECT_EQ(static_cast<QLabel*>(dialog.page("rules"))->text(), "rules again");
  EXPECT_EQ(dialog.current_page(), "reading");
  EXPECT_TRUE(dialog.show_page("accounts"));
  EXPECT_FALSE(dialog.show_page("nothing"));
  EXPECT_EQ(dialog.current_page(), "accounts");
}

TEST_F(SettingsDialogTest, VipSendersAndQuietHoursAreStoredAsTyped) {
  SettingsDialog& dialog = open("notifications");
  auto& page = *static_cast<NotificationsPage*>(dialog.page("notifications"));
  struct Case {
    QString typed;
    bool added;
    std::vector<std::string> after;
  };
  const Case cases[] = {
      {" Boss@Example.com ", true, {"boss@example.com"}},
      {"boss@example.COM", false, {"boss@example.com"}},  // already there
      {"   ", false, {"boss@example.com"}},
      {"ann@example.org", true, {"boss@example.com", "ann@example.org"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed.toStdString());
    page.vip_field().setText(c.typed);
    EXPECT_EQ(page.add_vip(), c.added);
    EXPECT_EQ(stored("emailVIPSenders"), Json(c.after));
    EXPECT_EQ(page.vip_list().count(), static_cast<int>(c.after.size()));
  }
  page.remove_vip(0);
  EXPECT_EQ(stored("emailVIPSenders"), Json({"ann@example.org"}));

  auto* from = page.findChild<QSpinBox*>("emailDoNotDisturbFrom");
  ASSERT_NE(from, nullptr);
  EXPECT_EQ(from->maximum(), 23);
  from->setValue(21);
  EXPECT_EQ(stored("emailDoNotDisturbFrom"), 21);
  EXPECT_EQ(preferences_.get(settings::emailDoNotDisturbFrom), 21);
}

TEST_F(SettingsDialogTest, SignaturesFromADesignEditedAndRefusedInTheCommandLinesWords) {
  SettingsDialog& dialog = open("signatures");
  auto& page = *static_cast<SignaturesPage*>(dialog.page("signatures"));
  const auto before = page.signatures();
  const std::string design(email_signature_templates().front().id);
  ASSERT_TRUE(page.add_signature(design));
  ASSERT_TRUE(page.add_signature({}));
  auto all = page.signatures();
  ASSERT_EQ(all.size(), before.size() + 2);
  // The first signature of an account becomes its default.
  if (before.empty()) {
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const auto& s) { return s.isDefault; }), 1);
  }

  struct Case {
    QString name, content;
    std::string refusal;
  };
  const Case cases[] = {
      {"", "Ann", localized("cli.signature.name_needed")},
      {"Work", "  \n ", localized("cli.signature.content_needed")},
      {" Work ", "Ann Example\n{{email}}", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refusal);
    page.name_field().setText(c.name);
    page.content_field().setPlainText(c.content);
    EXPECT_EQ(page.save_signature(), c.refusal.empty());
    EXPECT_EQ(dialog.refusal_text().toStdString(), c.refusal);
  }
  all = page.signatures();
  const auto work =
      std::find_if(all.begin(), all.end(), [](const auto& s) { return s.name == "Work"; });
  ASSERT_NE(work, all.end());
  EXPECT_EQ(work->content, "Ann Example\n{{email}}");
  page.make_default();
  for (const auto& s : page.signatures()) EXPECT_EQ(s.isDefault, s.id == work->id) << s.name;
  page.remove_signature();
  EXPECT_EQ(page.signatures().size(), before.size() + 1);
}

// The fields' road to the file: typed text read as `kestrova settings set` reads it, shown
// back the way it was typed, refusals leaving the file alone.
TEST(SettingsEditorTest, TypedValuesStoredShownBackOrRefused) {
  testing::TempDir dir;
  platform::SettingsStore store(dir.path() / "settings.json");
  UserPreferences preferences(store);
  SettingsEditor editor(preferences);
  std::vector<std::string> changed, refused;
  editor.onChanged = [&](std::string_view key) { changed.emplace_back(key); };
  editor.onRefused = [&](const std::string& text) {
    if (!text.empty()) refused.push_back(text);
  };
  struct Case {
    const char* key;
    const char* typed;
    bool stored;
    Json value;         // the value afterwards
    std::string shown;  // what a field shows afterwards
  };
  const Case cases[] = {
      {"emailAutoTranslateIgnoredLanguages", " en, ja ", true, Json({"en", "ja"}), "en, ja"},
      {"emailAutoTranslateIgnoredLanguages", "[\"fr\"]", true, Json({"fr"}), "fr"},
      {"emailProxyPort", "8080", true, 8080, "8080"},
      {"emailProxyPort", "70000", false, 8080, "8080"},
      {"emailProxyHost", "proxy.example", true, "proxy.example", "proxy.example"},
      {"emailJunkFilterAction", "deleteIt", false, "markSpam", "markSpam"},
      {"emailShowImages", "yes", true, true, "true"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + c.typed);
    changed.clear();
    refused.clear();
    const auto refusal = editor.change(c.key, c.typed);
    EXPECT_EQ(!refusal, c.stored);
    EXPECT_EQ(changed.size(), c.stored ? 1u : 0u);
    EXPECT_EQ(refused.size(), c.stored ? 0u : 1u);
    EXPECT_EQ(preferences.value(c.key), c.value);
    EXPECT_EQ(editor.text(c.key), c.shown);
  }
  const auto unknown = editor.change("noSuchSetting", "1");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(*unknown, localized_format("cli.settings.unknown", std::string("noSuchSetting")));
}

// The AI page's model without widgets: names, bindings and shown names as stored.
TEST(AiSettingsTest, ProfilesAndBindingsAsTheCommandLineKeepsThem) {
  testing::TempDir dir;
  platform::SettingsStore store(dir.path() / "settings.json");
  AiSettings model(store);
  const size_t start = model.profiles().size();
  const auto first = model.add(ai::AIProtocolType::deepSeek);
  const auto second = model.add(ai::AIProtocolType::deepSeek);
  ASSERT_EQ(model.profiles().size(), start + 2) << "a second profile of a protocol is its own";
  EXPECT_NE(first.name, second.name);

  // A name shown as Kestrova gave it stays stored as it was; another is the user's.
  const auto migrated = model.profiles().front();
  AiSettings::Form form{ai::shown_name(migrated),
                        migrated.protocolType,
                        migrated.endpoint,
                        migrated.defaultModel,
                        migrated.timeout,
                        std::nullopt,
                        false};
  ASSERT_TRUE(model.save(migrated.id, form));
  EXPECT_EQ(model.profile(migrated.id)->name, migrated.name);
  form.name = "Home server";
  form.apiKey = "  sk-home  ";
  ASSERT_TRUE(model.save(migrated.id, form));
  EXPECT_EQ(model.profile(migrated.id)->name, "Home server");
  EXPECT_EQ(model.profile(migrated.id)->apiKey, "sk-home");
  form.apiKey.reset();  // kept
  ASSERT_TRUE(model.save(migrated.id, form));
  EXPECT_EQ(model.profile(migrated.id)->apiKey, "sk-home");
  EXPECT_FALSE(model.save("no-such-id", form));

  struct Case {
    std::optional<std::string> profile;
    std::string model;
    bool bound;
    std::optional<std::string> modelOverride;
  };
  const Case cases[] = {
      {second.id, " deepseek-chat ", true, "deepseek-chat"},
      {second.id, "", true, std::nullopt},
      {std::nullopt, "ignored", false, std::nullopt},  // the default profile: no binding
  };
  for (const auto& c : cases) {
    model.bind(ai::AIScenario::emailReply, c.profile, c.model);
    const auto b = model.binding(ai::AIScenario::emailReply);
    ASSERT_EQ(b.has_value(), c.bound);
    if (b) {
      EXPECT_EQ(b->modelOverride, c.modelOverride);
    }
  }
  // Another process reads what was stored.
  ai::AIConfiguration again(store);
  EXPECT_EQ(again.profiles().size(), model.profiles().size());
  EXPECT_EQ(again.profile(migrated.id)->name, "Home server");
}

}  // namespace
}  // namespace kestrova::app::desktop
