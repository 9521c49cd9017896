#include "app/desktop/settings/accounts_page_model.h"

#include <QMetaObject>
#include <filesystem>
#include <regex>

#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/account_setup.h"
#include "app/core/user_preferences.h"
#include "mail/email_provider_catalog.h"
#include "mail/email_service.h"
#include "mail/oauth_sign_in.h"
#include "platform/cancellation.h"
#include "platform/desktop_open.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::app::desktop {

namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

// The fingerprint a certificate refusal names (32 hex pairs joined by ":"), if any.
std::optional<std::string> refused_fingerprint(const std::string& detail) {
  static const std::regex pair("([0-9A-F]{2}:){31}[0-9A-F]{2}");
  std::smatch found;
  if (!std::regex_search(detail, found, pair)) return std::nullopt;
  return found.str();
}

StageView view_of(const mail::EmailConnectionStageResult& stage) {
  return {q(stage.name), stage.success ? StageView::State::passed : StageView::State::failed,
          q(stage.detail), stage.success ? std::nullopt : refused_fingerprint(stage.detail)};
}

// The two stages before the test starts: IMAP being tested, SMTP waiting for its turn.
std::vector<StageView> starting_stages() {
  return {{q(localized("mail.test.stage.imap")), StageView::State::testing, {}, {}},
          {q(localized("mail.test.stage.smtp")), StageView::State::waiting, {}, {}}};
}

// Puts a finished stage in its place and marks the next one as being tested.
void record_stage(std::vector<StageView>& stages, const mail::EmailConnectionStageResult& stage) {
  for (size_t i = 0; i < stages.size(); ++i) {
    if (stages[i].state != StageView::State::testing) continue;
    stages[i] = view_of(stage);
    if (i + 1 < stages.size()) stages[i + 1].state = StageView::State::testing;
    return;
  }
}

QString summary_of(const mail::EmailConnectionTestReport& report) {
  return q(mail::ConnectionTestResult::from(report).message);
}

}  // namespace

// ---- AccountDraft ----

AccountDraft::AccountDraft(AccountBook& book, UserPreferences& preferences, QObject* parent)
    : QObject(parent), book_(book), preferences_(preferences) {
  reset();
}

AccountDraft::~AccountDraft() {
  cancel_sign_in();
  join_worker();
}

void AccountDraft::join_worker() {
  if (worker_.joinable()) worker_.join();
}

void AccountDraft::reset() {
  cancel_sign_in();
  account_ = {};
  account_.id = new_uuid();
  account_.serviceType = store::EmailServiceType::custom;
  account_.imapHost.clear();
  account_.smtpHost.clear();
  providerChosen_ = false;
  editing_ = false;
  password_.clear();
  token_.reset();
  imapCertificate_.clear();
  smtpCertificate_.clear();
  stages_.clear();
  problem_.clear();
  summary_.clear();
}

void AccountDraft::edit(const store::EmailAccount& account) {
  reset();
  account_ = account;
  editing_ = true;
  providerChosen_ = true;  // a stored account's provider is not guessed again
}

void AccountDraft::set_address(const QString& address) {
  account_.emailAddress = text::trim(address.toStdString());
  if (providerChosen_) return;
  const auto recognized = mail::EmailProviderCatalog::recognize(account_.emailAddress);
  const auto type = recognized.value_or(store::EmailServiceType::custom);
  if (type == account_.serviceType) return;
  account_.serviceType = type;
  token_.reset();  // a sign-in belongs to the provider it was made with
  mail::applyProviderPreset(account_, mail::AccountEditorState::creatingAccount);
}

bool AccountDraft::choose_provider(store::EmailServiceType type) {
  providerChosen_ = true;
  if (type != account_.serviceType) token_.reset();
  account_.serviceType = type;
  return mail::applyProviderPreset(account_, editing_
                                                 ? mail::AccountEditorState::editingExistingAccount
                                                 : mail::AccountEditorState::creatingAccount)
      .showAdvancedSettings;
}

void AccountDraft::set_certificate(bool imap, const QString& text) {
  (imap ? imapCertificate_ : smtpCertificate_) = text.trimmed();
}

std::optional<mail::AccountCertificateTrust> AccountDraft::trust_from_form() {
  // A stored account keeps what it trusts unless a server's field names something else.
  auto trust = editing_ ? mail::AccountCertificateTrust::load(preferences_.defaults(), account_.id,
                                                              account_.emailAddress)
                        : mail::AccountCertificateTrust{};
  // A refusal during the test points at the page's own field.
  trust.imap.trustCommand = localized("desktop.accounts.trust_imap_hint");
  trust.smtp.trustCommand = localized("desktop.accounts.trust_smtp_hint");
  try {
    for (auto [text, server] :
         {std::pair{&imapCertificate_, &trust.imap}, std::pair{&smtpCertificate_, &trust.smtp}}) {
      const std::string value = text->toStdString();
      if (value.empty()) continue;
      server->fingerprint.reset();
      server->caFile.reset();
      if (mail::normalized_fingerprint(value))
        server->fingerprint = fingerprint_named(value);
      else
        server->caFile = ca_file_named(value);
    }
  } catch (const std::exception& e) {
    problem_ = q(e.what());
    return std::nullopt;
  }
  return trust;
}

QString AccountDraft::start_sign_in() {
  cancel_sign_in();
  const auto provider = oauth_provider_for(account_.serviceType, preferences_);
  const OAuthClient client = oauth_client_for(account_.serviceType, preferences_);
  if (client.id.empty())
    throw Error(localized_format("desktop.accounts.oauth_no_client", client.idSettingKey));
  signIn_ = std::make_unique<mail::OAuthSignIn>(provider, client.id, client.secret,
                                                account_.emailAddress);
  signInStop_ = std::make_shared<platform::CancellationToken>();
  const QString url = q(signIn_->authorizationURL());
  platform::open_url_on_desktop(signIn_->authorizationURL());
  // The sign-in object stays with the draft; the worker only waits on it. The draft's
  // destructor cancels the wait before it joins, so the worker never outlives it.
  join_worker();
  running_ = true;
  const int generation = ++generation_;
  mail::OAuthSignIn* signIn = signIn_.get();
  auto stop = signInStop_;
  worker_ = std::thread([this, signIn, stop, generation] {
    std::optional<std::string> token;
    std::string message;
    try {
      token = signIn
                  ->complete(mail::OAuthSignIn::kDefaultWaitSeconds, mail::OAuthTokenClient(),
                             stop.get())
                  .serialize();
    } catch (const std::exception& e) {
      message = e.what();
    }
    QMetaObject::invokeMethod(
        this,
        [this, token, message, generation] {
          if (generation != generation_) return;
          running_ = false;
          token_ = token;
          if (onSignInFinished)
            onSignInFinished(
                token.has_value(),
                token ? q(localized_format("desktop.accounts.signed_in", account_.emailAddress))
                      : q(message));
        },
        Qt::QueuedConnection);
  });
  return url;
}

void AccountDraft::cancel_sign_in() {
  if (signInStop_) signInStop_->cancel();
  join_worker();
  signIn_.reset();
  signInStop_.reset();
}

bool AccountDraft::start_test(bool saveWhenPassed) {
  problem_.clear();
  if (running_) return false;
  if (account_.emailAddress.empty()) {
    problem_ = q(localized("desktop.accounts.address_empty"));
    return false;
  }
  if (account_.imapHost.empty() || account_.smtpHost.empty()) {
    problem_ = q(localized("cli.account.hosts_empty"));
    return false;
  }
  for (const auto& existing : book_.accounts())
    if (existing.id != account_.id &&
        text::equals_ci(existing.emailAddress, account_.emailAddress)) {
      problem_ = q(localized_format("cli.account.exists", existing.emailAddress));
      return false;
    }
  // A credential given in the form; else, for a stored account, its stored one.
  std::optional<std::string> fresh;
  if (offers_browser_sign_in(account_.serviceType) && token_)
    fresh = token_;
  else if (!password_.empty())
    fresh = password_;
  std::optional<std::string> credential = fresh;
  if (!credential && editing_) {
    try {
      credential = mail::EmailService::shared().storedPassword(account_);
    } catch (const std::exception& e) {
      problem_ = q(e.what());
      return false;
    }
    if (!credential) {
      problem_ = q(localized("cli.account.password_missing"));
      return false;
    }
  }
  if (!credential) {
    problem_ = q(localized("desktop.accounts.password_empty"));
    return false;
  }
  auto trust = trust_from_form();
  if (!trust) return false;
  if (account_.displayName.empty()) account_.displayName = account_.emailAddress;

  join_worker();
  stages_ = starting_stages();
  summary_.clear();
  if (onStagesChanged) onStagesChanged();
  running_ = true;
  const int generation = ++generation_;
  worker_ = std::thread([this, account = account_, credential = *credential, fresh, trust = *trust,
                         generation, saveWhenPassed] {
    // A stored sign-in's tokens are refreshed by the test when due.
    const auto report = mail::EmailService::shared().testConnection(
        account, credential, &trust, [&](const mail::EmailConnectionStageResult& stage) {
          QMetaObject::invokeMethod(
              this, [this, stage, generation] { stage_done(generation, stage); },
              Qt::QueuedConnection);
        });
    QMetaObject::invokeMethod(
        this,
        [this, account, report, generation, saveWhenPassed, fresh, trust] {
          test_done(generation, account, report, saveWhenPassed, fresh, trust);
        },
        Qt::QueuedConnection);
  });
  return true;
}

void AccountDraft::stage_done(int generation, const mail::EmailConnectionStageResult& stage) {
  if (generation != generation_) return;
  record_stage(stages_, stage);
  if (onStagesChanged) onStagesChanged();
}

void AccountDraft::test_done(int generation, const store::EmailAccount& tested,
                             const mail::EmailConnectionTestReport& report, bool save,
                             const std::optional<std::string>& fresh,
                             const mail::AccountCertificateTrust& trust) {
  if (generation != generation_) return;
  running_ = false;
  stages_.clear();
  for (const auto& stage : report.stages) stages_.push_back(view_of(stage));
  summary_ = summary_of(report);
  if (onStagesChanged) onStagesChanged();
  const bool passed = report.allSucceeded();
  if (onTestFinished) onTestFinished(passed);
  if (!passed || !save) return;
  try {
    // The values the servers accepted, whatever was typed while they were asked.
    store::EmailAccount account = tested;
    if (editing_)
      save_edited_account(book_, account, fresh, trust, preferences_.defaults());
    else
      save_new_account(book_, account, fresh.value_or(""), trust, preferences_.defaults());
    password_.clear();
    token_.reset();
    if (onSaved) onSaved(q(account.id));
  } catch (const std::exception& e) {
    problem_ = q(e.what());
    if (onTestFinished) onTestFinished(false);
  }
}

// ---- AccountTester ----

AccountTester::~AccountTester() {
  if (worker_.joinable()) worker_.join();
}

void AccountTester::start(const store::EmailAccount& account,
                          const mail::AccountCertificateTrust& trust) {
  if (running_) return;
  if (worker_.joinable()) worker_.join();
  running_ = true;
  stages_ = starting_stages();
  summary_.clear();
  if (onStagesChanged) onStagesChanged();
  worker_ = std::thread([this, account, trust] {
    mail::EmailConnectionTestReport report;
    auto post_stage = [this](const mail::EmailConnectionStageResult& stage) {
      QMetaObject::invokeMethod(
          this,
          [this, stage] {
            record_stage(stages_, stage);
            if (onStagesChanged) onStagesChanged();
          },
          Qt::QueuedConnection);
    };
    try {
      const auto password = mail::EmailService::shared().storedPassword(account);
      if (!password) throw Error(localized("cli.account.password_missing"));
      report = mail::EmailService::shared().testConnection(account, *password, &trust, post_stage);
    } catch (const std::exception& e) {
      for (const char* key : {"mail.test.stage.imap", "mail.test.stage.smtp"})
        report.stages.push_back({localized(key), false, e.what()});
    }
    QMetaObject::invokeMethod(
        this,
        [this, report] {
          running_ = false;
          stages_.clear();
          for (const auto& stage : report.stages) stages_.push_back(view_of(stage));
          summary_ = summary_of(report);
          if (onStagesChanged) onStagesChanged();
          if (onFinished) onFinished(report.allSucceeded());
        },
        Qt::QueuedConnection);
  });
}

// ---- trusted certificates ----

std::vector<TrustedCertificateRow> trusted_certificates(platform::SettingsStore& settings,
                                                        const store::EmailAccount& account) {
  const auto trust =
      mail::AccountCertificateTrust::load(settings, account.id, account.emailAddress);
  std::vector<TrustedCertificateRow> rows;
  for (auto [imap, server] : {std::pair{true, &trust.imap}, std::pair{false, &trust.smtp}}) {
    if (server->fingerprint) rows.push_back({imap, false, *server->fingerprint});
    if (server->caFile) rows.push_back({imap, true, *server->caFile});
  }
  return rows;
}

void forget_trusted_certificate(platform::SettingsStore& settings,
                                const store::EmailAccount& account,
                                const TrustedCertificateRow& row) {
  auto trust = mail::AccountCertificateTrust::load(settings, account.id, account.emailAddress);
  mail::CertificateTrust& server = row.imap ? trust.imap : trust.smtp;
  (row.caFile ? server.caFile : server.fingerprint).reset();
  trust.save(settings, account.id);
}

QString removal_question(store::EmailDatabase& database, const store::EmailAccount& account) {
  const auto [folders, messages] = database.read([&](store::Connection& c) {
    auto f = c.prepare("SELECT COUNT(*) FROM email_folders WHERE account_id = ?");
    f.bind(1, account.id);
    f.step();
    auto m = c.prepare("SELECT COUNT(*) FROM email_messages WHERE account_id = ?");
    m.bind(1, account.id);
    m.step();
    return std::pair{f.integer(0).value_or(0), m.integer(0).value_or(0)};
  });
  return q(localized_format(account.isLocalOnly() ? "desktop.accounts.remove_local_question"
                                                  : "desktop.accounts.remove_question",
                            account.emailAddress, folders, messages));
}

}  // namespace kestrova::app::desktop
