// The Accounts page and the first run, driven as a person would: an account added against
// the loopback Dovecot and SMTP servers with its test shown stage by stage, the failing
// stage of a wrong password or an untrusted certificate, removal after the confirmation,
// and the first run's skip and demo.
#include "app/desktop/settings/accounts_page.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include "app/core/agent/mcp_cli_installer.h"
#include "app/core/demo_mailbox.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/account_setup.h"
#include "app/core/service/service_files.h"
#include "app/core/user_preferences.h"
#include "app/desktop/main_window.h"
#include "app/desktop/message_list_model.h"
#include "app/desktop/settings/first_run.h"
#include "mail/email_service.h"
#include "mail/oauth_token.h"
#include "platform/email_credential_store.h"
#include "platform/http_transport.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_folder.h"
#include "store/email_store.h"
#include "support/mail_servers.h"
#include "support/test_support.h"
#include "util/json.h"
#include "util/localization.h"
#include "util/uuid.h"

namespace kestrova::app::desktop {
namespace {

using State = StageView::State;
using testing::MailServers;
using testing::TempDir;

// Runs the event loop until `done` holds; the bound only keeps a broken build from hanging.
template <class F>
bool wait_until(F done, int limitMilliseconds = 90000) {
  QElapsedTimer waited;
  waited.start();
  while (!done() && waited.elapsed() < limitMilliseconds)
    QApplication::processEvents(QEventLoop::AllEvents, 50);
  return done();
}

template <class W>
W& child(QWidget& parent, const char* name) {
  auto* found = parent.findChild<W*>(name);
  if (!found) throw std::runtime_error(std::string("no widget ") + name);
  return *found;
}

void type(QWidget& parent, const char* name, const QString& text) {
  auto& field = child<QLineEdit>(parent, name);
  field.clear();
  QTest::keyClicks(&field, text);
}

// A press of the button as the user's click makes it (check boxes stretched across a page
// take mouse clicks on their text only).
void click(QWidget& parent, const char* name) { child<QAbstractButton>(parent, name).click(); }

class AccountsPageTest : public ::testing::Test {
 protected:
  AccountsPageTest()
      : servers_(MailServers::shared()),
        database_(store::EmailDatabase::open(dir_.path() / "email.db")),
        settings_(dir_.path() / "settings.json"),
        preferences_(settings_) {}

  std::unique_ptr<AccountsPage> open_page() {
    auto page = std::make_unique<AccountsPage>(*database_, preferences_);
    page->resize(1000, 720);
    page->show();
    return page;
  }

  // The add form filled for the loopback servers: both over implicit TLS, the test CA
  // trusted for the servers named in `trustCA`.
  void fill_form(QWidget& form, const std::string& user, const QString& password,
                 bool imapTrusted = true) {
    type(form, "address", QString::fromStdString(user));
    auto& provider = child<QComboBox>(form, "provider");
    // A domain of no provider: custom, with the server settings shown.
    EXPECT_EQ(provider.currentData().toInt(), static_cast<int>(store::EmailServiceType::custom));
    EXPECT_TRUE(child<QGroupBox>(form, "servers").isChecked());
    const QString ca = QString::fromStdString(servers_.ca_file.string());
    type(form, "imapHost", QString::fromStdString(servers_.host));
    child<QSpinBox>(form, "imapPort").setValue(servers_.imap_ssl);
    child<QComboBox>(form, "imapEncryption").setCurrentIndex(0);  // SSL/TLS
    type(form, "smtpHost", QString::fromStdString(servers_.host));
    child<QSpinBox>(form, "smtpPort").setValue(servers_.smtp_ssl);
    child<QComboBox>(form, "smtpEncryption").setCurrentIndex(0);
    if (imapTrusted) type(form, "imapCertificate", ca);
    type(form, "smtpCertificate", ca);
    type(form, "password", password);
  }

  // Presses the chosen account's Test connection; the summary once the test ended.
  static std::string test_stored(AccountsPage& page) {
    click(page, "testStored");
    auto& button = child<QPushButton>(page, "testStored");
    if (!wait_until([&] { return button.isEnabled(); })) return "(still testing)";
    const auto summaries =
        child<QWidget>(page, "storedStages").findChildren<QLabel*>("stageSummary");
    return summaries.size() == 1 ? summaries.front()->text().toStdString() : "(no summary)";
  }

  TempDir dir_;
  const MailServers& servers_;
  std::unique_ptr<store::EmailDatabase> database_;
  platform::SettingsStore settings_;
  UserPreferences preferences_;
};

TEST_F(AccountsPageTest, AddsAnAccountAfterBothStagesPassOneAfterTheOther) {
  auto page = open_page();
  page->show_add_form();
  AccountForm& form = page->form();
  const std::string user = servers_.fresh_user();
  fill_form(form, user, QString::fromStdString(servers_.password));

  // Every state the stages go through, as the page is told of them.
  std::vector<std::vector<State>> seen;
  QString summary;
  auto shown = form.draft().onStagesChanged;
  form.draft().onStagesChanged = [&] {
    std::vector<State> states;
    for (const auto& stage : form.draft().stages()) states.push_back(stage.state);
    seen.push_back(states);
    summary = form.draft().summary();
    shown();
  };
  click(form, "addAccount");
  ASSERT_TRUE(wait_until([&] { return !page->book().accounts().empty(); }))
      << form.draft().problem().toStdString();

  const std::vector<std::vector<State>> expected = {{State::testing, State::waiting},
                                                    {State::passed, State::testing},
                                                    {State::passed, State::passed}};
  EXPECT_EQ(std::vector(seen.begin(), seen.begin() + std::min<size_t>(3, seen.size())), expected);
  EXPECT_EQ(summary.toStdString(), localized("mail.test.passed"));

  // The row, the password in the credential store (never on the page), and the trust.
  AccountBook book(*database_, settings_);
  ASSERT_EQ(book.accounts().size(), 1u);
  const auto& account = book.accounts().front();
  EXPECT_EQ(account.emailAddress, user);
  EXPECT_EQ(account.imapPort, servers_.imap_ssl);
  EXPECT_TRUE(account.isDefault);
  EXPECT_EQ(mail::EmailService::shared().storedPassword(account), servers_.password);
  EXPECT_EQ(trusted_certificates(settings_, account).size(), 2u);
  for (auto* label : page->findChildren<QLabel*>())
    EXPECT_FALSE(label->text().contains(QString::fromStdString(servers_.password)));

  // The list shows it, chosen; its own test with the stored password passes too.
  auto& list = child<QListWidget>(*page, "accountList");
  ASSERT_EQ(list.count(), 1);
  EXPECT_TRUE(list.item(0)->text().contains(QString::fromStdString(user)));
  EXPECT_EQ(test_stored(*page), localized("mail.test.passed"));

  // Privacy mode is the account's own column.
  click(*page, "privacyMode");
  EXPECT_TRUE(AccountBook(*database_, settings_).accounts().front().isPrivacyModeEnabled);
}

TEST_F(AccountsPageTest, AFailedStageSaysWhyAndNothingIsSaved) {
  const struct {
    const char* name;
    bool wrongPassword;
    bool imapTrusted;
    State smtp;
  } cases[] = {
      {"wrong password", true, true, State::failed},
      {"untrusted IMAP certificate", false, false, State::passed},
  };
  auto page = open_page();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    page->show_add_form();
    AccountForm& form = page->form();
    form.clear();
    fill_form(form, servers_.fresh_user(),
              c.wrongPassword ? "not-the-password" : QString::fromStdString(servers_.password),
              c.imapTrusted);
    click(form, "addAccount");
    ASSERT_TRUE(wait_until([&] { return child<QPushButton>(form, "addAccount").isEnabled(); }));
    const auto& stages = form.draft().stages();
    ASSERT_EQ(stages.size(), 2u);
    EXPECT_EQ(stages[0].state, State::failed);
    EXPECT_EQ(stages[1].state, c.smtp);  // the SMTP stage runs whatever IMAP said
    EXPECT_EQ(form.draft().summary().toStdString(), localized("mail.test.failed"));
    EXPECT_TRUE(page->book().accounts().empty());
    const QString shown = child<QLabel>(form, "stageText").text();
    EXPECT_TRUE(shown.contains(stages[0].detail.toHtmlEscaped())) << shown.toStdString();
    if (c.imapTrusted) continue;
    // The refusal names the certificate; one press trusts it and the next test passes.
    ASSERT_TRUE(stages[0].refusedFingerprint.has_value()) << stages[0].detail.toStdString();
    click(form, "trustRefused");
    EXPECT_EQ(child<QLineEdit>(form, "imapCertificate").text().toStdString(),
              *stages[0].refusedFingerprint);
    click(form, "addAccount");
    ASSERT_TRUE(wait_until([&] { return !page->book().accounts().empty(); }))
        << form.draft().problem().toStdString();
  }
}

TEST_F(AccountsPageTest, RemoveSaysWhatGoesAndRemovesOnlyWhenConfirmed) {
  store::EmailAccount account;
  {
    AccountBook book(*database_, settings_);
    account.id = new_uuid();
    account.emailAddress = "leaving@example.org";
    account.displayName = "Leaving";
    account.imapHost = account.smtpHost = "mail.example.org";
    mail::AccountCertificateTrust trust;
    trust.imap.fingerprint = std::string(95, 'A');
    for (size_t i = 2; i < 95; i += 3) (*trust.imap.fingerprint)[i] = ':';
    save_new_account(book, account, "secret", trust, settings_);
    book.store().saveFolder(store::EmailFolder::make(
        {.id = new_uuid(), .accountId = account.id, .name = "INBOX", .path = "INBOX"}));
    database_->write([&](store::Connection& c) {
      auto insert = c.prepare(
          "INSERT INTO email_messages (id, account_id, subject, from_email, date, synced_at, "
          "updated_at) "
          "VALUES (?, ?, 'kept here', 'a@example.org', 0, 0, 0)");
      insert.bind(1, new_uuid()).bind(2, account.id).step();
    });
  }
  // What the account leaves behind in a table.
  auto rows_of = [&](const char* table) {
    return database_->read([&](store::Connection& c) {
      auto count =
          c.prepare(std::string("SELECT COUNT(*) FROM ") + table + " WHERE account_id = ?");
      count.bind(1, account.id).step();
      return count.integer(0).value_or(-1);
    });
  };
  auto page = open_page();
  ASSERT_EQ(child<QListWidget>(*page, "accountList").count(), 1);
  ASSERT_EQ(child<QListWidget>(*page, "certificateList").count(), 1);

  // The confirmation on screen (closed ones may wait for their deletion).
  auto shown_box = [&]() -> QMessageBox* {
    for (auto* box : page->findChildren<QMessageBox*>("removeConfirmation"))
      if (box->isVisible()) return box;
    return nullptr;
  };
  for (const bool confirm : {false, true}) {
    click(*page, "removeAccount");
    QMessageBox* box = nullptr;
    ASSERT_TRUE(wait_until([&] { return (box = shown_box()) != nullptr; }));
    EXPECT_TRUE(box->text().contains("leaving@example.org"));
    auto buttons = box->buttons();
    auto* chosen = confirm ? box->findChild<QAbstractButton*>("confirmRemove")
                           : *std::find_if(buttons.begin(), buttons.end(), [&](auto* b) {
                               return box->buttonRole(b) == QMessageBox::RejectRole;
                             });
    QTest::mouseClick(chosen, Qt::LeftButton);
    ASSERT_TRUE(wait_until([&] { return shown_box() == nullptr; }));
    AccountBook book(*database_, settings_);
    EXPECT_EQ(book.accounts().empty(), confirm);
    EXPECT_EQ(rows_of("email_folders"), confirm ? 0 : 1);
    EXPECT_EQ(rows_of("email_messages"), confirm ? 0 : 1);
  }
  EXPECT_EQ(mail::EmailService::shared().storedPassword(account), std::nullopt);
  EXPECT_TRUE(trusted_certificates(settings_, account).empty());
  EXPECT_EQ(child<QListWidget>(*page, "accountList").count(), 0);
}

// A stored account over the loopback servers' implicit-TLS ports, the test CA trusted.
store::EmailAccount stored_account(AccountBook& book, const MailServers& servers,
                                   platform::SettingsStore& settings) {
  store::EmailAccount account;
  account.id = new_uuid();
  account.emailAddress = servers.fresh_user();
  account.displayName = "Before";
  account.imapHost = account.smtpHost = servers.host;
  account.imapPort = servers.imap_ssl;
  account.smtpPort = servers.smtp_ssl;
  account.imapEncryption = account.smtpEncryption = store::EmailEncryption::ssl;
  mail::AccountCertificateTrust trust;
  trust.imap.caFile = trust.smtp.caFile = servers.ca_file.string();
  save_new_account(book, account, servers.password, trust, settings);
  return account;
}

TEST_F(AccountsPageTest, AnEditIsSavedOnlyWhenBothServersPassWithIt) {
  store::EmailAccount before;
  {
    AccountBook book(*database_, settings_);
    before = stored_account(book, servers_, settings_);
  }
  const struct {
    const char* name;
    QString password;  // typed; empty keeps the stored one
    int imapPort;
    int imapEncryption;  // 0 SSL/TLS, 1 STARTTLS
    bool saved;
  } cases[] = {
      {"a wrong password typed", "not-the-password", servers_.imap_ssl, 0, false},
      {"an IMAP port where SMTP answers", "", servers_.smtp_ssl, 0, false},
      {"STARTTLS with the stored password", "", servers_.imap_plain, 1, true},
  };
  auto page = open_page();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    click(*page, "editAccount");
    AccountForm& form = page->form();
    ASSERT_TRUE(form.isVisible());
    EXPECT_EQ(child<QLineEdit>(form, "address").text().toStdString(), before.emailAddress);
    EXPECT_EQ(child<QSpinBox>(form, "imapPort").value(), before.imapPort);
    type(form, "displayName", c.name);
    child<QSpinBox>(form, "imapPort").setValue(c.imapPort);
    child<QComboBox>(form, "imapEncryption").setCurrentIndex(c.imapEncryption);
    if (!c.password.isEmpty()) type(form, "password", c.password);
    click(form, "addAccount");
    ASSERT_TRUE(wait_until([&] { return !form.draft().busy(); }));

    AccountBook book(*database_, settings_);
    const store::EmailAccount& after = book.find(before.id);
    EXPECT_EQ(after.displayName, c.saved ? c.name : "Before");
    EXPECT_EQ(after.imapPort, c.saved ? c.imapPort : before.imapPort);
    EXPECT_EQ(after.imapEncryption,
              c.saved ? store::EmailEncryption::startTLS : store::EmailEncryption::ssl);
    EXPECT_EQ(after.createdAt, before.createdAt);
    EXPECT_TRUE(after.isDefault);
    // A typed password is kept only with the servers that accepted it.
    EXPECT_EQ(mail::EmailService::shared().storedPassword(after), servers_.password);
    EXPECT_EQ(trusted_certificates(settings_, after).size(), 2u);
    if (c.saved) {
      EXPECT_FALSE(form.isVisible());  // back at the account, its new values shown
      EXPECT_TRUE(
          child<QWidget>(*page, "accountTitle").property("plainText").toString().contains(c.name));
    } else {
      EXPECT_EQ(form.draft().summary().toStdString(), localized("mail.test.failed"));
      click(form, "cancel");
    }
  }
}

TEST_F(AccountsPageTest, MakeDefaultMovesTheMarkToTheChosenAccount) {
  std::string second;
  {
    AccountBook book(*database_, settings_);
    stored_account(book, servers_, settings_);
    second = stored_account(book, servers_, settings_).id;
  }
  auto page = open_page();
  auto& list = child<QListWidget>(*page, "accountList");
  ASSERT_EQ(list.count(), 2);
  list.setCurrentRow(1);
  EXPECT_TRUE(child<QWidget>(*page, "makeDefault").isVisibleTo(page.get()));
  click(*page, "makeDefault");

  AccountBook book(*database_, settings_);
  EXPECT_EQ(book.defaultAccount().id, second);
  EXPECT_EQ(std::ranges::count(book.accounts(), true, &store::EmailAccount::isDefault), 1);
  // The default is listed first, marked, and stays chosen.
  EXPECT_EQ(list.currentItem()->data(Qt::UserRole).toString().toStdString(), second);
  EXPECT_TRUE(list.item(0)->text().startsWith("★ "));
  EXPECT_FALSE(list.item(1)->text().contains("★"));
  EXPECT_TRUE(child<QWidget>(*page, "defaultMark").isVisibleTo(page.get()));
  EXPECT_FALSE(child<QWidget>(*page, "makeDefault").isVisibleTo(page.get()));
}

// ---- browser sign-in ----

// The Outlook preset with Microsoft's endpoints moved to the fixture's OAuth server (the
// same settings the command line's sign-in reads), an OAuth client of the test's own, and
// the fixture's servers over STARTTLS, where Dovecot and the SMTP server take XOAUTH2.
class BrowserSignInTest : public AccountsPageTest {
 protected:
  std::string oauth(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(servers_.oauth) + path;
  }
  static platform::HttpResponse browse(const std::string& url, std::string body = {}) {
    platform::HttpRequest request;
    request.method = body.empty() ? "GET" : "POST";
    request.url = url;
    request.body = std::move(body);
    return platform::HttpTransport().perform(request);
  }

  // Fills the form for an Outlook account of `user` signing in through the browser, presses
  // "Sign in with Microsoft…" and plays the browser at the provider: returns the redirect
  // to the page's loopback callback that the provider answered with.
  std::string sign_in_until_redirect(AccountForm& form, const std::string& user) {
    preferences_.set(settings::oauthOutlookAuthorizationEndpoint, oauth("/authorize"));
    preferences_.set(settings::oauthOutlookTokenEndpoint, oauth("/token"));
    preferences_.set(settings::oauthOutlookClientId, "desktop-" + user);
    type(form, "address", QString::fromStdString(user));
    auto& provider = child<QComboBox>(form, "provider");
    provider.setCurrentIndex(provider.findData(static_cast<int>(store::EmailServiceType::outlook)));
    emit provider.activated(provider.currentIndex());
    const QString ca = QString::fromStdString(servers_.ca_file.string());
    child<QGroupBox>(form, "servers").setChecked(true);
    type(form, "imapHost", QString::fromStdString(servers_.host));
    child<QSpinBox>(form, "imapPort").setValue(servers_.imap_plain);
    child<QComboBox>(form, "imapEncryption").setCurrentIndex(1);  // STARTTLS
    type(form, "smtpHost", QString::fromStdString(servers_.host));
    child<QSpinBox>(form, "smtpPort").setValue(servers_.smtp_starttls);
    child<QComboBox>(form, "smtpEncryption").setCurrentIndex(1);
    type(form, "imapCertificate", ca);
    type(form, "smtpCertificate", ca);
    click(form, "useBrowser");
    EXPECT_FALSE(child<QWidget>(form, "password").isVisibleTo(&form));

    click(form, "signIn");
    // The page shows the sign-in address under its advice, for a desktop without a browser.
    const QStringList shown = child<QLabel>(form, "signInState").text().split('\n');
    const std::string url = shown.back().toStdString();
    EXPECT_TRUE(url.starts_with(oauth("/authorize?"))) << url;
    const auto answer = browse(url);
    EXPECT_EQ(answer.status, 302);
    return answer.redirectLocation;
  }

  // The page's line about the sign-in once it ended (it starts with the advice while waiting).
  QString finished_sign_in_text(AccountForm& form) {
    auto& state = child<QLabel>(form, "signInState");
    EXPECT_TRUE(wait_until([&] { return child<QPushButton>(form, "signIn").isEnabled(); }));
    return state.text();
  }
};

TEST_F(BrowserSignInTest, AddsAnOutlookAccountThatLogsInWithXOAuth2) {
  auto page = open_page();
  page->show_add_form();
  AccountForm& form = page->form();
  const std::string user = servers_.fresh_user();
  // Access tokens due for refresh as soon as they are issued, yet accepted by the servers
  // for the minute the test takes.
  browse(oauth("/control"), Json{{"client_id", "desktop-" + user}, {"lifetime", 60}}.dump());
  const std::string callback = sign_in_until_redirect(form, user);
  ASSERT_TRUE(callback.starts_with("http://127.0.0.1:")) << callback;
  EXPECT_EQ(browse(callback).status, 200);
  EXPECT_EQ(finished_sign_in_text(form).toStdString(),
            localized_format("desktop.accounts.signed_in", user));

  click(form, "addAccount");
  ASSERT_TRUE(wait_until([&] { return !page->book().accounts().empty(); }))
      << form.draft().problem().toStdString();
  const auto account = page->book().accounts().front();
  EXPECT_EQ(account.serviceType, store::EmailServiceType::outlook);
  // The token set is the stored credential: no password was ever typed.
  const auto credential = mail::EmailService::shared().storedPassword(account);
  ASSERT_TRUE(credential.has_value());
  const auto tokens = mail::OAuthTokenSet::parse(*credential);
  ASSERT_TRUE(tokens.has_value());

  // The stored account's own test refreshes the due token and signs in to both servers
  // with the new one.
  EXPECT_EQ(test_stored(*page), localized("mail.test.passed"));
  const auto refreshed =
      mail::OAuthTokenSet::parse(*mail::EmailService::shared().storedPassword(account));
  ASSERT_TRUE(refreshed.has_value());
  EXPECT_NE(refreshed->accessToken, tokens->accessToken);
  EXPECT_EQ(refreshed->refreshToken, tokens->refreshToken);
}

TEST_F(BrowserSignInTest, ARefusedSignInSaysWhyAndStoresNothing) {
  // The redirect as the provider sent it, changed as a forger or a refusing provider would.
  const struct {
    const char* name;
    std::string (*callback)(const std::string& redirect);
    std::string shown;
  } cases[] = {
      {"forged state",
       [](const std::string& redirect) {
         return redirect.substr(0, redirect.find("state=")) + "state=forged";
       },
       localized("oauth.callback.state")},
      {"access denied",
       [](const std::string& redirect) {
         const auto state = redirect.substr(redirect.find("state="));
         return redirect.substr(0, redirect.find('?')) + "?error=access_denied&" + state;
       },
       localized_format("oauth.callback.refused", "access_denied")},
  };
  auto page = open_page();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    page->show_add_form();
    AccountForm& form = page->form();
    form.clear();
    const std::string redirect = sign_in_until_redirect(form, servers_.fresh_user());
    EXPECT_EQ(browse(c.callback(redirect)).status, 400);
    const QString shown = finished_sign_in_text(form);
    EXPECT_TRUE(shown.contains(QString::fromStdString(c.shown))) << shown.toStdString();
    EXPECT_FALSE(form.draft().signed_in());

    // Add has nothing to sign in with: no test runs, no row, no credential.
    click(form, "addAccount");
    EXPECT_FALSE(form.draft().busy());
    EXPECT_EQ(child<QLabel>(form, "problem").text().toStdString(),
              localized_format("desktop.accounts.sign_in_first", "Microsoft"));
    EXPECT_TRUE(AccountBook(*database_, settings_).accounts().empty());
    EXPECT_EQ(platform::EmailCredentialStore::shared().read(form.draft().account().id),
              std::nullopt);
  }
}

// ---- first run ----

TEST_F(AccountsPageTest, EveryWayOutOfTheFirstRunEndsItAndStartsAtLoginOnlyWhenChosen) {
  using Outcome = FirstRunDialog::Outcome;
  const struct {
    const char* name;
    bool addAccount;  // else left on the welcome page
    bool launchAtLogin;
    bool closeWindow;  // else the page's own button (Skip, Finish)
    Outcome outcome;
  } cases[] = {
      {"skip", false, false, false, Outcome::skipped},
      {"window closed on the welcome", false, false, true, Outcome::skipped},
      {"account added, service at login", true, true, false, Outcome::accountAdded},
      {"account added, no service", true, false, false, Outcome::accountAdded},
      {"account added, window closed", true, true, true, Outcome::accountAdded},
  };
  const std::filesystem::path configHome = std::getenv("XDG_CONFIG_HOME");
  ASSERT_TRUE(autostart_entry_path().string().starts_with(configHome.string()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    preferences_.set(settings::hasCompletedOnboarding, false);
    FirstRunDialog dialog(*database_, preferences_);
    dialog.show();
    if (c.addAccount) {
      click(dialog, "chooseAccount");
      fill_form(dialog.account_form(), servers_.fresh_user(),
                QString::fromStdString(servers_.password));
      click(dialog.account_form(), "addAccount");
      ASSERT_TRUE(wait_until([&] { return child<QWidget>(dialog, "finish").isVisible(); }));
      if (c.launchAtLogin) click(dialog, "launchAtLogin");
    }
    if (c.closeWindow)
      dialog.close();
    else
      click(dialog, c.addAccount ? "finish" : "skip");
    EXPECT_EQ(dialog.outcome(), c.outcome);
    EXPECT_TRUE(preferences_.get(settings::hasCompletedOnboarding));
    // Closing the window is no yes to starting at login.
    const bool atLogin = c.launchAtLogin && !c.closeWindow;
    EXPECT_EQ(preferences_.get(settings::launchAtLogin), atLogin);
    EXPECT_EQ(std::filesystem::exists(autostart_entry_path()), atLogin);
    preferences_.set(settings::launchAtLogin, false);
    apply_launch_at_login(false);
  }
  EXPECT_EQ(AccountBook(*database_, settings_).accounts().size(), 3u);
}

// Choosing a language on the welcome stores it and ends the welcome without finishing it:
// the window shows it again, in that language.
TEST_F(AccountsPageTest, TheWelcomesLanguageChoiceIsStoredAndEndsItUnfinished) {
  const TextLanguage before = text_language();
  preferences_.set(settings::hasCompletedOnboarding, false);
  for (const auto& [tag, title] : {std::pair{"en", "Welcome to Kestrova"},
                                   std::pair{"zh-Hans", "欢迎使用 Kestrova"}}) {
    SCOPED_TRACE(tag);
    FirstRunDialog dialog(*database_, preferences_);
    dialog.show();
    auto& language = child<QComboBox>(dialog, "welcomeLanguage");
    const int index = language.findData(QString(tag));
    if (language.currentIndex() == index) language.setCurrentIndex(1 - index);  // a change
    language.setCurrentIndex(index);
    EXPECT_TRUE(dialog.language_changed());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
    EXPECT_EQ(preferences_.get(settings::defaultLanguage), tag);
    EXPECT_FALSE(preferences_.get(settings::hasCompletedOnboarding));
    FirstRunDialog again(*database_, preferences_);
    bool titled = false;
    for (QLabel* label : again.findChildren<QLabel*>()) titled = titled || label->text() == title;
    EXPECT_TRUE(titled);
  }
  set_text_language(before == TextLanguage::english ? "en" : "zh-Hans");
}

TEST_F(AccountsPageTest, TheDemoOfTheFirstRunOpensInTheWindow) {
  TempDir demoDir;
  FirstRunDialog dialog(*database_, preferences_);
  dialog.set_demo_home(demoDir.path() / "demo", KESTROVA_GENERATOR);
  dialog.show();
  click(dialog, "chooseDemo");
  ASSERT_TRUE(wait_until([&] { return dialog.demo_home().has_value(); }, 240000))
      << child<QLabel>(dialog, "demoState").text().toStdString();
  EXPECT_EQ(dialog.outcome(), FirstRunDialog::Outcome::demo);

  // The agent host's snippet reaches the demo's home; the service starts at login.
  const QString snippet = child<QPlainTextEdit>(dialog, "agentSnippet").toPlainText();
  EXPECT_TRUE(snippet.contains(QString::fromStdString((demoDir.path() / "demo").string())))
      << snippet.toStdString();
  // The tool-server link the snippet names is made from the page itself.
  ASSERT_FALSE(MCPCLIInstaller::is_installed());
  ASSERT_TRUE(child<QPushButton>(dialog, "installLink").isVisible());
  click(dialog, "installLink");
  EXPECT_TRUE(MCPCLIInstaller::is_installed());
  EXPECT_FALSE(child<QPushButton>(dialog, "installLink").isVisible());
  std::filesystem::remove(MCPCLIInstaller::link_path());
  click(dialog, "launchAtLogin");
  click(dialog, "finish");
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_TRUE(preferences_.get(settings::hasCompletedOnboarding));
  EXPECT_TRUE(preferences_.get(settings::launchAtLogin));
  EXPECT_TRUE(std::filesystem::exists(autostart_entry_path()));
  apply_launch_at_login(false);

  // The window over the demo's home shows its mail; the demo never asks for a first run.
  const auto demo = DemoMailbox::at(*dialog.demo_home());
  platform::SettingsStore demoSettings(demo.settings);
  UserPreferences demoPreferences(demoSettings);
  EXPECT_TRUE(demoPreferences.get(settings::hasCompletedOnboarding));
  auto demoDatabase = store::EmailDatabase::open(demo.database);
  MainWindow window(*demoDatabase, demoPreferences);
  EXPECT_GT(window.list_model().rowCount(), 0);
  EXPECT_EQ(AccountBook(*demoDatabase, demoSettings).accounts().size(), 3u);
}

}  // namespace
}  // namespace kestrova::app::desktop
